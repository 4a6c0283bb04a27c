#!/usr/bin/env bash
# Installs what is missing, builds a Release build and starts the program.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
"$here/scripts/install-deps.sh"
"$here/scripts/build.sh"
exec "${QUORVANE_BUILD_DIR:-$here/build}/app/quorvane" "$@"
