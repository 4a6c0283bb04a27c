"""The cell cache's rows of the benchmark: for each tree, quorvane-search with
the cache off, cold (emptied before every run) and warm (filled by an earlier
run), timed side by side in the same rounds, the cache's size on disk, and
the targets: warm against cold, cold with the cache against without it,
peak memory of warm runs against cold ones. Used by run_bench.py."""
import os
import shutil
import subprocess

# A text that occurs in none of the benchmark's workbooks.
NONE_TEXT = "Quokka鲸"


def folder_bytes(path):
    total = 0
    for top, _, files in os.walk(path):
        for name in files:
            try:
                total += os.path.getsize(os.path.join(top, name))
            except OSError:
                pass
    return total


def run(cli, workloads, make_command, time_round_robin, text, notes):
    """workloads: (name, folder, runs, warm_ratio_target, none_ratio_target or
    None). Returns the lines of the section."""
    lines = ["| workload | quorvane-search | runs | median s | median CPU s | peak RSS MB | time / cold |",
             "|---|---|---|---|---|---|---|"]
    targets = []
    home_root = os.path.join(os.environ.get("TMPDIR", "/tmp"), "quorvane-bench-cache-%d" % os.getpid())
    for name, folder, runs, warm_target, none_target in workloads:
        home = os.path.join(home_root, os.path.basename(folder))
        cache_dir = os.path.join(home, "quorvane")
        env = dict(os.environ, XDG_CACHE_HOME=home, QUORVANE_CACHE="1")
        argv = [cli, "--folder", folder, "--text", text, "--json"]

        def empty():
            shutil.rmtree(cache_dir, ignore_errors=True)

        def fill():
            if not os.path.isdir(cache_dir):
                subprocess.run(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        off = make_command("cache off (--no-cache)", argv + ["--no-cache"], "off", env=env)
        cold = make_command("cache cold", argv, "cold", env=env, pre=empty)
        warm = make_command("cache warm", argv, "warm", env=env, pre=fill)
        cmds = [off, cold, warm]
        none = None
        if none_target:
            none = make_command("cache warm, text in none", [cli, "--folder", folder, "--text", NONE_TEXT, "--json"],
                                "warm-none", env=env, pre=fill, ok=(1,))  # nothing matched, as it should
            cmds.append(none)
        # Untimed: the same output three ways, and the page cache warmed for all.
        outputs = []
        for extra, pre in (([], empty), ([], fill), (["--no-cache"], None)):
            if pre:
                pre()
            p = subprocess.run(argv + extra, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            outputs.append(p.stdout)
        same = outputs[0] == outputs[1] == outputs[2] and len(outputs[0]) > 0
        fill()
        size = folder_bytes(cache_dir)
        time_round_robin(cmds, runs)
        for c in cmds:
            ratio = c.median / cold.median if cold.median else None
            lines.append("| %s | %s | %d | %.3f | %.2f | %.0f | %s |" % (
                name, c.label, len(c.seconds), c.median, c.median_cpu, c.peak_mb,
                "-" if ratio is None else "%.3f" % ratio))
            for e in sorted(set(c.errors)):
                notes.append("%s %s: %s" % (name, c.label, e))
        short = name.split(" ")[0]
        targets.append(("%s: the same rows with the cache off, cold and warm" % short, same))
        r = warm.median / cold.median
        targets.append(("%s: warm no more than 1/%d of cold (1/%.1f; in CPU 1/%.1f)" % (
            short, warm_target, 1 / r, cold.median_cpu / max(warm.median_cpu, 0.005)), r <= 1.0 / warm_target))
        if none:
            r = none.median / cold.median
            targets.append(("%s: warm, text in none, no more than 1/%d of cold (1/%.1f; in CPU 1/%.1f)" % (
                short, none_target, 1 / r, cold.median_cpu / max(none.median_cpu, 0.005)), r <= 1.0 / none_target))
        r = cold.median / off.median
        targets.append(("%s: cold with the cache no more than 1.10x without it (%.2fx; in CPU %.2fx)" % (
            short, r, cold.median_cpu / max(off.median_cpu, 0.005)), r <= 1.10))
        targets.append(("%s: peak memory warm no higher than cold (%.0f MB, %.0f MB)" % (
            short, warm.peak_mb, cold.peak_mb), warm.peak_mb <= cold.peak_mb))
        notes.append("%s: the cache on disk %.1f MB" % (short, size / 1e6))
    shutil.rmtree(home_root, ignore_errors=True)
    lines += ["", "Targets:", ""]
    lines += ["- %s: %s" % ("PASS" if ok else "FAIL", t) for t, ok in targets]
    return lines
