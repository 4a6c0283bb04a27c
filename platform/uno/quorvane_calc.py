#!/usr/bin/python3
"""Opens a workbook in LibreOffice Calc through UNO, activates a sheet and
selects a cell, then shows and raises Calc's window.

    quorvane_calc.py open FILE SHEET CELL   FILE: a path or a file URL; SHEET: 1-based position; CELL: "C7"
    quorvane_calc.py query FILE             prints: sheet-position TAB sheet-name TAB selection TAB visible
    quorvane_calc.py quit                   ends the instance behind the pipe

Options come before "--"; every word after it is taken as it stands.

Options: --pipe NAME (default quorvane-<uid>), --headless, --profile DIR,
--timeout SECONDS (how long to wait for a starting instance). The environment
variables QUORVANE_CALC_PIPE, QUORVANE_CALC_PROFILE and QUORVANE_CALC_HEADLESS=1
give the defaults, so a test can keep the program's office apart from the user's.

Exit codes: 0 done, 2 bad arguments, 3 no LibreOffice (soffice or the UNO
bridge missing, or it cannot be started), 4 no connection in time,
5 the workbook could not be loaded, 6 the workbook is not open (query).
"""

import os
import re
import shutil
import subprocess
import sys
import time
import urllib.parse

EXIT_OK, EXIT_USAGE, EXIT_NO_OFFICE, EXIT_NO_CONNECTION, EXIT_LOAD_FAILED, EXIT_NOT_OPEN = 0, 2, 3, 4, 5, 6

try:
    import uno
    from com.sun.star.beans import PropertyValue
    from com.sun.star.connection import NoConnectException
except ImportError:
    sys.stderr.write("quorvane_calc: the UNO bridge (python3-uno) is not installed\n")
    sys.exit(EXIT_NO_OFFICE)

# Largest sheet LibreOffice and Excel share: 16384 columns (XFD), 1048576 rows.
MAX_COLUMNS = 16384
MAX_ROWS = 1048576
ADDRESS = re.compile(r"^\$?([A-Za-z]{1,3})\$?([0-9]{1,7})$")


def column_number(letters):
    n = 0
    for ch in letters.upper():
        n = n * 26 + (ord(ch) - ord("A") + 1)
    return n


def column_letters(n):
    """1-based column number in bijective base 26 (1 A, 27 AA)."""
    out = ""
    while n > 0:
        n, rem = divmod(n - 1, 26)
        out = chr(ord("A") + rem) + out
    return out


def is_cell_address(text):
    m = ADDRESS.match(text)
    if not m:
        return False
    col, row = column_number(m.group(1)), int(m.group(2))
    return 1 <= col <= MAX_COLUMNS and 1 <= row <= MAX_ROWS


def prop(name, value):
    p = PropertyValue()
    p.Name = name
    p.Value = value
    return p


def find_soffice():
    found = shutil.which("soffice") or shutil.which("libreoffice")
    if found:
        return found
    for candidate in ("/usr/lib/libreoffice/program/soffice", "/opt/libreoffice/program/soffice"):
        if os.access(candidate, os.X_OK):
            return candidate
    return None


def resolve(pipe):
    local = uno.getComponentContext()
    resolver = local.ServiceManager.createInstanceWithContext("com.sun.star.bridge.UnoUrlResolver", local)
    ctx = resolver.resolve("uno:pipe,name=%s;urp;StarOffice.ComponentContext" % pipe)
    return ctx.ServiceManager.createInstanceWithContext("com.sun.star.frame.Desktop", ctx)


def connect(pipe, start, headless, profile, timeout):
    """Desktop of the instance listening on `pipe`; starts one when asked."""
    try:
        return resolve(pipe)
    except NoConnectException:
        if not start:
            return None
    soffice = find_soffice()
    if soffice is None:
        sys.stderr.write("quorvane_calc: soffice not found\n")
        sys.exit(EXIT_NO_OFFICE)
    # --nodefault: no empty document or start centre beside the workbook.
    args = [soffice, "--accept=pipe,name=%s;urp;" % pipe, "--norestore", "--nologo", "--nodefault"]
    if headless:
        args.append("--headless")
    if profile:
        args.append("-env:UserInstallation=" + uno.systemPathToFileUrl(os.path.abspath(profile)))
    try:
        # Its own session, so the office outlives this helper.
        subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, start_new_session=True)
    except OSError as e:
        sys.stderr.write("quorvane_calc: cannot start %s: %s\n" % (soffice, e))
        sys.exit(EXIT_NO_OFFICE)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        time.sleep(0.25)
        try:
            return resolve(pipe)
        except NoConnectException:
            pass
    sys.stderr.write("quorvane_calc: no connection to LibreOffice within %g s\n" % timeout)
    sys.exit(EXIT_NO_CONNECTION)


def file_url(path):
    """The workbook's file URL. FILE may be a URL already (how the program
    passes a name that is not UTF-8); a path whose bytes are not UTF-8 (argv
    decoded with surrogateescape) is percent-encoded byte for byte."""
    if path.startswith("file:"):
        return path
    path = os.path.abspath(path)
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return "file://" + urllib.parse.quote(os.fsencode(path), safe="/")
    return uno.systemPathToFileUrl(path)


