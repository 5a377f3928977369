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
# Signing (Authenticode, SHA-256, with Debian's osslsigncode): the bar's exe and
# both controllers in the tree, in place, before they are packed, then the
# package. The key is either a PKCS#12 file, BAR_SIGN_PFX, or on a hardware
# token: BAR_SIGN_PKCS11_MODULE (its PKCS#11 module), BAR_SIGN_CERT (PEM, the
# signer's certificate first, then its chain), BAR_SIGN_KEY (the key's
# pkcs11: URI). BAR_SIGN_PASS_FILE names a file holding the password or PIN, so
# that it never shows on a command line. BAR_SIGN_TIMESTAMP names an RFC 3161
# time-stamp server. Without a key, the files are packed unsigned.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh

build=${BAR_BUILD:-build}
tree=$build/win32
[ -f "$tree/CMakeCache.txt" ] || cmake --preset win32 -B "$tree" >/dev/null

version=${BAR_MSI_VERSION:-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$tree/CMakeCache.txt")}
if ! [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
  echo "package: version '$version' is not major.minor.patch" >&2
  exit 2
fi
msi=$build/VantorelAdBar-$version.msi
# A failed build leaves no package, neither an older one nor an unsigned one,
# where a deployment would pick it up.
rm -f "$msi"
trap '[ $? -eq 0 ] || rm -f "$msi"' EXIT

die() { echo "package: $*" >&2; exit 2; }
sign=()
if [ -n "${BAR_SIGN_PFX:-}${BAR_SIGN_PKCS11_MODULE:-}" ]; then
  pass=${BAR_SIGN_PASS_FILE:-}
  [ -f "$pass" ] && [ -r "$pass" ] || die "BAR_SIGN_PASS_FILE must name a readable file holding the password (or the token's PIN)"
  if [ -n "${BAR_SIGN_PFX:-}" ]; then
    # Older exports (RC2-encrypted, as Windows long wrote them) need OpenSSL's
    # legacy provider; osslsigncode loads it itself.
    cert=$(openssl pkcs12 -in "$BAR_SIGN_PFX" -passin "file:$pass" -nokeys -clcerts 2>/dev/null ||
           openssl pkcs12 -legacy -in "$BAR_SIGN_PFX" -passin "file:$pass" -nokeys -clcerts 2>/dev/null) ||
      die "cannot open $BAR_SIGN_PFX with the password in $pass: a wrong password, or not a PKCS#12 file"
    sign=(-pkcs12 "$BAR_SIGN_PFX")
  else
    cert=$(cat "${BAR_SIGN_CERT:-}" 2>/dev/null) && [ -n "${BAR_SIGN_KEY:-}" ] ||
      die "a token needs BAR_SIGN_CERT (the certificate, PEM) and BAR_SIGN_KEY (the key's pkcs11: URI)"
    sign=(-pkcs11module "$BAR_SIGN_PKCS11_MODULE" -certs "$BAR_SIGN_CERT" -key "$BAR_SIGN_KEY")
  fi
  # osslsigncode signs with an expired or a non-code-signing certificate
  # without complaint, and Windows would show such files as untrusted.
  x509() { openssl x509 -noout "$@" <<<"$cert" 2>/dev/null; }
  subject=$(x509 -subject -nameopt RFC2253) || die "no certificate for the key in ${BAR_SIGN_PFX:-$BAR_SIGN_CERT}"
  subject=${subject#subject=}
  from=$(x509 -startdate) to=$(x509 -enddate)
  from=${from#*=} to=${to#*=}
  [ "$(date -d "$from" +%s)" -le "$(date +%s)" ] || die "the certificate of $subject is not valid before $from"
  [ "$(date -d "$to" +%s)" -gt "$(date +%s)" ] || die "the certificate of $subject expired on $to"
  [[ ,$(x509 -ext extendedKeyUsage | tail -n +2 | tr -d ' '), == *,CodeSigning,* ]] ||
    die "the certificate of $subject is not for code signing (no codeSigning extended key usage)"
  sign+=(-readpass "$pass" -h sha256 -n "Vantorel Ad Bar")
  stamped="not time-stamped"
  [ -z "${BAR_SIGN_TIMESTAMP:-}" ] || { sign+=(-ts "$BAR_SIGN_TIMESTAMP"); stamped=time-stamped; }
fi

# Signs a file in place; an earlier signature is replaced, not nested. Without
# a key, a signature left from an earlier build is taken off instead, so that
# an unsigned package carries no stale one. A relink writes the file afresh.
sign_file() {
  local f=$1 out
  rm -f "$f.sig"
  if [ ${#sign[@]} -eq 0 ]; then
    osslsigncode remove-signature -in "$f" -out "$f.sig" >/dev/null 2>&1 || { rm -f "$f.sig"; return; }
  elif ! out=$(osslsigncode sign "${sign[@]}" -in "$f" -out "$f.sig" 2>&1); then
    rm -f "$f.sig"
    echo "$out" >&2
    echo "package: osslsigncode could not sign $f" >&2
    exit 1
  fi
  chmod --reference="$f" "$f.sig"
  mv "$f.sig" "$f"
}

cmake --build "$tree" --target VantorelAdBar barctl barctlw -j "$(nproc)" >/dev/null
for exe in VantorelAdBar barctl barctlw; do sign_file "$tree/$exe.exe"; done

# wixl takes file sources relative to the working directory only: it fails on
# absolute ones. It also drops what it cannot express with a mere warning and
# still writes the package, so any complaint fails the build.
log=$(wixl -a x86 -D Version="$version" -D ProductDir="$(realpath --relative-to=. "$tree")" -D SourceDir=. \
           -o "$msi" deploy/VantorelAdBar.wxs 2>&1) || { echo "$log" >&2; exit 1; }
if [ -n "$log" ]; then
  echo "$log" >&2
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
  exit 1
fi
# Packages for several servers (plain HTTP for old desktops, HTTPS for the rest) differ only inside.
for_server="for $(sed -n 's/^BAR_AD_SERVER:STRING=//p' "$tree/CMakeCache.txt")"
if [ ${#sign[@]} -eq 0 ]; then
  echo "$msi ($(stat -c %s "$msi") bytes, $for_server, unsigned: no BAR_SIGN_PFX or BAR_SIGN_PKCS11_MODULE given)"
else
  sign_file "$msi"
  echo "$msi ($(stat -c %s "$msi") bytes, $for_server, signed by $subject, $stamped)"
fi
