#!/usr/bin/env bash
# Installs the Debian packages the bar needs to build, run and test here.
# Only 64-bit packages: the kernel cannot run 32-bit code, so the i386
# architecture is never added. wixl and msitools build the installer (tools/package.sh);
# nginx serves the ads in deploy/nginx.conf (on a machine with a service
# manager, installing it also starts Debian's own site on port 80).
set -euo pipefail

pkgs=(cmake python3 googletest
      g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
      wine64 xvfb xauth xdotool imagemagick
      wixl msitools nginx)

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
