#!/usr/bin/python3
"""Seeds written by LibreOffice: one workbook of many kinds of cell, saved
in every format of ours that LibreOffice writes, plain and encrypted.

    lo_seeds.py OUTDIR

Writes .xlsx (Excel 2007-365 and "Office Open XML"), .xlsm, .xls (BIFF8),
and .xls/.xlsx with the passwords "VelvetSweatshop" (opened without asking)
and "secret". LibreOffice writes neither .xlsb nor BIFF5 (it reads both).
Exit 77 (nothing written) without LibreOffice or its UNO bridge.
"""
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "platform", "xl"))
import lo_encrypted  # noqa: E402  (exits 77 without the UNO bridge; starts LibreOffice, saves)

# (file name, filter, password)
FORMATS = [
    ("lo.xlsx", "Calc MS Excel 2007 XML", None),
    ("lo-ooxml.xlsx", "Calc Office Open XML", None),
    ("lo.xlsm", "Calc MS Excel 2007 VBA XML", None),
    ("lo-biff8.xls", "MS Excel 97", None),
    ("lo-velvet.xlsx", "Calc MS Excel 2007 XML", "VelvetSweatshop"),
    ("lo-velvet.xls", "MS Excel 97", "VelvetSweatshop"),
    ("lo-secret.xlsx", "Calc MS Excel 2007 XML", "secret"),
]


def fill(doc):
    """Texts (Chinese, long, multi-line, rich), numbers, dates, booleans,
    formulas of every result, errors, hidden rows and columns, merged cells,
    a comment, a hidden sheet and a chart-free third sheet."""
    sheets = doc.Sheets
    s = sheets.getByIndex(0)
    s.Name = "数据"
    cells = [
        ["编号", "名称", "金额", "日期", "备注"],
        [1, "上海分公司", 1234.5, "=DATE(2023;7;15)", "第一行\n第二行"],
        [2, "Café ß 𠀀", -0.125, "=NOW()*0+45000.5", "=A2&B2"],
        [3, "长" * 40000 + " 尾巴", 1e20, "=1/0", "=A3>1"],
        ["", "=TEXT(C2;\"0.00\")", "=SUM(C2:C4)", "=NA()", "=\"公式文本\""],
    ]
    for r, row in enumerate(cells):
        for c, v in enumerate(row):
            cell = s.getCellByPosition(c, r)
            if isinstance(v, str) and v.startswith("="):
                cell.Formula = v
            elif isinstance(v, str):
                if v:
                    cell.String = v
            else:
                cell.Value = v
    s.getCellByPosition(3, 1).NumberFormat = doc.NumberFormats.queryKey("YYYY-MM-DD", doc.CharLocale, False) \
        if doc.NumberFormats.queryKey("YYYY-MM-DD", doc.CharLocale, False) >= 0 else 36
    s.Rows.getByIndex(2).IsVisible = False
    s.Columns.getByIndex(4).IsVisible = False
    s.getCellRangeByName("A6:C6").merge(True)
    s.getCellByPosition(0, 5).String = "合并的单元格"
    s.getCellByPosition(9, 99).Value = 7
    s.Annotations.insertNew(s.getCellByPosition(1, 1).CellAddress, "批注")
    sheets.insertNewByName("隐藏", 1)
    hidden = sheets.getByName("隐藏")
    hidden.getCellByPosition(0, 0).String = "隐藏的工作表"
    hidden.IsVisible = False
    sheets.insertNewByName("Empty", 2)


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    out = os.path.abspath(sys.argv[1])
    os.makedirs(out, exist_ok=True)
    profile = tempfile.mkdtemp(prefix="lo-seeds-")
    proc, desktop = lo_encrypted.start_office(profile, "quorvane-seeds-%d" % os.getpid())
    try:
        doc = desktop.loadComponentFromURL("private:factory/scalc", "_blank", 0, (lo_encrypted.prop("Hidden", True),))
        fill(doc)
        for name, filt, password in FORMATS:
            try:
                lo_encrypted.save(doc, os.path.join(out, name), filt, password)
            except Exception as e:  # a filter this LibreOffice lacks: the others still count
                print("LibreOffice cannot write %s: %s" % (name, e))
        doc.close(True)
    finally:
        try:
            desktop.terminate()
        except Exception:
            pass
        proc.wait(30)
        shutil.rmtree(profile, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
