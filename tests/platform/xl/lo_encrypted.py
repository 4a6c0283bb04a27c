#!/usr/bin/python3
"""Encrypted workbooks judged by other programs than ours.

    lo_encrypted.py OUTDIR [MANIFEST]

1. LibreOffice (headless, through python3-uno, with a profile and pipe of its
   own) saves one small workbook as .xls and .xlsx: plain, with the password
   "VelvetSweatshop" and with the password "secret" (plain.xls, velvet.xls,
   secret.xls, and the same for .xlsx) into OUTDIR.
2. Each line of MANIFEST names a plain file, an encrypted copy made by the
   tests' own generator and its scheme. LibreOffice opens the copy without
   being given a password (it tries Excel's default one as Excel does) and
   must show the same cells as in the plain file; msoffcrypto-tool, where
   installed, must decrypt it with "VelvetSweatshop" to a file LibreOffice
   shows the same way. Schemes LibreOffice does not read are judged by msoffcrypto-tool alone,
   and XOR obfuscation, which msoffcrypto-tool does not read, by LibreOffice
   alone.

Exit codes: 0 agreed, 1 a disagreement (printed), 77 LibreOffice or the UNO
bridge missing (the caller skips).
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

try:
    import uno
    from com.sun.star.connection import NoConnectException
except ImportError:
    print("python3-uno is not installed")
    sys.exit(77)

SKIP = 77
# LibreOffice 7.4 reads neither 40-bit RC4 CryptoAPI, nor Standard with
# AES-256, nor Agile with SHA-256 or SHA-384; msoffcrypto-tool 5 takes the
# 192-bit Agile secret key at its padded length.
LO_UNREADABLE = {"cryptoapi40", "standard256", "agile-sha256-aes256", "agile-sha384-aes192"}
MSOFFCRYPTO_UNREADABLE = {"xor", "agile-sha384-aes192"}


# After the bridge's own check above, so a missing bridge still skips.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "platform", "uno"))
import quorvane_calc  # noqa: E402  (finding soffice, the connection)

prop = quorvane_calc.prop


def start_office(profile, pipe):
    soffice = quorvane_calc.find_soffice()
    if not soffice:
        print("soffice is not installed")
        sys.exit(SKIP)
    proc = subprocess.Popen(
        [soffice, "--accept=pipe,name=%s;urp;" % pipe, "--headless", "--norestore", "--nologo",
         "--nodefault", "-env:UserInstallation=" + uno.systemPathToFileUrl(profile)],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 90
    while time.monotonic() < deadline:
        try:
            return proc, quorvane_calc.resolve(pipe)
        except NoConnectException:
            time.sleep(0.3)
    proc.kill()
    print("LibreOffice did not answer within 90 s")
    sys.exit(SKIP)


def make_workbook(desktop):
    doc = desktop.loadComponentFromURL("private:factory/scalc", "_blank", 0, (prop("Hidden", True),))
    sheets = doc.Sheets
    first = sheets.getByIndex(0)
    first.Name = "数据"
    rows = [["编号", "名称", "金额"], [1, "上海分公司", 1234.5], [2, "VelvetSweatshop 测试", -0.25],
            [3, "第三行", 1e6]]
    for r, row in enumerate(rows):
        for c, v in enumerate(row):
            cell = first.getCellByPosition(c, r)
            if isinstance(v, str):
                cell.String = v
            else:
                cell.Value = v
    sheets.insertNewByName("第二页", 1)
    second = sheets.getByName("第二页")
    second.getCellByPosition(0, 0).String = "隐藏的工作表内容"
    second.getCellByPosition(3, 9).Value = 42
    return doc


def save(doc, path, filt, password=None):
    props = [prop("FilterName", filt), prop("Overwrite", True)]
    if password:
        props.append(prop("Password", password))
    doc.storeToURL(uno.systemPathToFileUrl(path), tuple(props))


def dump(desktop, path):
    """Every non-empty cell as LibreOffice shows it, or None when it cannot open the file."""
    props = (prop("Hidden", True), prop("ReadOnly", True), prop("Silent", True))
    try:
        doc = desktop.loadComponentFromURL(uno.systemPathToFileUrl(os.path.realpath(path)), "_blank", 0, props)
    except Exception as e:
        print("LibreOffice: %s: %s" % (path, e))
        return None
    if doc is None or not hasattr(doc, "Sheets"):
        return None
    out = []
    try:
        for i in range(doc.Sheets.Count):
            sheet = doc.Sheets.getByIndex(i)
            out.append("[%s]" % sheet.Name)
            cursor = sheet.createCursor()
            cursor.gotoEndOfUsedArea(False)
            end = cursor.RangeAddress
            for r in range(end.EndRow + 1):
                for c in range(end.EndColumn + 1):
                    s = sheet.getCellByPosition(c, r).String
                    if s:
                        out.append("%d,%d=%s" % (r, c, s))
    finally:
        doc.close(True)
    return "\n".join(out)


def msoffcrypto_decrypt(src, dst):
    try:
        import msoffcrypto
    except ImportError:
        return None
    with open(src, "rb") as f:
        office = msoffcrypto.OfficeFile(f)
        office.load_key(password="VelvetSweatshop")
        with open(dst, "wb") as out:
            office.decrypt(out)
    return True


def same_stream(decrypted_xls, clear_path):
    """The decrypted workbook stream equals the one the generator encrypted,
    the FILEPASS record aside (msoffcrypto-tool blanks it)."""
    import olefile
    import struct
    with olefile.OleFileIO(decrypted_xls) as ole:
        got = ole.openstream("Workbook").read()
    with open(clear_path, "rb") as f:
        want = f.read()
    if len(got) != len(want):
        return False
    bof_len = struct.unpack_from("<H", want, 2)[0]
    fp = 4 + bof_len
    fp_end = fp + 4 + struct.unpack_from("<H", want, fp + 2)[0]
    return got[:fp] == want[:fp] and got[fp_end:] == want[fp_end:]


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    outdir = os.path.abspath(sys.argv[1])
    os.makedirs(outdir, exist_ok=True)
    profile = tempfile.mkdtemp(prefix="lo-crypto-")
    proc, desktop = start_office(profile, "quorvane-crypto-%d" % os.getpid())
    failures = 0
    try:
        doc = make_workbook(desktop)
        for ext, filt in ((".xls", "MS Excel 97"), (".xlsx", "Calc MS Excel 2007 XML")):
            save(doc, os.path.join(outdir, "plain" + ext), filt)
            save(doc, os.path.join(outdir, "velvet" + ext), filt, "VelvetSweatshop")
            save(doc, os.path.join(outdir, "secret" + ext), filt, "secret")
        doc.close(True)

        if len(sys.argv) > 2:
            with open(sys.argv[2], encoding="utf-8") as f:
                lines = [line.split("\t") for line in f.read().splitlines() if line]
            for plain, encrypted, scheme in lines:
                want = dump(desktop, plain)
                if want is None:
                    print("LibreOffice cannot open the plain file %s" % plain)
                    failures += 1
                    continue
                if scheme not in LO_UNREADABLE:
                    got = dump(desktop, encrypted)
                    if got != want:
                        print("LibreOffice reads %s (%s) differently from %s" % (encrypted, scheme, plain))
                        failures += 1
                decrypted = encrypted + ".msoffcrypto" + os.path.splitext(plain)[1]
                if scheme not in MSOFFCRYPTO_UNREADABLE:
                    try:
                        done = msoffcrypto_decrypt(encrypted, decrypted)
                    except Exception as e:  # its own errors: a wrong key, a bad header
                        print("msoffcrypto-tool cannot decrypt %s (%s): %s" % (encrypted, scheme, e))
                        failures += 1
                        continue
                    if done and dump(desktop, decrypted) != want:
                        print("msoffcrypto-tool's decryption of %s (%s) differs from %s" % (encrypted, scheme, plain))
                        failures += 1
                    if done and os.path.exists(encrypted + ".clear") and not same_stream(decrypted, encrypted + ".clear"):
                        print("msoffcrypto-tool's workbook stream of %s (%s) differs from the stream before encryption"
                              % (encrypted, scheme))
                        failures += 1
                print("checked %s (%s)" % (os.path.basename(encrypted), scheme))
    finally:
        try:
            desktop.terminate()
        except Exception:
            pass
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
        shutil.rmtree(profile, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
