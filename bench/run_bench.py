#!/usr/bin/python3
"""Times Quorvane's command-line search against the openpyxl/xlrd script a
user would write and against the inflate floor, side by side on the same
generated data, and prints one table (also written to bench/RESULTS.md and
into the README's Benchmark section). Started by bench/run_bench.sh, which
builds the programs and makes the data.

Runs alternate between the commands of a workload (the order rotates every
round) so that a noisy machine hurts them alike; medians are reported and
ratios are taken between medians of the same run of this script.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TEXT = "Zebra蓝鲸"
README_BEGIN = "<!-- bench:begin -->"
README_END = "<!-- bench:end -->"
START_LOAD = os.getloadavg()[0]


def find_program(build, names):
    for name in names:
        path = os.path.join(build, name)
        if os.access(path, os.X_OK) and os.path.isfile(path):
            return path
    return None


class Command:
    def __init__(self, label, argv, program, env=None, pre=None, ok=(0,)):
        self.label = label          # what the table calls it
        self.ok = ok                # exit statuses of a run that worked (quorvane-search: 1 when nothing matched)
        self.argv = argv
        self.program = program      # "quorvane", "python", "floor", ...
        self.env = env              # the environment, when not this script's
        self.pre = pre              # called, untimed, before every run
        self.seconds = []
        self.rss_kb = []
        self.cpu = []               # user + system seconds: steadier than wall time on a busy machine
        self.outputs = []
        self.errors = []

    def run(self, keep_stdout):
        if self.pre:
            self.pre()
        with tempfile.NamedTemporaryFile("r", suffix=".time") as tf:
            argv = ["/usr/bin/time", "-f", "%M %U %S", "-o", tf.name] + self.argv
            start = time.perf_counter()
            p = subprocess.run(argv, stdout=subprocess.PIPE if keep_stdout else subprocess.DEVNULL,
                               stderr=subprocess.PIPE, env=self.env)
            elapsed = time.perf_counter() - start
            rss = tf.read().strip().splitlines()
        if p.returncode not in self.ok:
            tail = p.stderr.decode("utf-8", "replace").strip().splitlines()[-3:]
            self.errors.append("exit %d: %s" % (p.returncode, " | ".join(tail)))
        self.seconds.append(elapsed)
        # GNU time prints "Command exited with non-zero status N" first.
        fields = rss[-1].split() if rss else []
        try:
            self.rss_kb.append(int(fields[0]))
            self.cpu.append(float(fields[1]) + float(fields[2]))
        except (IndexError, ValueError):
            self.rss_kb.append(0)
            self.cpu.append(0.0)
        if keep_stdout:
            self.outputs.append(p.stdout.decode("utf-8", "replace").strip())

    @property
    def median(self):
        return statistics.median(self.seconds) if self.seconds else None

    @property
    def median_cpu(self):
        return statistics.median(self.cpu) if self.cpu else None

    @property
    def peak_mb(self):
        return max(self.rss_kb) / 1024 if self.rss_kb else None


def count_cli_rows(cli, folder, text):
    """Runs the CLI once, untimed, and counts its match and failure rows.
    Without --titles the grid holds the header row, match rows (no colour)
    and failure rows (coloured)."""
    p = subprocess.run([cli, "--folder", folder, "--text", text, "--json"],
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if p.returncode not in (0, 1):  # 1: nothing matched
        return None, None, "exit %d: %s" % (p.returncode, p.stderr.decode("utf-8", "replace").strip()[-300:])
    lines = p.stdout.decode("utf-8").splitlines()
    matches = failures = 0
    for line in lines[1:]:
        row = json.loads(line)
        if any(c is not None for c in row.get("colours", [])):
            failures += 1
        else:
            matches += 1
    return matches, failures, None


def time_round_robin(commands, runs):
    for i in range(runs):
        k = i % len(commands)
        for c in commands[k:] + commands[:k]:
            c.run(keep_stdout=c.program == "python")
            print("  %-34s run %d/%d  %7.2f s  %7.1f MB" % (c.label, i + 1, runs, c.seconds[-1],
                                                           c.rss_kb[-1] / 1024), file=sys.stderr)


def sheet_xml_bytes(folder):
    total = books = xls = 0
    for top, _, files in os.walk(folder):
        for name in files:
            low = name.lower()
            if low.endswith(".xls"):
                xls += 1
            elif low.endswith(".xlsx"):
                books += 1
                with zipfile.ZipFile(os.path.join(top, name)) as z:
                    total += sum(i.file_size for i in z.infolist()
                                 if i.filename.startswith("xl/worksheets/") and i.filename.endswith(".xml"))
    return books, xls, total


def planted_rows(data, part):
    """What the generators planted: every search of the part must find it."""
    total = 0
    names = [part + ".expected"] + ([part + "-xls.expected"] if part == "tree" else [])
    for name in names:
        try:
            with open(os.path.join(data, name)) as f:
                total += int(f.read())
        except (OSError, ValueError):
            return None
    return total


def fmt(v, pattern):
    return "-" if v is None else format(v, pattern)


def machine_line():
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    rev = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL).stdout.decode().strip()
    return "%d cores (nproc), %s; commit %s; %s; load average %.1f at the start, %.1f at the end" % (
        os.cpu_count() or 0, model or "unknown CPU", rev or "?", time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        START_LOAD, os.getloadavg()[0])


def verdict(ok):
    return "n/a" if ok is None else ("PASS" if ok else "FAIL")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--data", required=True)
    ap.add_argument("--runs-a", type=int, default=5)
    ap.add_argument("--runs-b", type=int, default=3)
    ap.add_argument("--runs-ui", type=int, default=3)
    ap.add_argument("--skip-big", action="store_true", help="leave out workload (b)")
    ap.add_argument("--no-write", action="store_true", help="print only; leave RESULTS.md and README alone")
    ap.add_argument("--many", help="the tree of 20,000 small workbooks (made by bench_gen_many)")
    ap.add_argument("--runs-many", type=int, default=3)
    ap.add_argument("--cache-only", action="store_true",
                    help="only the cell cache's rows (written to bench/RESULTS-cache.md)")
    ap.add_argument("--compare", metavar="BUILD",
                    help="also time the CLI of another build (say, of the last release) in the same rounds")
    args = ap.parse_args()
    # Every row but the cell cache's own runs with the cache off, and nothing
    # this script runs touches the user's cache.
    os.environ["QUORVANE_CACHE"] = "0"
    os.environ["XDG_CACHE_HOME"] = tempfile.mkdtemp(prefix="quorvane-bench-home-")

    build, data = os.path.abspath(args.build), os.path.abspath(args.data)
    tree, big, ui = os.path.join(data, "tree"), os.path.join(data, "big"), os.path.join(data, "ui")
    cli = find_program(build, ["cli/quorvane-search", "quorvane-search", "bin/quorvane-search"])
    floor = find_program(build, ["bench/bench_inflate_floor"])
    probe = find_program(build, ["bench/bench_ui_probe"])
    baseline = os.path.join(HERE, "baseline_openpyxl.py")
    other = find_program(os.path.abspath(args.compare), ["cli/quorvane-search"]) if args.compare else None
    if args.compare and not other:
        sys.exit("run_bench.py: no quorvane-search in %s" % args.compare)
    jobs = str(os.cpu_count() or 1)
    notes = []
    if not floor:
        sys.exit("run_bench.py: bench_inflate_floor is not built in %s" % build)
    if not cli:
        notes.append("quorvane-search is not built: its rows are missing and its targets are n/a.")

    books, xls, xml = sheet_xml_bytes(tree)
    print("data (a): %d .xlsx + %d .xls, %.1f MB of sheet XML in the .xlsx; (b): %s" % (
        books, xls, xml / 1e6, os.path.join(big, "big.xlsx")), file=sys.stderr)

    def workload(name, folder, runs, with_parallel_floor):
        planted = planted_rows(data, os.path.basename(folder))
        cmds = []
        if cli:
            cmds.append(Command("quorvane-search", [cli, "--folder", folder, "--text", TEXT, "--json"], "quorvane"))
        if other:
            cmds.append(Command("quorvane-search, other build", [other, "--folder", folder, "--text", TEXT, "--json"],
                                "other"))
        cmds.append(Command("openpyxl/xlrd script", ["/usr/bin/python3", baseline, folder, TEXT], "python"))
        cmds.append(Command("inflate floor, 1 thread", [floor, folder], "floor"))
        if with_parallel_floor:
            cmds.append(Command("inflate floor, %s threads" % jobs, [floor, "-j", jobs, folder], "floor-j"))
        # libdeflate inflates each member whole: the lowest floor we know.
        cmds.append(Command("libdeflate floor, 1 thread", [floor, "--libdeflate", folder], "ldfloor"))
        cmds.append(Command("libdeflate floor, %s threads" % jobs, [floor, "--libdeflate", "-j", jobs, folder],
                            "ldfloor-j"))
        counts = {"cli": None, "failures": None, "planted": planted}
        if cli:
            # Untimed: counts the rows and warms the page cache for everyone.
            m, f, err = count_cli_rows(cli, folder, TEXT)
            counts.update(cli=m, failures=f)
            if err:
                notes.append("%s: quorvane-search failed: %s" % (name, err))
        print("workload %s: %d rounds" % (name, runs), file=sys.stderr)
        time_round_robin(cmds, runs)
        return cmds, counts

    if cli:
        import cache_bench
        cache_workloads = [("(a) folder tree", tree, args.runs_a, 8, None)]
        if not args.skip_big:
            cache_workloads.append(("(b) 1,000,000 rows", big, args.runs_b, 3, None))
        if args.many and os.path.isdir(os.path.join(args.many, "many")):
            cache_workloads.append(("(d) 20,000 small workbooks", os.path.join(args.many, "many"), args.runs_many, 10,
                                    30))
        else:
            notes.append("(d): the tree of 20,000 workbooks is missing (bench_gen_many): its rows are left out.")
        cache_notes = []
        cache_lines = ["Machine: " + machine_line(), "",
                       "Search text \"%s\" (and \"%s\", in none of them). Cold: the cache emptied before every run; "
                       "warm: filled by an earlier run." % (TEXT, cache_bench.NONE_TEXT), ""]
        cache_lines += cache_bench.run(cli, cache_workloads, Command, time_round_robin, TEXT, cache_notes)
        if cache_notes:
            cache_lines += ["", "Notes:", ""] + ["- " + n for n in cache_notes]
        cache_out = "\n".join(cache_lines) + "\n"
        print(cache_out)
        if not args.no_write:
            with open(os.path.join(HERE, "RESULTS-cache.md"), "w", encoding="utf-8") as f:
                f.write("# Benchmark results: the cell cache\n\nLatest output of `bash bench/run_bench.sh`.\n\n"
                        + cache_out)
    if args.cache_only:
        return 0

    results = [("(a) folder tree",) + workload("(a)", tree, args.runs_a, True)]
    if not args.skip_big:
        results.append(("(b) 1,000,000 rows",) + workload("(b)", big, args.runs_b, False))

    ui_result = None
    if cli and probe and os.path.isdir(ui):
        ui_result = run_ui_probe(cli, probe, ui, args.runs_ui, notes)
        if ui_result:
            ui_result["planted"] = planted_rows(data, "ui")
    elif not probe:
        notes.append("bench_ui_probe is not built: the window targets are n/a.")
    stop_result = None
    if probe and not args.skip_big:
        stop_result = run_stop_probe(probe, big, args.runs_ui, notes)

    lines = render(results, ui_result, notes, books, xls, xml, stop_result)
    out = "\n".join(lines) + "\n"
    print(out)
    if not args.no_write:
        with open(os.path.join(HERE, "RESULTS.md"), "w", encoding="utf-8") as f:
            f.write("# Benchmark results\n\nLatest output of `bash bench/run_bench.sh`.\n\n" + out)
        update_readme(out)
    return 0


def run_ui_probe(cli, probe, folder, runs, notes):
    """The window's search under a 10 ms timer against the CLI on the same
    folder. The probe prints one JSON line: seconds, max_gap_ms, rows."""
    cli_cmd = Command("quorvane-search", [cli, "--folder", folder, "--text", TEXT, "--json"], "quorvane")
    probe_cmd = Command("window search (offscreen)", [probe, "--folder", folder, "--text", TEXT], "probe")
    cli_rows, _, err = count_cli_rows(cli, folder, TEXT)  # untimed; warms the page cache
    if err:
        notes.append("(c): quorvane-search failed: %s" % err)
    # The probe reports its own search time (from the click to the end text),
    # without the window's start-up.
    print("workload (c): %d rounds" % runs, file=sys.stderr)
    # The same timer in a window without a search shows what the machine's
    # other load alone does to the UI thread meanwhile.
    idle_cmd = Command("idle window", [probe, "--idle", "3"], "idle")
    for i in range(runs):
        order = [cli_cmd, probe_cmd, idle_cmd]
        for c in order[i % 3:] + order[:i % 3]:
            c.run(keep_stdout=c is not cli_cmd)
    idle_gaps = []
    for out in idle_cmd.outputs:
        try:
            idle_gaps.append(json.loads(out.splitlines()[-1])["max_gap_ms"])
        except (ValueError, IndexError, KeyError):
            pass
    reports = []
    for out in probe_cmd.outputs:
        try:
            reports.append(json.loads(out.splitlines()[-1]))
        except (ValueError, IndexError):
            notes.append("bench_ui_probe printed no report: %r" % out[-200:])
    if probe_cmd.errors:
        notes.append("bench_ui_probe: " + probe_cmd.errors[0])
    if not reports:
        return None
    return {
        "cli": cli_cmd,
        "probe": probe_cmd,
        "search_s": statistics.median(r["seconds"] for r in reports),
        "max_gap_ms": max(r["max_gap_ms"] for r in reports),
        "rows": reports[-1].get("rows"),
        "cli_rows": cli_rows,
        "idle_gap_ms": max(idle_gaps) if idle_gaps else None,
    }


STOP_AFTER_S = 0.5


def run_stop_probe(probe, folder, runs, notes):
    """The window's stop button pressed half a second into the search of the
    1,000,000-row workbook, while it loads: the longest UI-thread gap from
    the press until the search has returned, and the press to the end text."""
    cmd = Command("window stop mid-load", [probe, "--folder", folder, "--text", TEXT, "--stop-after",
                                           str(STOP_AFTER_S)], "stop")
    print("window stop mid-load: %d runs" % runs, file=sys.stderr)
    reports = []
    for _ in range(runs):
        cmd.run(keep_stdout=True)
    for out in cmd.outputs:
        try:
            r = json.loads(out.splitlines()[-1])
        except (ValueError, IndexError):
            notes.append("bench_ui_probe --stop-after printed no report: %r" % out[-200:])
            continue
        if "stop_gap_ms" not in r:
            notes.append("window stop mid-load: the search ended before the stop (%.2f s)" % r.get("seconds", 0))
            continue
        reports.append(r)
    for e in sorted(set(cmd.errors)):
        notes.append("window stop mid-load: " + e)
    if not reports:
        return None
    return {
        "runs": len(reports),
        "stop_gap_ms": max(r["stop_gap_ms"] for r in reports),
        "stop_to_status_ms": statistics.median(r["stop_to_status_ms"] for r in reports),
        "stopped": all(r["status"] == "搜索停止！" for r in reports),
    }


def render(results, ui, notes, books, xls, xml, stop=None):
    lines = ["Machine: " + machine_line(), "",
             "Data: (a) %d .xlsx + %d .xls workbooks, %.1f MB of sheet XML in the .xlsx; "
             "(b) one .xlsx of 1,000,000 rows x 10 columns. Search text \"%s\"." % (books, xls, xml / 1e6, TEXT),
             "",
             "| workload | program | runs | median s | median CPU s | peak RSS MB | time / quorvane | match rows |",
             "|---|---|---|---|---|---|---|---|"]
    targets = []
    for name, cmds, counts in results:
        q = next((c for c in cmds if c.program == "quorvane"), None)
        py = next(c for c in cmds if c.program == "python")
        fl = next(c for c in cmds if c.program == "floor")
        py_count = py.outputs[-1] if py.outputs else None
        for c in cmds:
            ratio = c.median / q.median if q and q.median else None
            rows = ""
            if c.program == "quorvane":
                rows = fmt(counts["cli"], "d")
                if counts["failures"]:
                    rows += " (+%d failure rows)" % counts["failures"]
            elif c.program == "python":
                rows = py_count or "-"
            lines.append("| %s | %s | %d | %s | %s | %s | %s | %s |" % (
                name, c.label, len(c.seconds), fmt(c.median, ".3f"), fmt(c.median_cpu, ".2f"), fmt(c.peak_mb, ".0f"),
                fmt(ratio, ".2f"), rows))
            for e in sorted(set(c.errors)):
                notes.append("%s %s: %s" % (name, c.label, e))
        same = None
        if q and counts["cli"] is not None and py_count is not None:
            same = str(counts["cli"]) == py_count == str(counts["planted"]) and not counts["failures"]
        targets.append(("%s: match rows of quorvane = the script's = planted (%s, %s, %s)" % (
            name, fmt(counts["cli"], "d"), py_count or "-", fmt(counts["planted"], "d")), same))
        speedup = py.median / q.median if q and q.median else None
        floors = [c for c in cmds if c.program in ("floor", "floor-j", "ldfloor", "ldfloor-j")]
        if q and q.median and q.median_cpu:
            notes.append("%s: quorvane / floors in wall time: %s; in CPU time: %s" % (
                name, ", ".join("%s %.2fx" % (f.label, q.median / f.median) for f in floors if f.median),
                ", ".join("%s %.2fx" % (f.label, q.median_cpu / f.median_cpu) for f in floors if f.median_cpu)))
        ld = next((c for c in cmds if c.program == "ldfloor"), None)
        if q and ld and q.median and ld.median:
            targets.append(("%s: no more than 3.5x the libdeflate floor, 1 thread, in wall time (%.2fx)" % (
                name, q.median / ld.median), q.median / ld.median <= 3.5))
        ot = next((c for c in cmds if c.program == "other"), None)
        if q and ot and q.median and ot.median and q.median_cpu and ot.median_cpu:
            notes.append("%s: this build / the other build: wall %.2fx, CPU %.2fx, peak RSS %.0f / %.0f MB" % (
                name, q.median / ot.median, q.median_cpu / ot.median_cpu, q.peak_mb, ot.peak_mb))
        if name.startswith("(a)"):
            targets.append(("(a): at least 20x faster than the openpyxl/xlrd script (%sx)" % fmt(speedup, ".1f"),
                            None if speedup is None else speedup >= 20))
            vs_floor = q.median / fl.median if q and q.median else None
            targets.append(("(a): no more than 2x the inflate floor, 1 thread (%sx)" % fmt(vs_floor, ".2f"),
                            None if vs_floor is None else vs_floor <= 2))
            flj = next((c for c in cmds if c.program == "floor-j"), None)
            if q and flj and q.median:
                notes.append("(a): quorvane / inflate floor on all cores: %.2fx (for information)" % (
                    q.median / flj.median))
            if q and q.median_cpu and fl.median_cpu:
                notes.append("(a) in CPU seconds (less disturbed by other load): script / quorvane %.1fx, "
                             "quorvane / floor %.2fx" % (py.median_cpu / q.median_cpu, q.median_cpu / fl.median_cpu))
        else:
            targets.append(("(b): at least 15x faster than openpyxl (%sx)" % fmt(speedup, ".1f"),
                            None if speedup is None else speedup >= 15))
            if q and q.median_cpu:
                notes.append("(b) in CPU seconds: script / quorvane %.1fx, quorvane / floor %.2fx" % (
                    py.median_cpu / q.median_cpu, q.median_cpu / fl.median_cpu))
            targets.append(("(b): peak RSS below 600 MB (%s MB)" % fmt(q.peak_mb if q else None, ".0f"),
                            None if not q else q.peak_mb < 600))
    if ui:
        c = ui["cli"]
        lines.append("| (c) 40 books, every row a hit | quorvane-search | %d | %.3f | %.2f | %.0f | 1.00 | %s |" % (
            len(c.seconds), c.median, c.median_cpu, c.peak_mb, fmt(ui["cli_rows"], "d")))
        lines.append("| (c) 40 books, every row a hit | window search (offscreen) | %d | %.3f | %.2f | %.0f | %.2f | %s |" % (
            len(ui["probe"].seconds), ui["search_s"], ui["probe"].median_cpu, ui["probe"].peak_mb,
            ui["search_s"] / c.median, fmt(ui["rows"], "d")))
        targets.append(("(c): match rows of the window = the CLI's = planted (%s, %s, %s)" % (
            fmt(ui["rows"], "d"), fmt(ui["cli_rows"], "d"), fmt(ui["planted"], "d")),
            ui["rows"] == ui["cli_rows"] == ui["planted"]))
        targets.append(("(c): UI thread never blocked more than 100 ms (longest gap %.0f ms; an idle window "
                        "meanwhile: %s ms)" % (ui["max_gap_ms"], fmt(ui.get("idle_gap_ms"), ".0f")),
                        ui["max_gap_ms"] <= 100))
        targets.append(("(c): window search no more than 1.3x the CLI (%.2fx)" % (ui["search_s"] / c.median),
                        ui["search_s"] / c.median <= 1.3))
    else:
        targets.append(("(c): window search of 200,000 match rows: UI thread gaps and time vs CLI", None))
    if stop:
        targets.append(("(b) window, stop %.1f s into the load: longest UI-thread gap from the press to the search's "
                        "return < 100 ms (%.0f ms; press to \"搜索停止！\" %.0f ms, median of %d)" % (
                            STOP_AFTER_S, stop["stop_gap_ms"], stop["stop_to_status_ms"], stop["runs"]),
                        stop["stop_gap_ms"] < 100 and stop["stopped"]))
    else:
        targets.append(("(b) window, stop during the load: longest UI-thread gap after the press < 100 ms", None))
    lines += ["", "Targets:", ""]
    lines += ["- %s: %s" % (verdict(ok), text) for text, ok in targets]
    if notes:
        lines += ["", "Notes:", ""] + ["- " + n for n in notes]
    return lines


def update_readme(table):
    """Replaces the text between the bench markers of README.md, if present."""
    path = os.path.join(ROOT, "README.md")
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError:
        return
    b, e = text.find(README_BEGIN), text.find(README_END)
    if b < 0 or e < b:
        return
    new = text[:b + len(README_BEGIN)] + "\n" + table + text[e:]
    if new != text:
        with open(path, "w", encoding="utf-8") as f:
            f.write(new)


if __name__ == "__main__":
    sys.exit(main())
