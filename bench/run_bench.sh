#!/usr/bin/env bash
# The performance benchmark in one command:
#   bash bench/run_bench.sh [--runs-a N] [--runs-b N] [--runs-ui N] [--skip-big] [--no-write]
# Installs what is missing, builds Release, makes the benchmark data once
# (kept under $BENCH_DATA_DIR, default /tmp/quorvane-bench, keyed by a hash of
# the generator so a changed generator makes fresh data), then times the
# programs side by side and prints the table (also written to bench/RESULTS.md
# and the README). BENCH_NO_BUILD=1 uses an existing build as it is.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUORVANE_BUILD_DIR:-$here/build}"

if [ "${BENCH_NO_BUILD:-0}" != 1 ]; then
  bash "$here/scripts/install-deps.sh"
  QUORVANE_BUILD_DIR="$build" bash "$here/scripts/build.sh"
fi

gen="$build/bench/bench_gen_data"
[ -x "$gen" ] || { echo "run_bench.sh: $gen is not built" >&2; exit 1; }

key="$(cat "$here/bench/gen_data.cpp" "$here/bench/gen_xls.py" | sha256sum | cut -c1-16)"
root="${BENCH_DATA_DIR:-${TMPDIR:-/tmp}/quorvane-bench}"
data="$root/$key"
if [ ! -f "$data/.complete" ]; then
  echo "Generating the benchmark data into $data (once; about a minute)..." >&2
  mkdir -p "$root"
  # Data of older generator versions is of no further use.
  find "$root" -mindepth 1 -maxdepth 1 -type d ! -name "$key" -exec rm -rf {} +
  rm -rf "$data.partial"
  "$gen" "$data.partial"
  /usr/bin/python3 "$here/bench/gen_xls.py" "$data.partial/tree" 100
  touch "$data.partial/.complete"
  mv "$data.partial" "$data"
fi

# The tree of 20,000 small workbooks for the cell cache's rows, kept apart
# (its own folder and key) so the other data is not remade for it.
many_key="$(sha256sum < "$here/bench/gen_many.cpp" | cut -c1-16)"
many="${root}-many/$many_key"
if [ ! -f "$many/.complete" ] && [ -x "$build/bench/bench_gen_many" ]; then
  echo "Generating 20,000 small workbooks into $many (once; a few minutes)..." >&2
  mkdir -p "${root}-many"
  find "${root}-many" -mindepth 1 -maxdepth 1 -type d ! -name "$many_key" -exec rm -rf {} +
  rm -rf "$many.partial"
  "$build/bench/bench_gen_many" "$many.partial"
  touch "$many.partial/.complete"
  mv "$many.partial" "$many"
fi

exec /usr/bin/python3 "$here/bench/run_bench.py" --build "$build" --data "$data" --many "$many" "$@"
