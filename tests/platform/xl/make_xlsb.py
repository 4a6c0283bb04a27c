#!/usr/bin/python3
"""Writes Excel binary workbooks (.xlsb: BIFF12 records, [MS-XLSB], in a zip
package); no Debian tool writes them.

    make_xlsb.py DIR                  the fixtures of the .xlsb reader tests
    make_xlsb.py --big ROWS COLS BASE BASE.xlsb and BASE.xlsx, the same cells

The fixtures: mixed.xlsb (every cell kind, full and short records, shared
and inline strings, rich and phonetic runs, dates, formulas with results of
every type, hidden rows, columns and sheets, a macro sheet, a chart sheet),
date1904.xlsb, long_texts.xlsb (texts past Excel's 32,767 characters), and
damaged variants of them named after their damage.
"""
import os
import struct
import sys
import zipfile

# ---- records -------------------------------------------------------------


def rec(rtype, body=b""):
    """One record: type in 1-2 bytes, length in 1-4 bytes of 7 bits."""
    head = bytes([rtype]) if rtype < 0x80 else bytes([(rtype & 0x7F) | 0x80, rtype >> 7])
    n = len(body)
    size = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        size.append(b | (0x80 if n else 0))
        if not n:
            break
    return head + bytes(size) + body


def u8(v):
    return struct.pack("<B", v)


def u16(v):
    return struct.pack("<H", v)


def u32(v):
    return struct.pack("<I", v)


def f64(v):
    return struct.pack("<d", v)


