#!/usr/bin/env bash
# Prepares a private 32-bit Wine that runs the i686 build here, although the
# kernel cannot run i386 code: Debian's 32-bit Wine loader goes through qemu's
# user-mode emulator (qemu-i386). Everything comes from the Debian mirror the
# system's own apt sources name, fetched with a private apt configuration and
# unpacked with dpkg -x into <cache-dir>/root; nothing is installed and dpkg's
# architectures are left as they are.
#   tools/wine32-setup.sh <cache-dir>
# Result: <cache-dir>/wine32-run, used like wine64:
#   WINEPREFIX=... <cache-dir>/wine32-run prog.exe args
# A second run with the same installed wine64 costs nothing.
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 <cache-dir>" >&2; exit 2; }
mkdir -p "$1"
cache=$(cd "$1" && pwd)
root=$cache/root
apt_dir=$cache/apt
debs=$cache/debs

die() { echo "wine32-setup: $*" >&2; exit 1; }

_stage_t0=$EPOCHREALTIME
stage_done() {
  local now=$EPOCHREALTIME
  awk -v s="$1" -v a="$_stage_t0" -v b="$now" 'BEGIN { printf "wine32-setup: %-10s %6.1f s\n", s, b - a }'
  _stage_t0=$now
}

wine64_ver=$(dpkg-query -W -f='${Version}' wine64 2>/dev/null) ||
  die "wine64 is not installed (tools/deps.sh installs it)"
[ -x /usr/lib/wine/wine64 ] || die "/usr/lib/wine/wine64 is missing"

# Two test runs may start at once; the second waits and then finds the stamp.
exec 9>"$cache/.lock"
flock 9

# The layout number changes when this script changes what it builds; the
# wrappers hold absolute paths, hence the folder.
stamp="wine64=$wine64_ver layout=2 at=$cache"
if [ -f "$cache/ready" ] && [ "$(cat "$cache/ready")" = "$stamp" ] && [ -x "$cache/wine32-run" ]; then
  stage_done cached
  exit 0
fi
rm -f "$cache/ready"

# --- The system's Debian mirrors -------------------------------------------
. /etc/os-release
codename=${VERSION_CODENAME:?no VERSION_CODENAME in /etc/os-release}

# One "uri suite keyring" line per enabled binary source, from both formats:
# one-line entries (sources.list, *.list) and deb822 paragraphs (*.sources).
system_sources() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk '{ sub(/#.*/, "") }
         $1 != "deb" { next }
         { line = $0; opts = ""; key = "-"
           if (match(line, /\[[^]]*\]/)) {
             opts = substr(line, RSTART + 1, RLENGTH - 2)
             line = substr(line, 1, RSTART - 1) " " substr(line, RSTART + RLENGTH)
           }
           n = split(opts, o, /[ \t]+/)
           for (i = 1; i <= n; i++) if (o[i] ~ /^signed-by=/) key = substr(o[i], 11)
           split(line, a, /[ \t]+/)
           k = 0; for (i = 1; i in a; i++) if (a[i] != "") w[++k] = a[i]
           if (k >= 3) print w[2], w[3], key }' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'function flush(   n, m, i, j, u, s) {
           if (types ~ /(^|[ \t])deb([ \t]|$)/ && enabled != "no") {
             n = split(uris, u, /[ \t]+/); m = split(suites, s, /[ \t]+/)
             for (i = 1; i <= n; i++) for (j = 1; j <= m; j++)
               if (u[i] != "" && s[j] != "") print u[i], s[j], (key == "" ? "-" : key)
           }
           types = uris = suites = key = enabled = ""
         }
         /^[ \t]*#/ { next }
         /^[ \t]*$/ { flush(); next }
         /^[ \t]/ { next }
         { c = index($0, ":"); if (!c) next
           field = tolower(substr($0, 1, c - 1)); val = substr($0, c + 1)
           gsub(/^[ \t]+|[ \t]+$/, "", val)
           if (field == "types") types = val
           else if (field == "uris") uris = val
           else if (field == "suites") suites = val
           else if (field == "signed-by") key = val
           else if (field == "enabled") enabled = tolower(val) }
         END { flush() }' "$f"
  done
}

sources=$(system_sources | sed 's|/ | |')
source_for() { awk -v s="$1" '$2 == s { print $1, $3; exit }' <<<"$sources"; }
read -r mirror mirror_key <<<"$(source_for "$codename")"
[ -n "$mirror" ] ||
  die "the system's apt sources name no Debian mirror for '$codename' (looked in /etc/apt/sources.list and /etc/apt/sources.list.d/)"
