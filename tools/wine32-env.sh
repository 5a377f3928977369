# Sourced by the test command, in a subshell, after tools/wine-env.sh: the
# i686 tree gets its own 32-bit-capable Wine prefix and persistent wineserver,
# and shares the display and the ad server already running. The wineserver is
# stopped when the sourcing shell exits.
#   usage: . tools/wine32-env.sh <i686-build-dir> <wine32-run>
# <wine32-run> is the wrapper tools/wine32-setup.sh made.

_w32_run=$2
# Everything runs under qemu here: the end-to-end tests stretch their time bounds.
export BAR_TIME_FACTOR=3
export WINEPREFIX="$(cd "$1" && pwd)/wineprefix"
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT
trap 'exit 130' INT TERM

# The installer's test installs into a prefix of its own beside the trees.
for _w32_prefix in "$WINEPREFIX" "$(dirname "$1")/wineprefix-deploy"; do
  [ -f "$_w32_prefix/.bar-ready" ] && continue
  echo "Preparing the 32-bit Wine prefix $_w32_prefix (once; about 25 s)"
  rm -rf "$_w32_prefix"
  # Made by the private Wine, so that syswow64 holds the 32-bit system DLLs.
  # No window manager on the private display (see tools/wine-env.sh).
  (export WINEPREFIX="$_w32_prefix"
   "$_w32_run" wineboot -i >/dev/null 2>&1
   "$_w32_run" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
   "$_w32_run" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
   /usr/lib/wine/wineserver -w)
  touch "$_w32_prefix/.bar-ready"
done
/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
/usr/lib/wine/wineserver -p
"$_w32_run" cmd /c exit >/dev/null 2>&1 || true
