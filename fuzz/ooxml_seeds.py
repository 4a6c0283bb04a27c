#!/usr/bin/python3
"""Small .xlsx/.xlsm seeds in the shapes real files take that no writer of
the suite makes: parts declared in another encoding or written in UTF-16
(read by expat), a DOCTYPE, literal CR LF and _x000D_ in texts, the strict
namespaces, stored and deflated members, a member whose CRC is wrong, a
shared string past Excel's 32,767 characters, rich and phonetic runs.

    ooxml_seeds.py OUTDIR
"""
import os
import sys
import zipfile
import zlib

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
STRICT = "http://purl.oclc.org/ooxml/spreadsheetml/main"
REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PKG = "http://schemas.openxmlformats.org/package/2006/relationships"


def parts(sheet, sst=None, main_type="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml",
          ns=MAIN, rel=REL):
    out = {
        "[Content_Types].xml": '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
        '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
        '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
        '<Default Extension="xml" ContentType="application/xml"/>'
        '<Override PartName="/xl/workbook.xml" ContentType="%s"/></Types>' % main_type,
        "_rels/.rels": '<Relationships xmlns="%s"><Relationship Id="rId1" Type="%s/officeDocument" '
        'Target="xl/workbook.xml"/></Relationships>' % (PKG, rel),
        "xl/workbook.xml": '<workbook xmlns="%s" xmlns:r="%s"><sheets><sheet name="表" sheetId="1" r:id="rId1"/>'
        '</sheets></workbook>' % (ns, rel),
        "xl/_rels/workbook.xml.rels": '<Relationships xmlns="%s"><Relationship Id="rId1" Type="%s/worksheet" '
        'Target="worksheets/sheet1.xml"/><Relationship Id="rId2" Type="%s/sharedStrings" '
        'Target="sharedStrings.xml"/></Relationships>' % (PKG, rel, rel),
        "xl/worksheets/sheet1.xml": sheet,
    }
    if sst is not None:
        out["xl/sharedStrings.xml"] = sst
    return out


def worksheet(rows, ns=MAIN, head='<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'):
    return '%s<worksheet xmlns="%s"><sheetData>%s</sheetData></worksheet>' % (head, ns, rows)


def shared(items, ns=MAIN, head='<?xml version="1.0" encoding="UTF-8"?>'):
    return '%s<sst xmlns="%s">%s</sst>' % (head, ns, "".join("<si>%s</si>" % i for i in items))


CELLS = ('<row r="1"><c r="A1" t="s"><v>0</v></c><c r="B1" t="inlineStr"><is><t>行内</t></is></c>'
         '<c r="C1"><v>45000</v></c></row><row r="3" hidden="1"><c r="A3" t="s"><v>1</v></c>'
         '<c r="B3" t="str"><f>A3</f><v>公式</v></c><c r="C3" t="b"><v>1</v></c><c r="D3" t="e"><v>#N/A</v></c></row>')
ITEMS = ["<t>共享</t>", "<r><t>富</t></r><r><rPr><b/></rPr><t>文本</t></r><rPh sb=\"0\" eb=\"1\"><t>ふ</t></rPh>"]


def write(path, members, method=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(path, "w", method) as z:
        for name, data in members.items():
            z.writestr(name, data.encode("utf-8") if isinstance(data, str) else data)


def break_crc(path, member):
    """The member's stored CRC-32 (local header and central directory) off by one."""
    with zipfile.ZipFile(path) as z:
        info = z.getinfo(member)
    good = info.CRC.to_bytes(4, "little")
    bad = ((info.CRC + 1) & 0xFFFFFFFF).to_bytes(4, "little")
    with open(path, "rb") as f:
        data = bytearray(f.read())
    at = data.find(good)
    while at >= 0:
        data[at:at + 4] = bad
        at = data.find(good, at + 4)
    with open(path, "wb") as f:
        f.write(data)


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    base = parts(worksheet(CELLS), shared(ITEMS))
    write(os.path.join(out, "shape-plain.xlsx"), base)
    write(os.path.join(out, "shape-stored.xlsx"), base, zipfile.ZIP_STORED)
    # A declared single-byte encoding and UTF-16 parts go to expat (a phone
    # office app's .xlsm declares such an encoding).
    latin = dict(base)
    latin["xl/worksheets/sheet1.xml"] = worksheet(CELLS.replace("行内", "caf\xe9"), head='<?xml version="1.0" '
                                                  'encoding="ISO-8859-1"?>').encode("latin-1", "replace")
    latin["[Content_Types].xml"] = base["[Content_Types].xml"].replace(
        "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml",
        "application/vnd.ms-excel.sheet.macroEnabled.main+xml")
    write(os.path.join(out, "shape-latin1.xlsm"), latin)
    utf16 = dict(base)
    utf16["xl/sharedStrings.xml"] = "\ufeff".encode("utf-16-le") + shared(
        ITEMS, head='<?xml version="1.0" encoding="UTF-16"?>').encode("utf-16-le")
    write(os.path.join(out, "shape-utf16.xlsx"), utf16)
    # A DOCTYPE with internal entities, and texts with literal CR LF, lone CR
    # and _x000D_ escapes.
    doctype = dict(base)
    doctype["xl/sharedStrings.xml"] = ('<?xml version="1.0"?><!DOCTYPE sst [<!ENTITY a "ab"><!ENTITY b "&a;&a;">]>'
                                       + shared(["<t>&b; 实体</t>", "<t>x</t>"], head=""))
    write(os.path.join(out, "shape-doctype.xlsx"), doctype)
    lines = dict(base)
    lines["xl/sharedStrings.xml"] = shared(["<t>一\r\n二\r三\n四</t>", "<t>_x000D_五&#13;六</t>"])
    write(os.path.join(out, "shape-line-ends.xlsx"), lines)
    # The strict namespaces.
    strict = parts(worksheet(CELLS, ns=STRICT), shared(ITEMS, ns=STRICT), ns=STRICT,
                   rel="http://purl.oclc.org/ooxml/officeDocument/relationships")
    write(os.path.join(out, "shape-strict.xlsx"), strict)
    # A member whose CRC-32 does not match its bytes.
    path = os.path.join(out, "shape-bad-crc.xlsx")
    write(path, base)
    break_crc(path, "xl/_rels/workbook.xml.rels")
    # A shared string past Excel's 32,767 characters, which deflates to little.
    long_text = dict(base)
    long_text["xl/sharedStrings.xml"] = shared(["<t>%s 尾巴</t>" % ("长句" * 20000), "<t>x</t>"])
    write(os.path.join(out, "shape-long-text.xlsx"), long_text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