def wide(s):
    units = s.encode("utf-16-le")
    return u32(len(units) // 2) + units


def rich(s, runs=0, phonetic=None):
    """RichStr: formatting runs (each a character offset and a font) and a
    phonetic text that are not part of the shown text."""
    flags = (1 if runs else 0) | (2 if phonetic is not None else 0)
    out = u8(flags) + wide(s)
    if runs:
        out += u32(runs) + b"".join(u16(i) + u16(1) for i in range(runs))
    if phonetic is not None:
        out += wide(phonetic) + u32(0)
    return out


def cell(col, style=0):
    return u32(col) + struct.pack("<I", style & 0xFFFFFF)


def short(style=0):
    return struct.pack("<I", style & 0xFFFFFF)


def rk_int(v):
    return u32(((v << 2) | 2) & 0xFFFFFFFF)


def rk_x100(v):
    """A value with at most two decimals, stored times 100 as an integer."""
    return u32(((round(v * 100) << 2) | 3) & 0xFFFFFFFF)


def rk_float(v):
    """The high 30 bits of a double whose low 34 bits are zero."""
    bits = struct.unpack("<Q", struct.pack("<d", v))[0]
    assert bits & 0x3FFFFFFFF == 0
    return u32((bits >> 32) & 0xFFFFFFFC)


def formula(tokens):
    """What follows a formula cell's value: flags, then the expression."""
    return u16(0) + u32(len(tokens)) + tokens + u32(0)


def ptg_str(s):
    return b"\x17" + u16(len(s)) + s.encode("utf-16-le")


def ptg_num(v):
    return b"\x1f" + f64(v)


def ptg_bool(v):
    return b"\x1d" + u8(v)


def ptg_err(code):
    return b"\x1c" + u8(code)


def row(r, hidden=False):
    return rec(0, u32(r) + u32(0) + u16(300) + u8(0) + u8(0x10 if hidden else 0) + u8(0) + u32(0))


def colinfo(first, last, hidden):
    return rec(60, u32(first) + u32(last) + u32(2560) + u32(0) + u16(1 if hidden else 0))


def sheet_part(body, cols=b""):
    if cols:
        cols = rec(390) + cols + rec(391)
    return rec(129) + rec(148, u32(0) + u32(0) + u32(0) + u32(0)) + cols + rec(145) + body + rec(146) + rec(130)


# Error codes as the records store them.
ERRORS = {"#NULL!": 0x00, "#DIV/0!": 0x07, "#VALUE!": 0x0F, "#REF!": 0x17, "#NAME?": 0x1D, "#NUM!": 0x24,
          "#N/A": 0x2A}

# ---- styles --------------------------------------------------------------

# Cell formats of the styles part: 0 General, 1 built-in date 14, 2 custom
# date and time, 3 time of day, 4 elapsed hours, 5 "0.00".
CUSTOM_FORMATS = [(164, "yyyy\\-mm\\-dd hh:mm"), (165, "h:mm:ss"), (166, "[h]:mm:ss")]
CELL_FORMATS = [0, 14, 164, 165, 166, 2]


def xf(fmt):
    return rec(47, u16(0) + u16(fmt) + bytes.fromhex("00000000000000001010") + u16(0))


def styles_part():
    # Font, fills, border and the Normal style as Excel writes them.
    font = rec(43, bytes.fromhex("c800000090010000000201000140000000000000000500000041007200690061006c00"))
    fill = (rec(45, bytes.fromhex("0000000003400000000000ff03410000ffffffff") + bytes(48)) +
            rec(45, bytes.fromhex("1100000003400000000000ff03410000ffffffff") + bytes(48)))
    border = rec(46, bytes.fromhex("000000010000000000000000000100000000000000000001000000000000000000010000000000"
                                   "000000000100000000000000"))
    style = rec(48, bytes.fromhex("00000000010000ff") + wide("Normal"))
    out = rec(278)
    out += rec(615, u32(len(CUSTOM_FORMATS))) + b"".join(rec(44, u16(i) + wide(c)) for i, c in CUSTOM_FORMATS)
    out += rec(616)
    out += rec(611, u32(1)) + font + rec(612)
    out += rec(603, u32(2)) + fill + rec(604)
    out += rec(613, u32(1)) + border + rec(614)
    # A style format with a date: it must not count as a cell format.
    out += rec(626, u32(1)) + xf(14) + rec(627)
    out += rec(617, u32(len(CELL_FORMATS))) + b"".join(xf(f) for f in CELL_FORMATS) + rec(618)
    out += rec(619, u32(1)) + style + rec(620)
    out += rec(279)
    return out


# ---- workbook and package ------------------------------------------------

REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
REL_TYPES = {"worksheet": REL + "/worksheet", "chartsheet": REL + "/chartsheet",
             "macrosheet": "http://schemas.microsoft.com/office/2006/relationships/xlMacrosheet"}
CONTENT = {"worksheet": "application/vnd.ms-excel.worksheet", "chartsheet": "application/vnd.ms-excel.chartsheet",
           "macrosheet": "application/vnd.ms-excel.macrosheet"}
FOLDER = {"worksheet": "worksheets", "chartsheet": "chartsheets", "macrosheet": "macrosheets"}


def workbook_part(sheets, date1904=False):
    out = rec(131) + rec(153, u32(0x10020 | (1 if date1904 else 0)) + u32(0) + wide(""))
    out += rec(143)
    for i, s in enumerate(sheets):
        out += rec(156, u32(s.get("state", 0)) + u32(i + 1) + wide("rId%d" % (i + 1)) + wide(s["name"]))
    out += rec(144) + rec(132)
    return out


def package(sheets, sst=None, date1904=False, workbook=None):
    """The parts of a workbook: each sheet {name, kind, state, bin}."""
    parts = {}
    overrides = ['<Override PartName="/xl/workbook.bin" '
                 'ContentType="application/vnd.ms-excel.sheet.binary.macroEnabled.main"/>',
                 '<Override PartName="/xl/styles.bin" ContentType="application/vnd.ms-excel.styles"/>']
    rels = []
    counts = {}
    for i, s in enumerate(sheets):
        kind = s.get("kind", "worksheet")
        counts[kind] = counts.get(kind, 0) + 1
        target = "%s/sheet%d.bin" % (FOLDER[kind], counts[kind])
        rels.append('<Relationship Id="rId%d" Type="%s" Target="%s"/>' % (i + 1, REL_TYPES[kind], target))
        if s.get("bin") is not None:
            parts["xl/" + target] = s["bin"]
            overrides.append('<Override PartName="/xl/%s" ContentType="%s"/>' % (target, CONTENT[kind]))
    n = len(sheets)
    rels.append('<Relationship Id="rId%d" Type="%s/styles" Target="styles.bin"/>' % (n + 1, REL))
    if sst is not None:
        rels.append('<Relationship Id="rId%d" Type="%s/sharedStrings" Target="sharedStrings.bin"/>' % (n + 2, REL))
        overrides.append('<Override PartName="/xl/sharedStrings.bin" '
                         'ContentType="application/vnd.ms-excel.sharedStrings"/>')
        parts["xl/sharedStrings.bin"] = sst
    parts["[Content_Types].xml"] = (
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
        '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
        '<Default Extension="bin" ContentType="application/vnd.ms-excel.sheet.binary.macroEnabled.main"/>'
        '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
        '<Default Extension="xml" ContentType="application/xml"/>' + "".join(overrides) + "</Types>")
    parts["_rels/.rels"] = (
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
        '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
        '<Relationship Id="rId1" Type="%s/officeDocument" Target="xl/workbook.bin"/></Relationships>' % REL)
    parts["xl/_rels/workbook.bin.rels"] = (
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
        '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">' +
        "".join(rels) + "</Relationships>")
    parts["xl/workbook.bin"] = workbook if workbook is not None else workbook_part(sheets, date1904)
    parts["xl/styles.bin"] = styles_part()
    return parts


def write(path, parts):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in parts.items():
            z.writestr(name, data.encode("utf-8") if isinstance(data, str) else data)


def sst_part(items):
    """items: RichStr bodies."""
    return rec(159, u32(len(items)) + u32(len(items))) + b"".join(rec(19, i) for i in items) + rec(160)


# ---- the mixed workbook ----------------------------------------------------

SHARED = [rich("编号"), rich("名称"), rich("粗体 plain", runs=2), rich("東京", phonetic="トウキョウ"),
          rich("𠀀 beyond the BMP")]


def data_sheet():
    b = b""
    # Row 0: shared strings, rich and phonetic.
    b += row(0) + b"".join(rec(7, cell(c) + u32(c)) for c in range(5))
    # Row 1: numbers in every record.
    b += row(1)
    b += rec(2, cell(0) + rk_int(12345)) + rec(2, cell(1) + rk_x100(1.23)) + rec(2, cell(2) + rk_float(0.5))
    b += rec(2, cell(3) + rk_int(-7)) + rec(5, cell(4) + f64(0.1 + 0.2)) + rec(5, cell(5) + f64(1e20))
    b += rec(5, cell(6) + f64(-1.5e-7)) + rec(5, cell(7, 5) + f64(3.14159)) + rec(2, cell(8) + rk_x100(-0.05))
    # Row 2: errors and booleans.
    b += row(2) + b"".join(rec(3, cell(c) + u8(code)) for c, code in enumerate(ERRORS.values()))
    b += rec(4, cell(7) + u8(1)) + rec(4, cell(8) + u8(0))
    # Row 3 (hidden): inline texts.
    b += row(3, hidden=True) + rec(6, cell(0) + wide("行内 text")) + rec(62, cell(1) + rich("富文本 rich", runs=1))
    b += rec(6, cell(2) + wide(""))
    # Row 4: formulas with results of every type.
    b += row(4)
    b += rec(8, cell(0) + wide("公式 text") + formula(ptg_str("公式 text")))
    b += rec(9, cell(1) + f64(42.5) + formula(ptg_num(42.5)))
    b += rec(10, cell(2) + u8(1) + formula(ptg_bool(1))) + rec(10, cell(3) + u8(0) + formula(ptg_bool(0)))
    b += rec(11, cell(4) + u8(ERRORS["#DIV/0!"]) + formula(ptg_err(ERRORS["#DIV/0!"])))
    b += rec(8, cell(5) + wide("") + formula(ptg_str("")))
    b += rec(9, cell(6, 1) + f64(45000) + formula(ptg_num(45000)))
    # Row 5: dates and times; a formatted blank is no data.
    b += row(5)
    b += rec(2, cell(0, 1) + rk_int(45000)) + rec(5, cell(1, 2) + f64(45000.5729166667))
    b += rec(5, cell(2, 3) + f64(0.75)) + rec(5, cell(3, 4) + f64(10.6320601852)) + rec(1, cell(9, 1))
    b += rec(2, cell(4, 1) + rk_int(60)) + rec(2, cell(5, 1) + rk_int(0))
    # Row 6: the short forms, each in the column after the previous cell.
    b += row(6) + rec(6, cell(1) + wide("长"))
    b += rec(12, short()) + rec(13, short() + rk_int(7)) + rec(16, short(1) + f64(45001)) + rec(17, short() + wide("短"))
    b += rec(18, short() + u32(1)) + rec(15, short() + u8(1)) + rec(14, short() + u8(ERRORS["#N/A"]))
    # Row 7 opens with a short form.
    b += row(7) + rec(13, short() + rk_int(8)) + rec(13, short() + rk_int(9))
    # Row 9 after a gap; the last cell of the sheet.
    b += row(9) + rec(6, cell(10) + wide("末尾"))
    return sheet_part(b, colinfo(2, 3, True) + colinfo(5, 5, False))


def mixed_sheets():
    macro = sheet_part(row(0) + rec(6, cell(0) + wide("宏表单元格")) + rec(2, cell(1) + rk_int(9)))
    chart = rec(129) + rec(139) + rec(141, bytes(10)) + rec(142) + rec(140) + rec(130)
    return [
        {"name": "数据", "bin": data_sheet()},
        {"name": "隐藏", "state": 1, "bin": sheet_part(row(4) + rec(6, cell(2) + wide("secret")))},
        {"name": "VeryHidden", "state": 2, "bin": sheet_part(row(0) + rec(2, cell(0) + rk_int(1)))},
        {"name": "宏表", "kind": "macrosheet", "bin": macro},
        {"name": "图表", "kind": "chartsheet", "bin": chart},
        {"name": "Empty", "bin": sheet_part(b"")},
    ]


# ---- damaged variants ----------------------------------------------------


def with_sheet(sheets, index, data):
    out = [dict(s) for s in sheets]
    out[index]["bin"] = data
    return out


def damaged(folder):
    sheets = mixed_sheets()
    sst = sst_part(SHARED)
    good = data_sheet()
    # Cut inside the record of the cell at row 9 (the last cell).
    tail = row(9) + rec(6, cell(10) + wide("末尾"))
    cut = good.index(tail) + len(row(9)) + 5
    write(os.path.join(folder, "truncated_sheet.xlsb"), package(with_sheet(sheets, 0, good[:cut]), sst))

    one = rec(129) + rec(145) + row(0) + rec(6, cell(0) + wide("before"))
    end = rec(146) + rec(130)
    # A type of three bytes cannot be: the records after it are not read.
    bad_type = one + b"\x81\x81\x01\x00" + rec(6, cell(1) + wide("after")) + end
    write(os.path.join(folder, "bad_record_type.xlsb"), package(with_sheet(sheets, 0, bad_type), sst))
    # A length past the end of the part.
    long_len = one + b"\x06\xff\xff\xff\x7f" + cell(1) + wide("after")
    write(os.path.join(folder, "length_past_end.xlsb"), package(with_sheet(sheets, 0, long_len), sst))
    # A record larger than any the format has is skipped; the cell after it is read.
    big = one + rec(0x7F, bytes(40 << 20)) + rec(6, cell(1) + wide("after")) + end
    write(os.path.join(folder, "huge_record.xlsb"), package(with_sheet(sheets, 0, big), sst))

    # Lengths and indexes that point outside what the records hold.
    b = rec(6, cell(0) + wide("before any row"))  # no row yet
    b += row(0) + rec(6, cell(0) + u32(1000) + "xy".encode("utf-16-le"))  # text longer than its record
    b += rec(6, cell(1) + wide("kept"))
    b += rec(7, cell(2) + u32(99)) + rec(7, cell(3) + u32(1))  # past the table; the damaged item
    b += rec(7, cell(4) + u32(2)) + rec(2, cell(5, 4000) + rk_int(45000))  # style past the table
    b += rec(5, cell(6)) + rec(6, cell(16384) + wide("past the last column"))  # short body; column
    b += row(1 << 20) + rec(6, cell(0) + wide("row past the grid"))
    b += row(2) + rec(6, cell(0) + wide("row 2"))
    cols = colinfo(7, 3, True) + colinfo(20000, 20001, True) + colinfo(16380, 99999, True)
    bad_sst = sst_part([rich("zero"), u8(0) + u32(500) + "ab".encode("utf-16-le"), rich("two")])
    write(os.path.join(folder, "bad_indexes.xlsb"), package(with_sheet(sheets, 0, sheet_part(b, cols)), bad_sst))

    # The workbook part cut inside its second sheet entry.
    wb = workbook_part(sheets)
    second = wb.index(rec(156, u32(1) + u32(2) + wide("rId2") + wide("隐藏")))
    write(os.path.join(folder, "truncated_workbook.xlsb"), package(sheets, sst, workbook=wb[:second + 9]))

    # The shared strings cut inside the third item.
    sst_bytes = sst_part(SHARED)
    third = sst_bytes.index(rec(19, SHARED[2]))
    write(os.path.join(folder, "truncated_sst.xlsb"), package(sheets, sst_bytes[:third + 7]))

    # A sheet part whose compressed bytes are damaged: it cannot be inflated.
    path = os.path.join(folder, "inflate_damage.xlsb")
    write(path, package(sheets, sst))
    with zipfile.ZipFile(path) as z:
        info = z.getinfo("xl/worksheets/sheet1.bin")
    with open(path, "r+b") as f:
        f.seek(info.header_offset + 26)
        name_len, extra_len = struct.unpack("<HH", f.read(4))
        start = info.header_offset + 30 + name_len + extra_len
        f.seek(start + info.compress_size // 2)
        f.write(b"\xde\xad\xbe\xef" * 4)


def fixtures(folder):
    os.makedirs(folder, exist_ok=True)
    write(os.path.join(folder, "mixed.xlsb"), package(mixed_sheets(), sst_part(SHARED)))
    s1904 = sheet_part(row(0) + rec(2, cell(0, 1) + rk_int(45000)) + rec(5, cell(1, 2) + f64(0.5)))
    write(os.path.join(folder, "date1904.xlsb"), package([{"name": "Sheet1", "bin": s1904}], date1904=True))
    write(os.path.join(folder, "long_texts.xlsb"), long_texts())
    damaged(folder)


def long_texts():
    """Texts past Excel's 32,767 characters (other writers make them): a
    shared string, an inline string and a formula's text, each with words
    after the place Excel would cut."""
    body = "长句" * 17000 + "\U00020000"
    sheet = row(0) + rec(7, cell(0) + u32(0)) + rec(6, cell(1) + wide(body + " 内联的尾巴"))
    sheet += rec(8, cell(2) + wide(body + " 公式的尾巴") + formula(ptg_str("x")))
    return package([{"name": "长文本", "bin": sheet_part(sheet)}], sst_part([rich(body + " 共享的尾巴")]))


# ---- a large workbook, as .xlsb and as .xlsx -----------------------------


def big(rows, cols, base):
    """Numbers (integers and reals) and shared strings, a third each."""
    words = ["上海分公司", "北京", "Guangzhou branch", "深圳 office", "成都", "remark text", "杭州", "武汉"]
    texts = ["%s %d" % (words[i % len(words)], i) for i in range(1000)]
    body = bytearray()
    xml = ['<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
           '<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData>']
    for r in range(rows):
        body += row(r)
        xml.append('<row r="%d">' % (r + 1))
        for c in range(cols):
            k = (r * cols + c) % 3
            ref = "%s%d" % (chr(65 + c % 26) if c < 26 else "A" + chr(65 + c % 26), r + 1)
            if k == 0:
                v = r * 7 + c
                body += rec(2, cell(c) + rk_int(v))
                xml.append('<c r="%s"><v>%d</v></c>' % (ref, v))
            elif k == 1:
                v = (r * 31 + c) / 8.0 + 0.001
                body += rec(5, cell(c) + f64(v))
                xml.append('<c r="%s"><v>%r</v></c>' % (ref, v))
            else:
                i = (r + c) % len(texts)
                body += rec(7, cell(c) + u32(i))
                xml.append('<c r="%s" t="s"><v>%d</v></c>' % (ref, i))
        xml.append("</row>")
    xml.append("</sheetData></worksheet>")
    write(base + ".xlsb", package([{"name": "Sheet1", "bin": sheet_part(bytes(body))}],
                                  sst_part([rich(t) for t in texts])))
    items = "".join("<si><t>%s</t></si>" % t for t in texts)
    main = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
    write(base + ".xlsx", {
        "[Content_Types].xml": '<?xml version="1.0" encoding="UTF-8"?><Types xmlns="http://schemas.openxmlformats.org/'
        'package/2006/content-types"><Default Extension="rels" ContentType="application/vnd.openxmlformats-package.'
        'relationships+xml"/><Default Extension="xml" ContentType="application/xml"/><Override PartName="/xl/'
        'workbook.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>'
        '</Types>',
        "_rels/.rels": '<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://schemas.openxmlformats.org/'
        'package/2006/relationships"><Relationship Id="rId1" Type="%s/officeDocument" Target="xl/workbook.xml"/>'
        '</Relationships>' % REL,
        "xl/workbook.xml": '<?xml version="1.0" encoding="UTF-8"?><workbook xmlns="%s" xmlns:r="%s"><sheets>'
        '<sheet name="Sheet1" sheetId="1" r:id="rId1"/></sheets></workbook>' % (main, REL),
        "xl/_rels/workbook.xml.rels": '<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://schemas.'
        'openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type="%s/worksheet" Target="'
        'worksheets/sheet1.xml"/><Relationship Id="rId2" Type="%s/sharedStrings" Target="sharedStrings.xml"/>'
        '</Relationships>' % (REL, REL),
        "xl/worksheets/sheet1.xml": "".join(xml),
        "xl/sharedStrings.xml": '<?xml version="1.0" encoding="UTF-8"?><sst xmlns="%s">%s</sst>' % (main, items),
    })


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--big":
        big(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4])
    elif len(sys.argv) == 2:
        fixtures(sys.argv[1])
    else:
        sys.stderr.write(__doc__)
        sys.exit(2)
