#!/usr/bin/env bash
# Installs what is missing, builds a Release build and runs every test
# through ctest.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
"$here/scripts/install-deps.sh"
jobs="$(nproc)"

QUORVANE_BUILD_DIR="$here/build" "$here/scripts/build.sh"
(cd "$here/build" && ctest --output-on-failure -j"$jobs")
