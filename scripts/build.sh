#!/usr/bin/env bash
# Configures and builds a Release build in build/ (or $QUORVANE_BUILD_DIR).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUORVANE_BUILD_DIR:-$here/build}"
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release "$@"
else
  cmake -S "$here" -B "$build" "$@" >/dev/null
fi
# QUORVANE_BUILD_TARGETS (space-separated) builds only those targets.
targets=()
[ -n "${QUORVANE_BUILD_TARGETS:-}" ] && read -r -a targets <<<"$QUORVANE_BUILD_TARGETS" && targets=(--target "${targets[@]}")
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