read -r updates updates_key <<<"$(source_for "$codename-updates")"
[ -n "$updates" ] || { updates=$mirror; updates_key=$mirror_key; }
read -r security security_key <<<"$(source_for "$codename-security")"

signed() { [ "$1" != - ] && [ -f "$1" ] && echo " signed-by=$1"; }
mkdir -p "$apt_dir"/{lists/partial,cache/archives/partial,sources.list.d,preferences.d}
: > "$apt_dir/status"
{
  echo "deb [arch=amd64,i386$(signed "$mirror_key")] $mirror $codename main"
  echo "deb [arch=amd64,i386$(signed "$updates_key")] $updates $codename-updates main"
  [ -z "$security" ] || echo "deb [arch=amd64,i386$(signed "$security_key")] $security $codename-security main"
  echo "deb [arch=amd64$(signed "$mirror_key")] $mirror $codename-backports main"
} > "$apt_dir/sources.list"
# Read after the system's configuration (apt-get -c), so these win; the
# system's other settings (proxies, validity checks) still apply.
cat > "$apt_dir/apt.conf" <<EOF
Dir::State "$apt_dir";
Dir::State::Lists "$apt_dir/lists";
Dir::State::status "$apt_dir/status";
Dir::Cache "$apt_dir/cache";
Dir::Cache::archives "$apt_dir/cache/archives";
Dir::Cache::pkgcache "pkgcache.bin";
Dir::Cache::srcpkgcache "srcpkgcache.bin";
Dir::Etc::SourceList "$apt_dir/sources.list";
Dir::Etc::SourceParts "$apt_dir/sources.list.d";
Dir::Etc::Preferences "$apt_dir/preferences";
Dir::Etc::PreferencesParts "$apt_dir/preferences.d";
APT::Architecture "amd64";
#clear APT::Architectures;
APT::Architectures { "amd64"; "i386"; };
APT::Sandbox::User "root";
Acquire::Languages "none";
EOF
papt() { apt-get -c "$apt_dir/apt.conf" "$@"; }
stage_done sources

papt -q update >"$apt_dir/update.log" 2>&1 || { cat "$apt_dir/update.log" >&2; die "apt-get update on the private sources failed"; }
stage_done index

# --- The package closure ---------------------------------------------------
avail=$(apt-cache -c "$apt_dir/apt.conf" madison wine32:i386 | awk '{ print $3 }' | sort -u | paste -sd " ")
case " $avail " in
  *" $wine64_ver "*) ;;
  *) die "the 32-bit and 64-bit Wine must be the same version: wine64 $wine64_ver is installed, but the Debian archive offers wine32 ${avail:-(none)}. Update wine64 (apt-get install wine64) to match." ;;
esac
# winex11 loads the X extension libraries at run time, so no package depends on them.
wanted=(wine32:i386="$wine64_ver" libxcomposite1:i386 libxcursor1:i386 libxfixes3:i386 libxi6:i386
        libxinerama1:i386 libxrandr2:i386 libxrender1:i386 libxxf86vm1:i386 libgnutls30:i386
        libdbus-1-3:i386)
papt -s -q install --no-install-recommends "${wanted[@]}" >"$apt_dir/resolve.log" 2>&1 ||
  { cat "$apt_dir/resolve.log" >&2; die "apt could not resolve the 32-bit Wine packages"; }
