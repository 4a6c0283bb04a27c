#!/usr/bin/env bash
# Where quorvane-search spends its time on the benchmark's folder tree:
#   bash bench/profile.sh [tree|big|ui]
# Needs the data of a previous bench/run_bench.sh and a built CLI; samples
# with perf and prints the time by library (zlib against our own code) and
# the top functions by self time.
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
perf record -q -F 999 -o "$out/perf.data" -- \
  "$cli" --folder "$data" --text "Zebra蓝鲸" --json >/dev/null 2>"$out/stderr"
report() { perf report -i "$out/perf.data" --no-children --stdio "$@" 2>/dev/null | grep -v '^#' | sed '/^$/d'; }
echo "== by library =="
report --sort dso | head -12
echo "== by function (self time) =="
report --percent-limit 1 | head -40
