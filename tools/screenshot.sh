#!/usr/bin/env bash
# Makes the README's picture: the top of a 1024x768 screen with the bar docked
# and showing the first sample ad from the sample ad server, on a private display.
#   tools/screenshot.sh [output, default docs/screenshot.png]
# BAR_BUILD (default build) picks the build tree, as for tools/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh

build=${BAR_BUILD:-build}
out=${1:-docs/screenshot.png}
rows=120

cmake --preset win64 -B "$build/win64" >/dev/null
cmake --build "$build/win64" -j "$(nproc)" --target VantorelAdBar barctl

. tools/wine-env.sh "$build/win64" private-display

since=$(wc -l < "$BAR_ADSERVER_LOG")
wine64 "$build/win64/VantorelAdBar.exe" &
bar=$!
# The first paint asks for ad 1; give it a moment to reach the screen.
for _ in $(seq 300); do
  tail -n "+$((since + 1))" "$BAR_ADSERVER_LOG" | grep -q ' GET /ads/vtl_1.ad 200 ' && break
  sleep 0.1
done
sleep 1

mkdir -p "$(dirname "$out")"
# -strip: no timestamps, so an unchanged picture makes an unchanged file.
import -window root png:- | convert - -crop "1024x$rows+0+0" +repage -strip "$out"
wine64 "$build/win64/barctl.exe" quit || true
wait "$bar" || true
echo "wrote $out"
