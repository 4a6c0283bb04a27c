#!/usr/bin/env bash
# Where quorvane-search spends its time on the benchmark's folder tree:
#   bash bench/profile.sh [tree|big|ui]
# Needs the data of a previous bench/run_bench.sh and a built CLI; records
# with perf (call graphs by frame pointer are unreliable in -O2 code, so
# DWARF unwinding) and prints the top of the flat and the caller report.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUORVANE_BUILD_DIR:-$here/build}"
part="${1:-tree}"
root="${BENCH_DATA_DIR:-${TMPDIR:-/tmp}/quorvane-bench}"
key="$(cat "$here/bench/gen_data.cpp" "$here/bench/gen_xls.py" | sha256sum | cut -c1-16)"
data="$root/$key/$part"
cli="$build/cli/quorvane-search"
[ -d "$data" ] || { echo "profile.sh: no data in $data; run bench/run_bench.sh first" >&2; exit 1; }
[ -x "$cli" ] || { echo "profile.sh: $cli is not built" >&2; exit 1; }
command -v perf >/dev/null || { echo "profile.sh: perf is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
perf record -q -F 999 --call-graph dwarf,16384 -o "$out/perf.data" -- \
  "$cli" --folder "$data" --text "Zebra蓝鲸" --json >/dev/null 2>"$out/stderr"
echo "== flat profile (self time) =="
perf report -i "$out/perf.data" --no-children --stdio --percent-limit 1.5 -g none 2>/dev/null | grep -v '^#' | sed '/^$/d' | head -40
echo "== by thread =="
perf report -i "$out/perf.data" --no-children --stdio --sort comm,tid -g none 2>/dev/null | grep -v '^#' | sed '/^$/d' | head -10
