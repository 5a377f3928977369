#!/usr/bin/env bash
# Builds the machine-wide installer, $BAR_BUILD/VantorelAdBar-<version>.msi,
# from the i686 product in $BAR_BUILD/win32 (BAR_BUILD defaults to build, as
# for tools/test.sh), with Debian's wixl and deploy/VantorelAdBar.wxs, then
# mends what wixl cannot write with msitools' msibuild.
# The version is the project's (CMakeLists.txt), read from the configured tree,
# so the package and the exe's version block agree.
# An existing tree keeps its configuration (its ad server, for one); a missing
# one is configured with the win32 preset.
# BAR_MSI_VERSION=x.y.z stamps another version on the package only, leaving the
# files as they are: the upgrade tests use it to make an "older" package.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh

build=${BAR_BUILD:-build}
tree=$build/win32
[ -f "$tree/CMakeCache.txt" ] || cmake --preset win32 -B "$tree" >/dev/null
cmake --build "$tree" --target VantorelAdBar barctl barctlw -j "$(nproc)" >/dev/null

version=${BAR_MSI_VERSION:-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$tree/CMakeCache.txt")}
if ! [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
  echo "package: version '$version' is not major.minor.patch" >&2
  exit 2
fi

msi=$build/VantorelAdBar-$version.msi
# wixl takes file sources relative to the working directory only: it fails on
# absolute ones. It also drops what it cannot express with a mere warning and
# still writes the package, so any complaint fails the build.
log=$(wixl -a x86 -D Version="$version" -D ProductDir="$(realpath --relative-to=. "$tree")" -D SourceDir=. \
           -o "$msi" deploy/VantorelAdBar.wxs 2>&1) || { echo "$log" >&2; exit 1; }
if [ -n "$log" ]; then
  echo "$log" >&2
  rm -f "$msi"
  exit 1
fi

# What wixl 0.101 cannot write, put in with msitools' SQL.
code=$(msiinfo export "$msi" Upgrade | tr -d '\r' | awk -F '\t' '$7 == "WIX_UPGRADE_DETECTED" { print $1 }')
secure=$(msiinfo export "$msi" Property | tr -d '\r' | awk -F '\t' '$1 == "SecureCustomProperties" { print $2 }')
sql=(
  # The upgrade row takes the installed version itself (VersionMax inclusive,
  # 0x200, beside wixl's 1, migrate features), so that a package of the same
  # version, rebuilt for another ad server, replaces the installed one instead
  # of installing beside it. MajorUpgrade has no AllowSameVersionUpgrades, and
  # UpgradeVersion's IncludeMaximum sets the minimum's bit (0x100). Attributes
  # is part of the row's key, which SQL cannot update: the row is put back
  # whole. With RemoveExistingProducts right after InstallValidate (the .wxs)
  # the old product goes before the new files are laid; Windows Installer's
  # file-versioning rules would otherwise keep an installed exe of the same
  # version.
  "DELETE FROM Upgrade WHERE ActionProperty = 'WIX_UPGRADE_DETECTED'"
  "INSERT INTO Upgrade (UpgradeCode, VersionMax, Attributes, ActionProperty)
   VALUES ('$code', '$version', 513, 'WIX_UPGRADE_DETECTED')"
  # The action ending running bars runs the package's own barctlw from the
  # Binary table: type 2, plus 0x40 to go on whatever it exits with.
  "INSERT INTO CustomAction (Action, Type, Source, Target)
   VALUES ('EndRunningBars', 66, 'barctlw.exe', 'quit --force')"
  # A secure property, so that a folder given on the command line reaches the
  # elevated part of an install that a user started without elevation.
  "UPDATE Property SET Value = '$secure;INSTALLDIR' WHERE Property = 'SecureCustomProperties'"
)
args=()
for q in "${sql[@]}"; do args+=(-q "$q"); done
if [ -z "$code" ] || [ -z "$secure" ] || ! msibuild "$msi" "${args[@]}" >/dev/null 2>&1; then
  echo "package: msibuild could not edit $msi" >&2
  rm -f "$msi"
  exit 1
fi
# Packages for several servers (plain HTTP for old desktops, HTTPS for the rest) differ only inside.
echo "$msi ($(stat -c %s "$msi") bytes), for $(sed -n 's/^BAR_AD_SERVER:STRING=//p' "$tree/CMakeCache.txt")"
