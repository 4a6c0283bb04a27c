#!/usr/bin/python3
"""Holds what the library reads against what LibreOffice Calc shows.

    calc_check.py QUORVANE_SEARCH FILE...

Each FILE is read twice: by `QUORVANE_SEARCH --dump FILE` and by a headless
Calc (its own profile and pipe, started here and ended at the end), and the
two are compared sheet by sheet, cell by cell, hidden row by hidden row and
hidden column by hidden column. Prints one line per difference and a summary;
exit status 0 when every file agrees, 1 when some differ, 3 when LibreOffice
is not there.

Calc shows a value through its number format and the locale; the library
shows it in one fixed form. So a text cell is compared as Calc shows it
(getString), and a value is compared by its value put into the library's
form: General numbers with up to 15 significant digits ("1E+20", "0.3"),
dates "yyyy-mm-dd[ hh:mm:ss]", times "hh:mm:ss", [h] durations "255:10:10",
booleans "TRUE"/"FALSE", errors as Calc names them.
"""
import datetime
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "platform", "uno"))
import quorvane_calc  # noqa: E402  (its start-up and connection code)
import uno  # noqa: E402

prop = quorvane_calc.prop

# com.sun.star.util.NumberFormat
DATE, TIME, LOGICAL = 2, 4, 1024
# com.sun.star.table.CellContentType
EMPTY, VALUE, TEXT, FORMULA = 0, 1, 2, 3
# com.sun.star.sheet.FormulaResult
RESULT_VALUE, RESULT_STRING, RESULT_ERROR = 1, 2, 4


def general(v):
    """The library's General form of a number."""
    if math.isnan(v) or math.isinf(v):
        return "#NUM!"
    if v == 0:
        return "0"
    if abs(v) < 1e15 and v == int(v):
        return str(int(v))
    s = "%.15G" % v
    if "E" in s:
        mant, exp = s.split("E")
        if "." in mant:
            mant = mant.rstrip("0").rstrip(".")
        return "%sE%s%02d" % (mant, exp[0], abs(int(exp)))
    if "." in s:
        s = s.rstrip("0").rstrip(".")
    return s


