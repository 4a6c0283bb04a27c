#!/usr/bin/python3
"""What a user would write instead of Quorvane: walk the folder, open every
.xlsx with openpyxl (read-only, cached values) and every .xls with xlrd,
turn every cell into text with str() and count the sheet rows that contain
the search text, ASCII letters compared without case.

    /usr/bin/python3 bench/baseline_openpyxl.py FOLDER TEXT

Prints the number of matching rows; workbooks that cannot be opened are
named on stderr (and are not counted, as Quorvane gives them a failure row
rather than a match row).
"""
import os
import sys
import warnings

import openpyxl
import xlrd

# Only ASCII letters fold, as in Quorvane's search.
ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


def rows_xlsx(path):
    wb = openpyxl.load_workbook(path, read_only=True, data_only=True)
    try:
        for ws in wb.worksheets:
            for row in ws.iter_rows(values_only=True):
                yield row
    finally:
        wb.close()


def rows_xls(path):
    book = xlrd.open_workbook(path, on_demand=True)
    try:
        for i in range(book.nsheets):
            sh = book.sheet_by_index(i)
            for r in range(sh.nrows):
                yield sh.row_values(r)
            book.unload_sheet(i)
    finally:
        book.release_resources()


def count_rows(path, needle):
    rows = rows_xls(path) if path.lower().endswith(".xls") else rows_xlsx(path)
    hits = 0
    for row in rows:
        for v in row:
            if v is not None and needle in str(v).translate(ASCII_LOWER):
                hits += 1
                break
    return hits


def workbooks(folder):
    # Same files as the product's walk: names ending in .xls, .xlsx, .xlsm;
    # folders whose names begin with "." are not entered.
    for top, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        for name in sorted(files):
            if name.lower().endswith((".xls", ".xlsx", ".xlsm")):
                yield os.path.join(top, name)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: baseline_openpyxl.py FOLDER TEXT")
    folder, needle = sys.argv[1], sys.argv[2].translate(ASCII_LOWER)
    if not needle:
        sys.exit("baseline_openpyxl.py: empty search text")
    warnings.simplefilter("ignore")  # openpyxl's style warnings are noise here
    total = 0
    failed = 0
    for path in workbooks(folder):
        try:
            total += count_rows(path, needle)
        except Exception as e:  # a broken workbook is reported, not fatal
            failed += 1
            print("cannot read %s: %s" % (path, e), file=sys.stderr)
    print(total)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
