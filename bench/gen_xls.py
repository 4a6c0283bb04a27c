#!/usr/bin/python3
"""Adds the .xls workbooks (BIFF8, written with xlwt) to the benchmark's folder
tree made by bench_gen_data: the same kinds of sheets, spread over the
folders that already exist. Same bytes on every run (fixed seed, folders
taken in sorted order).

    /usr/bin/python3 bench/gen_xls.py TREE_FOLDER [COUNT]

Writes the number of rows carrying the planted text to TREE_FOLDER-xls.expected.
"""
import os
import random
import sys

import xlwt

CHINESE = ("客户 订单 金额 北京 上海 广州 深圳 杭州 成都 武汉 南京 西安 重庆 天津 苏州 产品 型号 "
           "规格 数量 单价 合计 备注 已发货 待付款 退货 财务部 销售部 技术部 人事部 采购 库存 仓库 "
           "供应商 合同 发票 项目 进度 完成 审核 通过 张伟 王芳 李娜 刘洋 陈静 杨帆 赵磊 黄敏 周杰 "
           "吴昊 有限公司 科技 贸易 电子 机械 服装 食品 华东区 华南区 华北区 西南区 预算 实际 说明").split()
ASCII = ("SKU ORD INV Total Sales Q1 Q2 Q3 Q4 North South East West OK N/A Beijing Shanghai Item "
         "Remark Pending Done Alpha Beta Gamma Delta Omega USD CNY Ltd Co Inc Report Budget Actual").split()
HEADERS = "序号 日期 客户名称 产品 型号 数量 单价 金额 备注 负责人 状态 地区 Code Item Amount Qty".split()
SHEETS = "Sheet1 销售数据 汇总 明细 Data 库存 客户 Summary".split()
PREFIXES = "报表 销售明细 库存 客户清单 订单汇总 budget report 工资表 旧版数据".split()
# The planted text in several ASCII cases, and near misses that must not hit.
PLANTED = ("zebra蓝鲸", "Zebra蓝鲸", "ZEBRA蓝鲸", "zEbRa蓝鲸")
NEAR_MISS = ("Zebra蓝", "zebr蓝鲸", "斑马蓝鲸", "Zebra 蓝鲸", "zebra鲸")
KINDS = ("cn", "cn", "ascii", "mixed", "code", "remark", "int", "int", "decimal", "date", "bool")
HIT_RATE = 1.0 / 700

STYLE_DECIMAL = xlwt.easyxf(num_format_str="#,##0.00")
STYLE_DATE = xlwt.easyxf(num_format_str="yyyy-mm-dd")
STYLE_HEADER = xlwt.easyxf("font: bold on")


def text(kind, r):
    if kind == "cn":
        return "".join(r.choice(CHINESE) for _ in range(r.randint(1, 4)))
    if kind == "ascii":
        return " ".join(r.choice(ASCII) for _ in range(r.randint(1, 3)))
    if kind == "mixed":
        return "%s%s-%05d" % (r.choice(CHINESE), r.choice(ASCII), r.randint(0, 99999))
    if kind == "code":
        return "SKU-%04d%04d" % (r.randint(2018, 2024), r.randint(0, 9999))
    return "".join(r.choice(CHINESE) if r.random() < 0.7 else r.choice(ASCII) + " "
                   for _ in range(r.randint(3, 10)))


def planted(r):
    s = r.choice(CHINESE) if r.random() < 0.6 else ""
    s += r.choice(PLANTED)
    if r.random() < 0.6:
        s += "-%d" % r.randint(1, 999)
    return s


def write_cell(ws, row, col, kind, r):
    if kind == "int":
        ws.write(row, col, r.randint(-500, 200000))
    elif kind == "decimal":
        ws.write(row, col, r.randint(0, 9999999) / 100.0, STYLE_DECIMAL)
    elif kind == "date":
        ws.write(row, col, r.randint(43100, 45600), STYLE_DATE)
    elif kind == "bool":
        ws.write(row, col, r.random() < 0.5)
    else:
        ws.write(row, col, text(kind, r))


def write_sheet(ws, rows, cols, r):
    """Returns the number of rows that carry the planted text."""
    planted_rows = 0
    kinds = [r.choice(KINDS) for _ in range(cols)]
    for c in range(cols):
        ws.write(0, c, r.choice(HEADERS), STYLE_HEADER)
    for row in range(1, rows):
        hits = set()
        if r.random() < HIT_RATE:
            hits.add(r.randrange(cols))
            if r.random() < 0.2:
                hits.add(r.randrange(cols))
            planted_rows += 1
        near = r.randrange(cols) if r.random() < HIT_RATE * 2 else -1
        for c in range(cols):
            if c in hits:
                ws.write(row, c, planted(r))
            elif c == near:
                ws.write(row, c, text("cn", r) + r.choice(NEAR_MISS))
            elif r.random() >= 0.06:
                write_cell(ws, row, c, kinds[c], r)
    return planted_rows


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: gen_xls.py TREE_FOLDER [COUNT]")
    root = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) == 3 else 100
    folders = sorted(d for d, _, _ in os.walk(root))
    r = random.Random(19491001)
    planted_rows = 0
    for i in range(count):
        folder = folders[r.randrange(len(folders))]
        wb = xlwt.Workbook(encoding="utf-8")
        first = r.randrange(len(SHEETS))
        for s in range(r.randint(1, 3)):
            ws = wb.add_sheet(SHEETS[(first + s) % len(SHEETS)])
            planted_rows += write_sheet(ws, r.randint(40, 450), r.randint(5, 15), r)
        wb.save(os.path.join(folder, "%s_%d.xls" % (r.choice(PREFIXES), 5000 + i)))
    # Beside the tree, not in it, like bench_gen_data's counts.
    with open(os.path.normpath(root) + "-xls.expected", "w") as f:
        f.write("%d\n" % planted_rows)


if __name__ == "__main__":
    main()