mapfile -t closure < <(sed -n 's/^Inst \([^ ]*\) \(\[[^]]*\] \)\?(\([^ ]*\) .*/\1=\3/p' "$apt_dir/resolve.log")
[ ${#closure[@]} -gt 0 ] || die "apt resolved no packages (see $apt_dir/resolve.log)"
stage_done resolve

rm -rf "$debs"
mkdir -p "$debs"
(cd "$debs" && papt -q download "${closure[@]}" qemu-user/"$codename-backports") >"$apt_dir/download.log" 2>&1 ||
  { tail -20 "$apt_dir/download.log" >&2; die "downloading the packages failed"; }
w32deb=$(ls "$debs"/wine32_*_i386.deb)
w32ver=$(dpkg-deb -f "$w32deb" Version)
[ "$w32ver" = "$wine64_ver" ] ||
  die "the 32-bit and 64-bit Wine must be the same version: downloaded wine32 $w32ver, installed wine64 $wine64_ver"
printf 'wine32-setup: %d packages, %s\n' "$(ls "$debs" | wc -l)" "$(du -sh "$debs" | cut -f1)"
stage_done download

rm -rf "$root"
mkdir -p "$root/usr/bin"
find "$debs" -name '*.deb' ! -name 'qemu-user_*' -print0 | xargs -0 -r -n 8 -P "$(nproc)" sh -c 'for d; do dpkg -x "$d" "$0"; done' "$root"
qtmp=$(mktemp -d "$cache/qemu.XXXXXX")
dpkg -x "$debs"/qemu-user_*.deb "$qtmp"
mv "$qtmp/usr/bin/qemu-i386" "$root/usr/bin/qemu-i386"
rm -rf "$qtmp"
stage_done unpack

# --- The five mends --------------------------------------------------------
wdir=$root/usr/lib/wine
w32dlls=$root/usr/lib/i386-linux-gnu/wine
# A 32-bit process starting another must go through qemu too: the loader
# name Wine executes is a wrapper. -0 gives the loader its wrapper's name,
# so it finds its libraries relative to that, as an installed one would.
mv "$wdir/wine" "$wdir/wine.elf"
cat > "$wdir/wine" <<EOF
#!/bin/sh
exec "$root/usr/bin/qemu-i386" -L "$root" -0 "$wdir/wine" "$wdir/wine.elf" "\$@"
EOF
chmod 755 "$wdir/wine"
# The system's wine64 looks for the 32-bit loader beside itself, so it runs
# from here, with the rest of the installed 64-bit Wine linked in.
cp /usr/lib/wine/wine64 "$wdir/wine64"
ln -sfn /usr/lib/wine/wineserver "$wdir/wineserver"
mkdir -p "$root/usr/lib/x86_64-linux-gnu" "$root/usr/share"
rm -rf "$root/usr/lib/x86_64-linux-gnu/wine" "$root/usr/share/wine"
ln -s /usr/lib/x86_64-linux-gnu/wine "$root/usr/lib/x86_64-linux-gnu/wine"
ln -s /usr/share/wine "$root/usr/share/wine"
# user32 loads zlib1.dll as a builtin; libwine's install script marks the
# MinGW build as one (the marker sits at byte 64 of the DOS stub).
for arch in i386 x86_64; do
  src=$root/usr/$arch-w64-mingw32/lib/zlib1.dll
  [ "$arch" = i386 ] && src=$root/usr/i686-w64-mingw32/lib/zlib1.dll
  [ -f "$src" ] || die "zlib1.dll for $arch is missing from the unpacked packages"
  mkdir -p "$w32dlls/$arch-windows"
  dst=$w32dlls/$arch-windows/zlib1.dll
  cp "$src" "$dst"
  printf 'Wine builtin DLL\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0' | dd of="$dst" bs=1 seek=64 conv=notrunc status=none
done

# The 32-bit dynamic loader reads /etc/ld.so.cache through qemu's -L root; without
# one of its own it gets the host's, and libraries Wine opens at run time
# (FreeType among them) miss their dependencies in /lib/i386-linux-gnu.
echo 'include /etc/ld.so.conf.d/*.conf' > "$root/etc/ld.so.conf"
ldconfig -X -r "$root"

# WINELOADERNOEXEC: the kernel refuses Wine's re-exec of its own loader.
# WINEDLLPATH: the 32-bit builtins, for the prefix's syswow64 and 32-bit programs.
cat > "$cache/wine32-run" <<EOF
#!/bin/sh
# Runs a Windows program (32- or 64-bit) under the private 32-bit-capable Wine
# made by tools/wine32-setup.sh. The prefix must have been made by this same
# wrapper (wine32-run wineboot -i), so that its syswow64 is filled.
: "\${WINEPREFIX:=$cache/wineprefix}"
: "\${WINEDEBUG:=-all}"
: "\${WINEDLLOVERRIDES:=mscoree,mshtml=;winedbg.exe=d}"
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
export WINELOADER="$wdir/wine64" WINELOADERNOEXEC=1 WINEDLLPATH="$w32dlls"
exec "$wdir/wine64" "\$@"
EOF
chmod 755 "$cache/wine32-run"

got=$("$wdir/wine" --version 2>&1) || die "the 32-bit loader does not start under qemu-i386: $got"
rm -rf "$debs" "$apt_dir/cache/archives"/*.deb
echo "$stamp" > "$cache/ready"
stage_done mend
echo "wine32-setup: $got (32-bit, under $("$root/usr/bin/qemu-i386" --version | head -1)) ready: $cache/wine32-run"
