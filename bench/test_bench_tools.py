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


def write_slow_xlsx(path, rows):
    ns = "http://schemas.openxmlformats.org/"
    sheet = ["<?xml version=\"1.0\" encoding=\"UTF-8\"?><worksheet xmlns=\"%sspreadsheetml/2006/main\"><sheetData>" % ns]
    for r in range(1, rows + 1):
        sheet.append("<row r=\"%d\">%s</row>" % (r, "".join(
            "<c r=\"%s%d\" t=\"inlineStr\"><is><t>行%d</t></is></c>" % (c, r, r) for c in "ABCDEFGHIJ")))
    sheet.append("</sheetData></worksheet>")
    rel = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Relationships xmlns=\"%spackage/2006/relationships\">" % ns
    parts = {
        "[Content_Types].xml": "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Types xmlns=\"%spackage/2006/content-types\">"
        "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
        "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
        "<Override PartName=\"/xl/workbook.xml\" ContentType=\"application/vnd.openxmlformats-officedocument."
        "spreadsheetml.sheet.main+xml\"/></Types>" % ns,
        "_rels/.rels": rel + "<Relationship Id=\"rId1\" Type=\"%sofficeDocument/2006/relationships/officeDocument\" "
        "Target=\"xl/workbook.xml\"/></Relationships>" % ns,
        "xl/workbook.xml": "<?xml version=\"1.0\" encoding=\"UTF-8\"?><workbook xmlns=\"%sspreadsheetml/2006/main\" "
        "xmlns:r=\"%sofficeDocument/2006/relationships\"><sheets><sheet name=\"S\" sheetId=\"1\" r:id=\"rId1\"/>"
        "</sheets></workbook>" % (ns, ns),
        "xl/_rels/workbook.xml.rels": rel + "<Relationship Id=\"rId1\" Type=\"%sofficeDocument/2006/relationships/"
        "worksheet\" Target=\"worksheets/sheet1.xml\"/></Relationships>" % ns,
        "xl/worksheets/sheet1.xml": "".join(sheet),
    }
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
        for name, text in parts.items():
            z.writestr(name, text.encode("utf-8"))


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
        for extra in ([], ["-j", "3"], ["--libdeflate"], ["--libdeflate", "-j", "2"]):
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

    def test_window_probe_reports_the_search(self):
        probe = os.path.join(BUILD, "bench", "bench_ui_probe")
        if not os.access(probe, os.X_OK):
            self.skipTest("bench_ui_probe is not built")
        # The cache off: a search from it can end before the timer ticks once.
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", QUORVANE_CACHE="0")
        p = subprocess.run([probe, "--folder", self.tree, "--text", "ZEBRA蓝鲸", "--timeout", "120"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, check=True)
        report = json.loads(p.stdout.decode().splitlines()[-1])
        self.assertEqual(report["rows"], planted(self.out))
        self.assertEqual(report["status"], "搜索完成！")
        self.assertGreater(report["seconds"], 0)
        # A search this small may end before the 10 ms timer first fires.
        if report["seconds"] >= 0.05:
            self.assertGreater(report["ticks"], 0)
        self.assertGreaterEqual(report["max_gap_ms"], 0)
        bad = subprocess.run([probe, "--folder", self.tree], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.assertEqual(bad.returncode, 2)

    def test_window_probe_stops_during_a_load(self):
        probe = os.path.join(BUILD, "bench", "bench_ui_probe")
        if not os.access(probe, os.X_OK):
            self.skipTest("bench_ui_probe is not built")
        # A book that takes the library a good part of a second to load,
        # written raw (fast) rather than with a spreadsheet writer.
        folder = os.path.join(SCRATCH, "bench-stop")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        write_slow_xlsx(os.path.join(folder, "slow.xlsx"), 300000)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", QUORVANE_CACHE="0")
        p = subprocess.run([probe, "--folder", folder, "--text", "zebra", "--stop-after", "0.1", "--timeout", "120"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, check=True)
        report = json.loads(p.stdout.decode().splitlines()[-1])
        self.assertEqual(report["status"], "搜索停止！")
        self.assertEqual(report["rows"], 0)  # the cancelled load leaves no failure row
        self.assertGreaterEqual(report["stop_gap_ms"], 0)
        self.assertLessEqual(report["stop_to_status_ms"], report["seconds"] * 1000)
        shutil.rmtree(folder)

    def test_cli_finds_the_planted_rows(self):
        cli = os.path.join(BUILD, "cli", "quorvane-search")
        if not os.access(cli, os.X_OK):
            self.skipTest("quorvane-search is not built")
        p = subprocess.run([cli, "--folder", self.tree, "--text", "Zebra蓝鲸", "--json"], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, check=True)
        rows = [json.loads(line) for line in p.stdout.decode().splitlines()[1:]]
        self.assertEqual(len(rows), planted(self.out))
        self.assertTrue(all("zebra蓝鲸" in "".join(r["cells"][3:]).lower() for r in rows))


def fake(label, program, seconds, rss_mb=10, cpu=None, output=None):
    import run_bench
    c = run_bench.Command(label, ["true"], program)
    c.seconds = list(seconds)
    c.rss_kb = [int(rss_mb * 1024)] * len(seconds)
    c.cpu = list(cpu or seconds)
    c.outputs = [output] * len(seconds) if output is not None else []
    return c


def verdicts(lines):
    """{"target text without its measured value": "PASS" | "FAIL" | "n/a"}"""
    out = {}
    for line in lines:
        for v in ("PASS", "FAIL", "n/a"):
            if line.startswith("- %s: " % v):
                out[line[len(v) + 4:].rsplit(" (", 1)[0]] = v
    return out


class HarnessLogic(unittest.TestCase):
    """The table's verdicts are what the lead reads: they must follow the
    medians, not single runs, and a wrong count must never pass."""

    def setUp(self):
        sys.path.insert(0, HERE)
        import run_bench
        self.rb = run_bench

    def tree(self, q, py, floor, cli_rows=300, py_rows="300", planted=300, failures=0):
        cmds = [fake("quorvane-search", "quorvane", q), fake("openpyxl/xlrd script", "python", py, output=py_rows),
                fake("inflate floor, 1 thread", "floor", floor)]
        return ("(a) folder tree", cmds, {"cli": cli_rows, "failures": failures, "planted": planted})

    def big(self, q, py, rss_mb):
        cmds = [fake("quorvane-search", "quorvane", q, rss_mb=rss_mb),
                fake("openpyxl/xlrd script", "python", py, output="7"), fake("inflate floor, 1 thread", "floor", [1])]
        return ("(b) 1,000,000 rows", cmds, {"cli": 7, "failures": 0, "planted": 7})

    def test_targets_follow_the_medians(self):
        # One slow outlier among five runs does not decide the verdict.
        lines = self.rb.render([self.tree([1.0, 1.1, 0.9, 9.0, 1.0], [25] * 5, [0.6] * 5),
                                self.big([2.0, 2.1, 1.9], [40, 40, 40], 550)], None, [], 1, 1, 1)
        v = verdicts(lines)
        self.assertEqual(v["(a): at least 20x faster than the openpyxl/xlrd script"], "PASS")
        self.assertEqual(v["(a): no more than 2x the inflate floor, 1 thread"], "PASS")
        self.assertEqual(v["(b): at least 15x faster than openpyxl"], "PASS")
        self.assertEqual(v["(b): peak RSS below 600 MB"], "PASS")
        self.assertEqual(v["(c): window search of 200,000 match rows: UI thread gaps and time vs CLI"], "n/a")
        self.assertIn("| (a) folder tree | quorvane-search | 5 | 1.000 |", "\n".join(lines))

    def test_misses_fail(self):
        lines = self.rb.render([self.tree([1.0], [19], [0.4]), self.big([3.0], [40], 700)], None, [], 1, 1, 1)
        v = verdicts(lines)
        self.assertEqual(v["(a): at least 20x faster than the openpyxl/xlrd script"], "FAIL")
        self.assertEqual(v["(a): no more than 2x the inflate floor, 1 thread"], "FAIL")
        self.assertEqual(v["(b): at least 15x faster than openpyxl"], "FAIL")
        self.assertEqual(v["(b): peak RSS below 600 MB"], "FAIL")

    def test_libdeflate_floor_verdict(self):
        key = "(a) folder tree: no more than 3.5x the libdeflate floor, 1 thread, in wall time"
        for floor, want in [(0.3, "PASS"), (0.2, "FAIL")]:
            name, cmds, counts = self.tree([1.0], [30], [0.5])
            cmds.append(fake("libdeflate floor, 1 thread", "ldfloor", [floor]))
            v = verdicts(self.rb.render([(name, cmds, counts)], None, [], 1, 1, 1))
            self.assertEqual(v[key], want, floor)

    def test_counts_must_agree_three_ways(self):
        key = "(a) folder tree: match rows of quorvane = the script's = planted"
        for cli_rows, py_rows, planted, failures, want in [(300, "300", 300, 0, "PASS"), (299, "300", 300, 0, "FAIL"),
                                                           (300, "300", 301, 0, "FAIL"), (300, "300", 300, 2, "FAIL")]:
            lines = self.rb.render([self.tree([1], [30], [1], cli_rows, py_rows, planted, failures)], None, [], 1, 1, 1)
            self.assertEqual(verdicts(lines)[key], want, (cli_rows, py_rows, planted, failures))

    def test_window_targets(self):
        cli = fake("quorvane-search", "quorvane", [2.0, 2.0, 2.0])
        probe = fake("window search (offscreen)", "probe", [3.0, 3.0, 3.0])
        ui = {"cli": cli, "probe": probe, "search_s": 2.5, "max_gap_ms": 80, "rows": 200000, "cli_rows": 200000,
              "planted": 200000}
        v = verdicts(self.rb.render([], ui, [], 1, 1, 1))
        self.assertEqual(v["(c): UI thread never blocked more than 100 ms"], "PASS")
        self.assertEqual(v["(c): window search no more than 1.3x the CLI"], "PASS")
        self.assertEqual(v["(c): match rows of the window = the CLI's = planted"], "PASS")
        stop = {"runs": 3, "stop_gap_ms": 40, "stop_to_status_ms": 30, "stopped": True}
        key = "(b) window, stop 0.5 s into the load: longest UI-thread gap from the press to the search's return < 100 ms"
        self.assertEqual(verdicts(self.rb.render([], ui, [], 1, 1, 1, stop))[key], "PASS")
        for bad in ({"stop_gap_ms": 100}, {"stopped": False}):
            self.assertEqual(verdicts(self.rb.render([], ui, [], 1, 1, 1, dict(stop, **bad)))[key], "FAIL", bad)
        ui.update(search_s=2.7, max_gap_ms=101, rows=199999)
        v = verdicts(self.rb.render([], ui, [], 1, 1, 1))
        self.assertEqual(v["(c): UI thread never blocked more than 100 ms"], "FAIL")
        self.assertEqual(v["(c): window search no more than 1.3x the CLI"], "FAIL")
        self.assertEqual(v["(c): match rows of the window = the CLI's = planted"], "FAIL")

    def test_cli_rows_counted_from_json_lines(self):
        fake_cli = os.path.join(SCRATCH, "fake-cli.sh")
        with open(fake_cli, "w") as f:
            f.write("#!/bin/sh\n"
                    "echo '{\"cells\":[\"文件位置\",\"表名称\",\"单元格\"],\"colours\":[null,null,null]}'\n"
                    "echo '{\"cells\":[\"/a.xlsx\",\"1 S\",\"A2\"],\"colours\":[null,null,null]}'\n"
                    "echo '{\"cells\":[\"/b.xls\",\"打开失败\",\"bad\"],\"colours\":[16744640,16744640,16744640]}'\n"
                    "echo '{\"cells\":[\"/c.xlsx\",\"2 T\",\"B9\"],\"colours\":[null,null,null]}'\n")
        os.chmod(fake_cli, 0o755)
        self.assertEqual(self.rb.count_cli_rows(fake_cli, "x", "y"), (2, 1, None))
        with open(fake_cli, "w") as f:
            f.write("#!/bin/sh\necho usage >&2\nexit 2\n")
        m, _, err = self.rb.count_cli_rows(fake_cli, "x", "y")
        self.assertIsNone(m)
        self.assertIn("exit 2", err)

    def test_failed_run_is_recorded_with_its_memory(self):
        c = self.rb.Command("x", ["/bin/sh", "-c", "echo oops >&2; exit 3"], "python")
        c.run(keep_stdout=True)
        self.assertEqual(len(c.seconds), 1)
        self.assertTrue(c.errors and "exit 3" in c.errors[0] and "oops" in c.errors[0], c.errors)
        self.assertGreater(c.rss_kb[0], 0)

    def test_readme_updated_only_between_the_markers(self):
        root = os.path.join(SCRATCH, "readme")
        os.makedirs(root, exist_ok=True)
        path = os.path.join(root, "README.md")
        old_root = self.rb.ROOT
        self.rb.ROOT = root
        try:
            with open(path, "w") as f:
                f.write("# T\nbefore\n<!-- bench:begin -->\nold table\n<!-- bench:end -->\nafter\n")
            self.rb.update_readme("new table\n")
            with open(path) as f:
                self.assertEqual(f.read(), "# T\nbefore\n<!-- bench:begin -->\nnew table\n<!-- bench:end -->\nafter\n")
            with open(path, "w") as f:
                f.write("# no markers\n")
            self.rb.update_readme("new table\n")
            with open(path) as f:
                self.assertEqual(f.read(), "# no markers\n")
        finally:
            self.rb.ROOT = old_root


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    BUILD, SCRATCH = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    os.makedirs(SCRATCH, exist_ok=True)
    unittest.main(argv=sys.argv[:1] + sys.argv[3:])
