#!/usr/bin/env bash
# Installs the Debian packages the bar needs to build, run and test here.
# Only 64-bit packages: the kernel cannot run 32-bit code, so the i386
# architecture is never added. wixl and msitools build the installer (tools/package.sh);
# nginx serves the ads in deploy/nginx.conf (on a machine with a service
# manager, installing it also starts Debian's own site on port 80).
# The ad server's side: g++ and zlib's headers build the log reader of
# `tools/adset report` for this machine, matplotlib draws its charts, GoAccess
# is the general log view the operator's page compares it with, mawk and time
# run beside it in its benchmark; osslsigncode and openssl sign the
# package; strace kills a publish at a chosen point in the tests.
set -euo pipefail

pkgs=(cmake python3 googletest
      g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
      wine64 xvfb xauth xdotool imagemagick
      wixl msitools nginx
      g++ zlib1g-dev python3-matplotlib goaccess mawk time osslsigncode openssl strace)

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
