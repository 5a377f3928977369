#!/usr/bin/env bash
# Runs the controller against a bar started by tools/run.sh:
#   tools/barctl.sh dock top|bottom|left|right | autohide on|off | register | unregister | close | quit
here=$(cd "$(dirname "$0")/.." && pwd)
export WINELOADER=/usr/lib/wine/wine64 WINEDEBUG=${WINEDEBUG:--all}
: "${WINEPREFIX:=$here/build/win64/wineprefix-display}"
export WINEPREFIX
exec /usr/lib/wine/wine64 "$here/build/win64/barctl.exe" "$@"