def date_text(v, kind, date1904):
    """The library's date and time forms (serial days, 1900 or 1904 system)."""
    if v < 0 or v >= (2957004 if date1904 else 2958466):
        return general(v)
    secs = round(v * 86400)
    day, sod = divmod(secs, 86400)
    hms = "%02d:%02d:%02d" % (sod // 3600, sod % 3600 // 60, sod % 60)
    if kind == "elapsed":
        return "%02d:%02d:%02d" % (secs // 3600, secs % 3600 // 60, secs % 60)
    if kind == "time":
        return hms
    if date1904:
        d = datetime.date(1904, 1, 1) + datetime.timedelta(days=day)
        ymd = d.isoformat()
    elif day == 0:
        ymd = "1900-01-00"
    elif day == 60:
        ymd = "1900-02-29"
    else:
        d = datetime.date(1899, 12, 31) + datetime.timedelta(days=day - (1 if day > 60 else 0))
        ymd = d.isoformat()
    return ymd if sod == 0 else ymd + " " + hms


def calc_book(desktop, path):
    url = uno.systemPathToFileUrl(os.path.abspath(path))
    props = (prop("Hidden", True), prop("ReadOnly", True), prop("Silent", True),
             prop("MacroExecutionMode", uno.getConstantByName("com.sun.star.document.MacroExecMode.NEVER_EXECUTE")),
             prop("UpdateDocMode", uno.getConstantByName("com.sun.star.document.UpdateDocMode.NO_UPDATE")))
    try:
        doc = desktop.loadComponentFromURL(url, "_blank", 0, props)
    except Exception:  # an encrypted file, say: no document
        doc = None
    if doc is None:
        return None
    try:
        date1904 = doc.getPropertyValue("NullDate").Year == 1904
        formats = doc.getNumberFormats()
        sheets = []
        for i in range(doc.Sheets.Count):
            sh = doc.Sheets.getByIndex(i)
            cur = sh.createCursor()
            cur.gotoEndOfUsedArea(False)
            end = cur.getRangeAddress()
            cells, formulas = {}, set()
            for r in range(end.EndRow + 1):
                for c in range(end.EndColumn + 1):
                    cell = sh.getCellByPosition(c, r)
                    t = cell.getType().value if hasattr(cell.getType(), "value") else cell.getType()
                    t = {"EMPTY": EMPTY, "VALUE": VALUE, "TEXT": TEXT, "FORMULA": FORMULA}.get(t, t)
                    if t == EMPTY:
                        continue
                    if t == FORMULA:
                        formulas.add((r, c))
                    if t == TEXT or (t == FORMULA and cell.getPropertyValue("FormulaResultType2") != RESULT_VALUE):
                        cells[(r, c)] = cell.getString()
                        continue
                    fmt = formats.getByKey(cell.getPropertyValue("NumberFormat"))
                    ftype = fmt.getPropertyValue("Type")
                    code = fmt.getPropertyValue("FormatString").lower()
                    v = cell.getValue()
                    if ftype & LOGICAL:
                        cells[(r, c)] = "TRUE" if v != 0 else "FALSE"
                    elif "[h" in code or "[m" in code or "[s" in code:
                        cells[(r, c)] = date_text(v, "elapsed", date1904)
                    elif ftype & DATE:
                        cells[(r, c)] = date_text(v, "date", date1904)
                    elif ftype & TIME:
                        cells[(r, c)] = date_text(v, "time", date1904)
                    else:
                        cells[(r, c)] = general(v)
            hidden_rows = [r for r in range(end.EndRow + 1) if not sh.getRows().getByIndex(r).IsVisible]
            hidden_cols = [c for c in range(end.EndColumn + 1) if not sh.getColumns().getByIndex(c).IsVisible]
            sheets.append({"name": sh.getName(), "cells": cells, "formulas": formulas,
                           "hiddenRows": hidden_rows, "hiddenCols": hidden_cols})
        return sheets
    finally:
        doc.close(True)


def our_book(tool, path):
    out = subprocess.run([tool, "--dump", path], capture_output=True, timeout=120)
    data = json.loads(out.stdout.decode("utf-8"))
    if "error" in data:
        return data["error"]
    sheets = []
    for s in data["sheets"]:
        cells = {(r, c): t for r, c, t in s["cells"]}
        sheets.append({"name": s["name"], "cells": cells, "hiddenRows": s["hiddenRows"],
                       "hiddenCols": s["hiddenCols"], "lastRow": s["lastRow"], "lastCol": s["lastCol"]})
    return sheets


def expand(ranges, limit):
    """Our hidden columns come as [first, last] ranges; Calc's as single indexes."""
    out = set()
    for item in ranges:
        first, last = (item, item) if isinstance(item, int) else item
        out.update(range(first, min(last, limit) + 1))
    return out


def calc_fault(ours, theirs, formula):
    """Why Calc, not Excel, shows a formula cell as it does; None when it is
    not one of the known cases. The file's stored result is what Excel shows."""
    if not formula:
        return None
    if theirs.startswith("Err:5"):
        return "Calc shows an error of its own (Err:5xx) instead of the stored result"
    if (ours, theirs) in (("TRUE", "1"), ("FALSE", "0")):
        return "Calc shows a stored boolean result as a number"
    return None


def compare(name, ours, calc, explained):
    diffs = []
    if isinstance(ours, str):
        return ["%s: we fail (%s), Calc opens it" % (name, ours)]
    if len(ours) != len(calc):
        diffs.append("%s: %d sheets, Calc %d" % (name, len(ours), len(calc)))
    for i, (o, c) in enumerate(zip(ours, calc)):
        where = "%s[%s]" % (name, o["name"])
        if o["name"] != c["name"]:
            diffs.append("%s: sheet %d named %r, Calc %r" % (where, i, o["name"], c["name"]))
        for key in sorted(set(o["cells"]) | set(c["cells"])):
            a, b = o["cells"].get(key, ""), c["cells"].get(key, "")
            if a == b:
                continue
            why = calc_fault(a, b, key in c["formulas"])
            if why:
                explained.append("%s %s: ours %r, Calc %r (%s)" % (where, key, a, b, why))
            else:
                diffs.append("%s %s: ours %r, Calc %r" % (where, key, a, b))
        # Calc reports hidden rows and columns only inside its used area.
        rows = max(o["lastRow"], 1 + max([r for r, _ in c["cells"]] or [-1]))
        cols = max(o["lastCol"], 1 + max([k for _, k in c["cells"]] or [-1]))
        oh = {r for r in expand(o["hiddenRows"], rows - 1)}
        ch = {r for r in c["hiddenRows"] if r < rows}
        if oh != ch:
            diffs.append("%s hidden rows: ours %s, Calc %s" % (where, sorted(oh), sorted(ch)))
        oc = expand(o["hiddenCols"], cols - 1)
        cc = {k for k in c["hiddenCols"] if k < cols}
        if oc != cc:
            diffs.append("%s hidden columns: ours %s, Calc %s" % (where, sorted(oc), sorted(cc)))
    return diffs


def main(argv):
    if len(argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    tool, files = argv[1], argv[2:]
    pipe = "quorvane-check-%d-%d" % (os.getuid(), os.getpid())
    profile = os.environ.get("QUORVANE_CALC_PROFILE") or tempfile.mkdtemp(prefix="lo-check-")
    desktop = quorvane_calc.connect(pipe, True, True, profile, 90)
    failed = 0
    try:
        for path in files:
            name = os.path.basename(path)
            calc = calc_book(desktop, path)
            if calc is None:
                print("%s: Calc does not open it" % name)
                continue
            explained = []
            diffs = compare(name, our_book(tool, path), calc, explained)
            for d in explained:
                print("explained: " + d)
            for d in diffs:
                print(d)
            cells = sum(len(s["cells"]) for s in calc)
            print("%s: %s (%d cells)" % (name, "agrees" if not diffs else "%d differences" % len(diffs), cells))
            failed += bool(diffs)
    finally:
        try:
            desktop.terminate()
        except Exception:
            pass
        if not os.environ.get("QUORVANE_CALC_PROFILE"):
            shutil.rmtree(profile, ignore_errors=True)
    print("%d of %d files differ" % (failed, len(files)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
