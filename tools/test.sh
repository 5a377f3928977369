#!/usr/bin/env bash
# The test command: installs what is missing, builds the i686 product and its
# x86_64 twin with their test programs, and runs the suite on both: the
# x86_64 tree under wine64, then the i686 tree under the private 32-bit Wine
# (qemu-i386, prepared once by tools/wine32-setup.sh), on one private display.
#   tools/test.sh [ctest arguments, e.g. -R Dock]
# BAR_BUILD (default build) and BAR_TEST_PORT (default 8642) let several
# checkouts or developers test side by side on one machine (the tests' servers
# take that port and the next three). BAR_I686=0 runs the x86_64 tree only
# (quicker while iterating); BAR_WINE32_CACHE (default build/wine32) is where
# the 32-bit Wine is kept, shared by all build dirs.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh

build=$(realpath -m "${BAR_BUILD:-build}")
port=${BAR_TEST_PORT:-8642}
i686=${BAR_I686:-1}
jobs=$(nproc)

# The ad server's log reader, for this machine: the report's tests run it.
cmake --preset native -B "$build/native" >/dev/null
cmake --build "$build/native" -j "$jobs"
export ADSET_LOGREAD="$build/native/adset-logread"

now() { echo "$EPOCHREALTIME"; }
took() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.0f s", b - a }'; }

w32_opts=(-DBAR_AD_SERVER="http://127.0.0.1:$port")
if [ "$i686" = 1 ]; then
  t=$(now)
  cache=${BAR_WINE32_CACHE:-build/wine32}
  tools/wine32-setup.sh "$cache"
  w32run=$(cd "$cache" && pwd)/wine32-run
  echo "32-bit Wine ready in $(took "$t")"
  w32_opts+=(-DBAR_BUILD_TESTS=ON -DBAR_WINE32_RUN="$w32run"
             -DBAR_E2E_PEER="$build/win64/tests/barpeer.exe")
fi
t=$(now)
cmake --preset win32 -B "$build/win32" "${w32_opts[@]}" >/dev/null
cmake --build "$build/win32" -j "$jobs"
if [ "$i686" = 1 ]; then
  # The packages are signed as a real build's are, by a throwaway CA made
  # afresh each run (so that it never expires in a kept build dir). The
  # signing test verifies them against it and issues its bad certificates
  # from it, with `openssl ca`'s configuration here.
  pki=$build/pki
  quiet() { local out; out=$("$@" 2>&1) || { echo "$out" >&2; return 1; }; }
  rm -rf "$pki" && mkdir -p "$pki" && : >"$pki/index.txt"
  cat >"$pki/ca.cnf" <<EOF
[ca]
default_ca = throwaway
[throwaway]
database = $pki/index.txt
new_certs_dir = $pki
certificate = $pki/ca.pem
private_key = $pki/ca.key
rand_serial = yes
default_md = sha256
policy = anything
unique_subject = no
[anything]
organizationName = optional
commonName = supplied
[codesign]
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
[tls]
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
EOF
  quiet openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=Vantorel Throwaway CA" -days 30 \
                -keyout "$pki/ca.key" -out "$pki/ca.pem"
  quiet openssl req -newkey rsa:2048 -nodes -subj "/O=Vantorel/CN=Vantorel" \
                -keyout "$pki/signer.key" -out "$pki/signer.csr"
  quiet openssl ca -batch -config "$pki/ca.cnf" -extensions codesign -days 30 \
                -in "$pki/signer.csr" -out "$pki/signer.pem"
  echo "throwaway $RANDOM" >"$pki/pass"
  quiet openssl pkcs12 -export -inkey "$pki/signer.key" -in "$pki/signer.pem" -certfile "$pki/ca.pem" \
                -passout "file:$pki/pass" -out "$pki/signer.pfx"
  export BAR_SIGN_PFX=$pki/signer.pfx BAR_SIGN_PASS_FILE=$pki/pass
  # The installer under test, an older one for the upgrade, and one of the same
  # version for another ad server (never served), which must replace the first.
  BAR_BUILD="$build" tools/package.sh
  BAR_BUILD="$build" BAR_MSI_VERSION=0.9.0 tools/package.sh
  cmake --preset win32 -B "$build/other-server/win32" -DBAR_AD_SERVER="http://127.0.0.1:$((port + 2))" >/dev/null
  BAR_BUILD="$build/other-server" tools/package.sh
fi
echo "i686 build: $(took "$t")"
# The bar for an https server, for the TLS test: the exe alone. A name, not an
# address: the certificate's name check fails for an address under Wine.
cmake --preset win64 -B "$build/https/win64" -DBAR_BUILD_TESTS=OFF \
      -DBAR_AD_SERVER="https://localhost:$((port + 3))" >/dev/null
cmake --build "$build/https/win64" --target VantorelAdBar -j "$jobs"
cmake --preset win64 -B "$build/win64" -DBAR_AD_SERVER="http://127.0.0.1:$port" \
      -DBAR_I686_EXE="$build/win32/VantorelAdBar.exe" -DBAR_HTTPS_EXE="$build/https/win64/VantorelAdBar.exe" >/dev/null
cmake --build "$build/win64" -j "$jobs"

. tools/wine-env.sh "$build/win64" private-display

# "<passed> <failed>" from a ctest log's closing line.
counts() {
  sed -n 's/.*tests passed, \([0-9]*\) tests\? failed out of \([0-9]*\).*/\2 \1/p' "$1" |
    tail -1 | awk '{ print $1 - $2, $2 } END { if (!NR) print 0, 0 }'
}

set +e
t=$(now)
ctest --test-dir "$build/win64" --output-on-failure --timeout 300 "$@" 2>&1 | tee "$build/win64/ctest.log"
rc=${PIPESTATUS[0]}
read -r pass fail < <(counts "$build/win64/ctest.log")
summary="x86_64: $pass passed, $fail failed in $(took "$t")"
if [ "$i686" = 1 ]; then
  echo "=== The same suite on the i686 build, under 32-bit Wine ==="
  # Only one Wine desktop on the display, as in the x86_64 run.
  /usr/lib/wine/wineserver -k >/dev/null 2>&1
  t=$(now)
  (. tools/wine32-env.sh "$build/win32" "$w32run"
   ctest --test-dir "$build/win32" --output-on-failure --timeout 300 "$@") 2>&1 |
    tee "$build/win32/ctest.log"
  rc32=${PIPESTATUS[0]}
  read -r pass32 fail32 < <(counts "$build/win32/ctest.log")
  summary="$summary; i686: $pass32 passed, $fail32 failed in $(took "$t")"
  pass=$((pass + pass32)) fail=$((fail + fail32))
  [ "$rc" -ne 0 ] || rc=$rc32
fi
set -e
echo "$summary"
echo "$pass passed, $fail failed"
exit $rc
