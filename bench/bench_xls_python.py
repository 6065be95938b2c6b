"""Times python3-xlwt writing and python3-xlrd reading the cells that
bench_xls writes: one tab-separated row per line. Prints two lines,
'xlwt SECONDS' and 'xlrd SECONDS'."""
import sys
import time

import xlrd
import xlwt


def main():
    source, target = sys.argv[1], sys.argv[2]
    with open(source, encoding="utf-8") as f:
        rows = [line.rstrip("\n").split("\t") for line in f]
    start = time.perf_counter()
    book = xlwt.Workbook(encoding="utf-8")
    sheet = book.add_sheet("Menu")
    for r, row in enumerate(rows):
        for c, text in enumerate(row):
            sheet.write(r, c, text)
    book.save(target)
    print("xlwt %.6f" % (time.perf_counter() - start))
    start = time.perf_counter()
    book = xlrd.open_workbook(target)
    sheet = book.sheet_by_index(0)
    count = 0
    for r in range(sheet.nrows):
        for value in sheet.row_values(r):
            count += 1 if value else 0
    print("xlrd %.6f" % (time.perf_counter() - start))


if __name__ == "__main__":
    main()
