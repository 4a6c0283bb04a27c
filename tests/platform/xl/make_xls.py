#!/usr/bin/python3
"""Writes the .xls fixtures of the BIFF reader tests into the folder given as
the only argument (python3-xlwt from Debian; run with /usr/bin/python3)."""
import datetime
import os
import sys

import xlwt


def mixed_book(path):
    wb = xlwt.Workbook(encoding="utf-8")
    date_fmt = xlwt.easyxf(num_format_str="yyyy-mm-dd")
    stamp_fmt = xlwt.easyxf(num_format_str="yyyy-mm-dd hh:mm:ss")
    time_fmt = xlwt.easyxf(num_format_str="hh:mm:ss")
    money_fmt = xlwt.easyxf(num_format_str="#,##0.00")

    ws = wb.add_sheet("数据")
    ws.write(0, 0, "编号")
    ws.write(0, 1, "名称")
    ws.write(0, 2, "金额")
    ws.write(0, 3, "日期")
    ws.write(1, 0, 1)
    ws.write(1, 1, "上海分公司")
    ws.write(1, 2, 1234.5, money_fmt)
    ws.write(1, 3, datetime.date(2023, 7, 15), date_fmt)
    ws.write(2, 0, 2)
    ws.write(2, 1, "Café ß")
    ws.write(2, 2, -0.125)
    ws.write(2, 3, datetime.datetime(1999, 12, 31, 23, 59, 58), stamp_fmt)
    ws.write(3, 0, 3)
    ws.write(3, 1, "隐藏行")
    ws.write(3, 2, 1e20)
    ws.write(3, 3, datetime.time(8, 30, 0), time_fmt)
    ws.write(4, 0, True)
    ws.write(4, 1, False)
    ws.write(4, 2, 123456789012)
    ws.write(4, 3, "")  # an empty text is a blank, not a value
    ws.write(6, 5, "𠀀 beyond the BMP")
    ws.row(3).hidden = True
    ws.col(2).hidden = True
    ws.col(4).hidden = True

    second = wb.add_sheet("Second")
    second.write(0, 0, "second sheet")
    second.write(65535, 255, "far corner")

    hidden = wb.add_sheet("隐藏的表")
    hidden.visibility = 1
    hidden.write(0, 0, "in a hidden sheet")
    wb.save(path)


def long_sst_book(path):
    # Enough distinct strings that the shared-string table runs over many
    # CONTINUE records, with characters of both widths split at the breaks.
    wb = xlwt.Workbook(encoding="utf-8")
    ws = wb.add_sheet("长表")
    for i in range(3000):
        if i % 3 == 0:
            text = "row %05d " % i + "x" * (i % 97)
        elif i % 3 == 1:
            text = "第%05d行" % i + "中文" * (i % 53)
        else:
            text = "mixed %05d " % i + "ab中" * (i % 41)
        ws.write(i, 0, text)
    wb.save(path)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    mixed_book(os.path.join(out, "mixed.xls"))
    long_sst_book(os.path.join(out, "long_sst.xls"))


if __name__ == "__main__":
    main()
