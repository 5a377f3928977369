# Sourced by the run and test commands: prepares a Wine prefix in the build
# tree, a display, one persistent wineserver and the sample ad server, and
# stops exactly what it started when the sourcing shell exits.
#   usage: . tools/wine-env.sh <build-dir> [private-display]
# With "private-display" (the tests) or without $DISPLAY, a private Xvfb is
# started; the prefix then gets a 1024x768 Wine virtual desktop, since there
# is no window manager. On a person's own display the bar docks on their
# real screen, from a separate prefix without the virtual desktop.

_bar_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
_bar_build=$(cd "$1" && pwd)
_bar_pids=()

bar_env_cleanup() {
  [ -n "${WINEPREFIX:-}" ] && /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  for pid in "${_bar_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${_bar_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  _bar_pids=()
}
trap bar_env_cleanup EXIT
trap 'exit 130' INT TERM

export WINELOADER=/usr/lib/wine/wine64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export PATH="/usr/lib/wine:$PATH"

if [ "${2:-}" = private-display ] || [ -z "${DISPLAY:-}" ]; then
  # Lowest display number with neither a socket nor a lock: parallel runs do not collide.
  n=${BAR_DISPLAY_BASE:-91}
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  # -noreset: by default the server resets when its last client leaves (Wine's
  # desktop ends a second after the last Wine program), and turns away whatever
  # connects during the reset: a bar starting then would find no display.
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -noreset >/dev/null 2>&1 &
  _bar_pids+=($!)
  export DISPLAY=":$n"
  for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.05; done
  export WINEPREFIX="$_bar_build/wineprefix"
  export BAR_PRIVATE_DISPLAY=1
  _bar_vdesk=1
else
  export WINEPREFIX="$_bar_build/wineprefix-display"
  export BAR_PRIVATE_DISPLAY=0
  _bar_vdesk=0
fi

if [ ! -f "$WINEPREFIX/.bar-ready" ]; then
  echo "Preparing the Wine prefix $WINEPREFIX (once; about 10 s)"
  wine64 wineboot -i >/dev/null 2>&1
  if [ "$_bar_vdesk" = 1 ]; then
    wine64 reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    wine64 reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
  fi
  /usr/lib/wine/wineserver -w
  touch "$WINEPREFIX/.bar-ready"
fi
/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
/usr/lib/wine/wineserver -p
# Start the desktop now so the first test does not pay for it.
wine64 cmd /c exit >/dev/null 2>&1 || true

# The sample ad server on the port the build bakes into the program.
_bar_port=$(sed -n 's|^BAR_AD_SERVER:STRING=https\?://[^:/]*:\([0-9]*\).*|\1|p' "$_bar_build/CMakeCache.txt")
export BAR_ADSERVER_LOG="$_bar_build/adserver.log"
if [ -n "$_bar_port" ]; then
  if (exec 3<>"/dev/tcp/127.0.0.1/$_bar_port") 2>/dev/null; then
    echo "Port $_bar_port is already taken: stop whatever ad server runs there first." >&2
    exit 1
  fi
  : > "$BAR_ADSERVER_LOG"
  python3 "$_bar_root/tools/adserver.py" --port "$_bar_port" --dir "$_bar_root/res/ads" \
          --log "$BAR_ADSERVER_LOG" --control >/dev/null 2>&1 &
  _bar_pids+=($!)
  export BAR_ADSERVER_URL="http://127.0.0.1:$_bar_port"
  for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$_bar_port") 2>/dev/null && break; sleep 0.05; done
fi
