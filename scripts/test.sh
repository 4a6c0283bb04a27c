#!/usr/bin/env bash
# Installs what is missing, builds a Release build and runs every test
# through ctest; then builds the same suite with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-asan/ and runs it again there, leak
# checks on. QUORVANE_SANITIZE_RUN=0 leaves the second run out.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
"$here/scripts/install-deps.sh"
jobs="$(nproc)"

QUORVANE_BUILD_DIR="$here/build" "$here/scripts/build.sh" -DQUORVANE_WERROR=ON
(cd "$here/build" && ctest --output-on-failure -j"$jobs")

if [ "${QUORVANE_SANITIZE_RUN:-1}" != 0 ]; then
  QUORVANE_BUILD_DIR="$here/build-asan" "$here/scripts/build.sh" -DQUORVANE_SANITIZE=ON -DQUORVANE_WERROR=ON
  (cd "$here/build-asan" &&
    ASAN_OPTIONS="detect_leaks=1:${ASAN_OPTIONS:-}" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}" \
    ctest --output-on-failure -j"$jobs")
fi
