#!/usr/bin/python3
"""Checks that the benchmark measures what it claims: the data is the same on
every run (the cache relies on it), the planted text is found exactly where
it was planted (so the match counts compared in the table mean something),
and the inflate floor really inflates every member.

    /usr/bin/python3 bench/test_bench_tools.py BUILD_DIR SCRATCH_DIR
"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = SCRATCH = None


def generate(out, books=12, xls=4):
    shutil.rmtree(out, ignore_errors=True)
    subprocess.run([os.path.join(BUILD, "bench", "bench_gen_data"), "--books", str(books), out, "tree"], check=True)
    subprocess.run(["/usr/bin/python3", os.path.join(HERE, "gen_xls.py"), os.path.join(out, "tree"), str(xls)],
                   check=True)


def digest(folder):
    h = hashlib.sha256()
    for top, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(top, name)
            h.update(os.path.relpath(path, folder).encode())
            with open(path, "rb") as f:
                h.update(f.read())
    return h.hexdigest()


def planted(out):
    total = 0
    for name in ("tree.expected", "tree-xls.expected"):
        with open(os.path.join(out, name)) as f:
            total += int(f.read())
    return total


def baseline(folder, text):
    p = subprocess.run(["/usr/bin/python3", os.path.join(HERE, "baseline_openpyxl.py"), folder, text],
                       stdout=subprocess.PIPE, check=True)
    return int(p.stdout)


class GeneratedData(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = os.path.join(SCRATCH, "bench-data-1")
        generate(cls.out)
        cls.tree = os.path.join(cls.out, "tree")

    def test_same_bytes_every_run(self):
        again = os.path.join(SCRATCH, "bench-data-2")
        generate(again)
        self.assertEqual(digest(self.tree), digest(os.path.join(again, "tree")))
        shutil.rmtree(again)

    def test_tree_shape(self):
        xlsx = xls = 0
        folders = set()
        for top, _, files in os.walk(self.tree):
            folders.add(os.path.relpath(top, self.tree))
            for name in files:
                xlsx += name.endswith(".xlsx")
                xls += name.endswith(".xls")
        self.assertEqual((xlsx, xls), (12, 4))
        self.assertTrue(any(any(ord(ch) > 0x2E80 for ch in f) for f in folders), folders)
        self.assertTrue(any(f.count("/") >= 1 for f in folders), folders)

    def test_planted_text_found_exactly_in_any_case(self):
        # The planted rows are the only hits, whatever the ASCII case of the
        # search text; the near misses planted beside them never count.
        want = planted(self.out)
        self.assertGreater(want, 0)
        self.assertEqual(baseline(self.tree, "zebra蓝鲸"), want)
        self.assertEqual(baseline(self.tree, "ZeBRA蓝鲸"), want)

    def test_case_folding_is_ascii_only(self):
        # "ＺＥＢＲＡ" (full-width) folds to nothing under the product's rule.
        self.assertEqual(baseline(self.tree, "ＺＥＢＲＡ蓝鲸"), 0)

    def test_floor_inflates_every_member(self):
        want_members = want_bytes = 0
        for top, _, files in os.walk(self.tree):
            for name in files:
                if name.endswith(".xlsx"):
                    with zipfile.ZipFile(os.path.join(top, name)) as z:
                        want_members += len(z.infolist())
                        want_bytes += sum(i.file_size for i in z.infolist())
        for extra in ([], ["-j", "3"]):
            p = subprocess.run([os.path.join(BUILD, "bench", "bench_inflate_floor")] + extra + [self.tree],
                               stdout=subprocess.PIPE, check=True)
            f = p.stdout.decode().split()
            got = dict(zip(f[0::2], f[1::2]))
            self.assertEqual(got["workbooks"], "12")
            self.assertEqual(int(got["members"]), want_members)
            self.assertEqual(int(got["inflated_bytes"]), want_bytes)
            self.assertEqual(got["failures"], "0")

    def test_floor_reports_broken_workbook(self):
        bad = os.path.join(SCRATCH, "bench-broken")
        shutil.rmtree(bad, ignore_errors=True)
        os.makedirs(bad)
        with open(os.path.join(bad, "not a zip.xlsx"), "wb") as f:
            f.write(b"PK\x03\x04 truncated")
        p = subprocess.run([os.path.join(BUILD, "bench", "bench_inflate_floor"), bad], stdout=subprocess.PIPE)
        self.assertNotEqual(p.returncode, 0)
        self.assertIn(b"failures 1", p.stdout)
        shutil.rmtree(bad)

    def test_cli_finds_the_planted_rows(self):
        cli = os.path.join(BUILD, "cli", "quorvane-search")
        if not os.access(cli, os.X_OK):
            self.skipTest("quorvane-search is not built")
        p = subprocess.run([cli, "--folder", self.tree, "--text", "Zebra蓝鲸", "--json"], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, check=True)
        rows = [json.loads(line) for line in p.stdout.decode().splitlines()[1:]]
        self.assertEqual(len(rows), planted(self.out))
        self.assertTrue(all("zebra蓝鲸" in "".join(r["cells"][3:]).lower() for r in rows))


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    BUILD, SCRATCH = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    os.makedirs(SCRATCH, exist_ok=True)
    unittest.main(argv=sys.argv[:1] + sys.argv[3:])
