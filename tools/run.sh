#!/usr/bin/env bash
# The run command: installs what is missing, builds the bar and runs it under
# wine64 with the bundled sample ads served from 127.0.0.1.
# On your X display the bar docks at the top of your screen until you
# right-click it and choose Exit (or press Ctrl-C here). Without a display it
# runs on a private screen for a short while and saves a screenshot.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh

jobs=$(nproc)
# The product is the 32-bit build; this kernel runs only its 64-bit twin.
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$jobs"
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$jobs" --target VantorelAdBar barctl

. tools/wine-env.sh build/win64
exe=build/win64/VantorelAdBar.exe
echo "Sample ad server: $BAR_ADSERVER_URL (requests logged in $BAR_ADSERVER_LOG)"

if [ "$BAR_PRIVATE_DISPLAY" = 1 ]; then
  shot=$PWD/build/run-screenshot.png
  seconds=${BAR_RUN_SECONDS:-14}
  echo "No X display: running the bar on a private 1024x768 screen ($DISPLAY) for $seconds s."
  wine64 "$exe" &
  bar=$!
  sleep "$seconds"
  import -window root "$shot"
  wine64 build/win64/barctl.exe quit || true
  wait "$bar" || true
  echo "Ads requested:"
  sed 's/^/  /' "$BAR_ADSERVER_LOG"
  echo "Screenshot of the screen with the docked bar: $shot"
else
  echo "The bar docks at the top of your screen. Right-click it and choose Exit to stop it."
  echo "Drive it from another terminal with: WINEPREFIX=$WINEPREFIX $PWD/tools/barctl.sh dock left"
  wine64 "$exe"
fi