def open_workbook(desktop, path, sheet_text, cell):
    url = file_url(path)
    props = (
        prop("Hidden", False),
        prop("ReadOnly", False),
        # Never run the workbook's macros, never refresh its links, ask nothing.
        prop("MacroExecutionMode", uno.getConstantByName("com.sun.star.document.MacroExecMode.NEVER_EXECUTE")),
        prop("UpdateDocMode", uno.getConstantByName("com.sun.star.document.UpdateDocMode.NO_UPDATE")),
        prop("Silent", True),
    )
    try:
        doc = desktop.loadComponentFromURL(url, "_default", 0, props)
    except Exception as e:  # IOException, IllegalArgumentException from the bridge
        sys.stderr.write("quorvane_calc: cannot load %s: %s\n" % (path, e))
        return EXIT_LOAD_FAILED
    if doc is None or not doc.supportsService("com.sun.star.sheet.SpreadsheetDocument"):
        sys.stderr.write("quorvane_calc: %s did not open as a spreadsheet\n" % path)
        return EXIT_LOAD_FAILED
    controller = doc.getCurrentController()
    sheets = doc.getSheets()
    m = re.match(r"^\s*[+-]?\d+", sheet_text)
    position = int(m.group(0)) if m else 0
    # 0 (a failure row) or a position past the last sheet keeps the current sheet.
    if 1 <= position <= sheets.getCount():
        controller.setActiveSheet(sheets.getByIndex(position - 1))
    # "列标题" or an error text is no address: select nothing.
    if is_cell_address(cell):
        try:
            controller.select(controller.getActiveSheet().getCellRangeByName(cell))
        except Exception:
            pass
    window = controller.getFrame().getContainerWindow()
    window.setVisible(True)
    try:
        window.toFront()
    except Exception:
        pass  # not every toolkit window is a top window
    try:
        controller.getFrame().activate()
    except Exception:
        pass
    return EXIT_OK


def find_document(desktop, path):
    url = file_url(path)
    components = desktop.getComponents().createEnumeration()
    while components.hasMoreElements():
        comp = components.nextElement()
        if hasattr(comp, "getURL") and comp.getURL() == url:
            return comp
    return None


def describe_selection(selection):
    if selection is None:
        return ""
    if hasattr(selection, "getCellAddress"):
        a = selection.getCellAddress()
        return "%s%d" % (column_letters(a.Column + 1), a.Row + 1)
    if hasattr(selection, "getRangeAddress"):
        a = selection.getRangeAddress()
        return "%s%d:%s%d" % (column_letters(a.StartColumn + 1), a.StartRow + 1,
                              column_letters(a.EndColumn + 1), a.EndRow + 1)
    return ""


def query(desktop, path):
    doc = find_document(desktop, path)
    if doc is None:
        return EXIT_NOT_OPEN
    controller = doc.getCurrentController()
    active = controller.getActiveSheet().getName()
    names = list(doc.getSheets().getElementNames())
    window = controller.getFrame().getContainerWindow()
    visible = window.isVisible() if hasattr(window, "isVisible") else True
    print("%d\t%s\t%s\t%d" % (names.index(active) + 1, active,
                              describe_selection(controller.getSelection()), 1 if visible else 0))
    return EXIT_OK


def main(argv):
    env = os.environ
    options = {"--pipe": env.get("QUORVANE_CALC_PIPE") or "quorvane-%d" % os.getuid(),
               "--profile": env.get("QUORVANE_CALC_PROFILE") or None, "--timeout": "90"}
    headless = env.get("QUORVANE_CALC_HEADLESS") == "1"
    words = []
    i = 0
    while i < len(argv):
        a = argv[i]
        if a == "--":
            words.extend(argv[i + 1:])
            break
        if a == "--headless":
            headless = True
        elif a in options:
            if i + 1 >= len(argv):
                return EXIT_USAGE
            options[a] = argv[i + 1]
            i += 1
        else:
            words.append(a)
        i += 1
    try:
        timeout = float(options["--timeout"])
    except ValueError:
        return EXIT_USAGE
    if not words:
        return EXIT_USAGE
    command, rest = words[0], words[1:]
    if command == "open" and len(rest) == 3:
        desktop = connect(options["--pipe"], True, headless, options["--profile"], timeout)
        return open_workbook(desktop, rest[0], rest[1], rest[2])
    if command == "query" and len(rest) == 1:
        desktop = connect(options["--pipe"], False, headless, None, timeout)
        return EXIT_NO_CONNECTION if desktop is None else query(desktop, rest[0])
    if command == "quit" and not rest:
        desktop = connect(options["--pipe"], False, headless, None, timeout)
        if desktop is not None:
            try:
                desktop.terminate()
            except Exception:
                pass  # the bridge goes down with the office
        return EXIT_OK
    return EXIT_USAGE


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
