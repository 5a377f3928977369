#!/usr/bin/env bash
# The benchmark command: builds the i686 product (for its size) and an x86_64
# tree with the programs of bench/, runs them on a private display with its
# own Wine prefix and the sample ad server, prints one table and rewrites
# docs/benchmarks.md (figures, machine, date, commit). That file is only ever
# written by this command. Takes about 5 minutes.
#   tools/bench.sh
# BAR_BUILD and BAR_TEST_PORT as for tools/test.sh. BENCH_QUICK=1 runs every
# benchmark briefly to try the command, and leaves docs/benchmarks.md alone.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh

build=${BAR_BUILD:-build}
port=${BAR_TEST_PORT:-8642}
tree=$build/win64-bench

# The product as shipped; the test command may have configured it already.
[ -f "$build/win32/CMakeCache.txt" ] ||
  cmake --preset win32 -B "$build/win32" -DBAR_AD_SERVER="http://127.0.0.1:$port" >/dev/null
cmake --build "$build/win32" -j "$(nproc)" --target VantorelAdBar
cmake --preset win64 -B "$tree" -DBAR_AD_SERVER="http://127.0.0.1:$port" \
      -DBAR_BUILD_TESTS=OFF -DBAR_BUILD_BENCH=ON >/dev/null
cmake --build "$tree" -j "$(nproc)"

. tools/wine-env.sh "$tree" private-display

if [ "${BENCH_QUICK:-0}" = 1 ]; then
  python3 bench/run.py --tree "$tree" --product "$build/win32/VantorelAdBar.exe" --quick
else
  python3 bench/run.py --tree "$tree" --product "$build/win32/VantorelAdBar.exe" --out docs/benchmarks.md
fi
