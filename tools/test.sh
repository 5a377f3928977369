#!/usr/bin/env bash
# The test command: installs what is missing, builds the i686 product and its
# x86_64 twin, and runs every test under wine64 on a private display.
#   tools/test.sh [ctest arguments, e.g. -R Dock]
# BAR_BUILD (default build) and BAR_TEST_PORT (default 8642) let several
# checkouts or developers test side by side on one machine.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh

build=${BAR_BUILD:-build}
port=${BAR_TEST_PORT:-8642}
jobs=$(nproc)
cmake --preset win32 -B "$build/win32" >/dev/null
cmake --build "$build/win32" -j "$jobs"
cmake --preset win64 -B "$build/win64" -DBAR_AD_SERVER="http://127.0.0.1:$port" \
      -DBAR_I686_EXE="$PWD/$build/win32/VantorelAdBar.exe" >/dev/null
cmake --build "$build/win64" -j "$jobs"

. tools/wine-env.sh "$build/win64" private-display

set +e
ctest --test-dir "$build/win64" --output-on-failure --timeout 300 "$@"
rc=$?
set -e
exit $rc
