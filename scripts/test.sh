#!/usr/bin/env bash
# Installs what is missing, builds a Release build and runs every test
# through ctest; then builds the same suite with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-asan/ and runs it again there, leak
# checks on; last, the tests of the threaded code (read-ahead pool, inflating
# thread, pieces of a big sheet, cancelled loads, search control) built with
# ThreadSanitizer in build-tsan/. QUORVANE_SANITIZE_RUN=0 leaves both out.
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

  tsan_tests=(search_read_ahead_tests test_xl_ooxml_inflate test_xl_ooxml_pieces test_xl_cancel search_control_test)
  QUORVANE_BUILD_DIR="$here/build-tsan" QUORVANE_BUILD_TARGETS="${tsan_tests[*]}" "$here/scripts/build.sh" \
    -DQUORVANE_TSAN=ON -DQUORVANE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
  for t in "${tsan_tests[@]}"; do
    # The newest of that name: a build folder reused from before a test moved
    # still holds the old binary at its old place.
    bin="$(find "$here/build-tsan/tests" -type f -name "$t" -perm -u+x -printf '%T@ %p\n' | sort -rn | head -n 1 | cut -d' ' -f2-)"
    echo "ThreadSanitizer: $t"
    (cd "$here/build-tsan" &&
      QT_QPA_PLATFORM=offscreen QUORVANE_CACHE=0 XDG_CACHE_HOME="$here/build-tsan/cache" \
      TSAN_OPTIONS="halt_on_error=1:suppressions=$here/tests/sanitizers/tsan.supp:${TSAN_OPTIONS:-}" \
      "$bin" >"$here/build-tsan/$t.log" 2>&1) || { cat "$here/build-tsan/$t.log"; echo "ThreadSanitizer run of $t failed"; exit 1; }
  done
fi
