#!/usr/bin/env bash
# Signed packages, with a throwaway test CA and certificates made here by
# openssl (never committed):
#   - a signed build: every PE file inside the MSI and the ZIP, the actions
#     DLL in the MSI's Binary table, and the MSI itself verify against the
#     test CA; SHA256SUMS checks; a file with one byte changed does not verify;
#   - a wrong password, an expired certificate and one without code-signing
#     usage stop the build with a message and leave no package;
#   - the signed MSI installs under Wine's msiexec and runs the service.
#
# Usage: signing_test.sh <windows build dir>
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "$1")
work=$build/signing-test
bin=$build/bin
fail() { echo "signing_test: FAILED: $*" >&2; exit 1; }

. "$root/scripts/wine-env.sh"
cleanup() {
  local code=$?
  [ ! -d "$work/wineprefix" ] || WINEPREFIX=$work/wineprefix wine_down
  [ "$code" != 0 ] || rm -rf "$work"
  exit "$code"
}
trap cleanup EXIT
rm -rf "$work"
mkdir -p "$work/pki"
cd "$work/pki"

# CA; a code-signing certificate; one without code-signing usage; an expired one.
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Quelvaron Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
echo "test password" >password
echo "wrong password" >wrong
# openssl ca signs with set dates (this openssl's x509 -req takes only -days).
printf '[ca]\ndefault_ca=d\n[d]\ndatabase=index.txt\nnew_certs_dir=.\nserial=serial\ndefault_md=sha256\npolicy=p\n[p]\ncommonName=supplied\n' >ca.cnf
: >index.txt
echo 01 >serial
leaf() { # <name> <extended key usage> <start> <end>
  openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=Quelvaron $1" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' "$2" >"$1.ext"
  openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in "$1.csr" -out "$1.pem" -notext \
    -startdate "$3" -enddate "$4" -extfile "$1.ext" 2>/dev/null
  openssl pkcs12 -export -in "$1.pem" -inkey "$1.key" -out "$1.pfx" -passout file:password
}
now=$(date -u +%Y%m%d%H%M%SZ)
tomorrow=$(date -u -d tomorrow +%Y%m%d%H%M%SZ)
leaf signer codeSigning "$now" "$tomorrow"
leaf server serverAuth "$now" "$tomorrow"
leaf expired codeSigning 20200101000000Z 20200102000000Z

build_signed() { # <out dir> <pfx> <password file>
  bash "$root/installer/build_packages.sh" --version 1.0.0 --bin "$bin" --payload "$build/payload-dev" \
    --actions "$bin/qv_msi_actions.dll" --out-dir "$work/$1" --dev --sign-pfx "$work/pki/$2" \
    --sign-password-file "$work/pki/$3" 2>"$work/$1.err"
}
verifies() { osslsigncode verify -CAfile "$work/pki/ca.pem" -in "$1" >/dev/null 2>&1; }

build_signed signed signer.pfx password >/dev/null || fail "the signed build failed: $(cat "$work/signed.err")"
msi=$(ls "$work"/signed/*.msi)
verifies "$msi" || fail "the MSI does not verify"
(cd "$work/signed" && sha256sum -c SHA256SUMS >/dev/null) || fail "SHA256SUMS does not check"
mkdir -p "$work/msi-files" "$work/zip-files"
msiextract -C "$work/msi-files" "$msi" >/dev/null
(cd "$work/zip-files" && cmake -E tar xf "${msi%.msi}.zip")
msiinfo extract "$msi" Binary.QvActions >"$work/qv_msi_actions.dll"
pe=0
while IFS= read -r -d '' f; do
  [ "$(head -c 2 "$f")" = MZ ] || continue
  verifies "$f" || fail "${f#"$work"/} is not signed"
  pe=$((pe + 1))
done < <(find "$work/msi-files" "$work/zip-files" "$work/qv_msi_actions.dll" -type f -print0)
[ "$pe" = 13 ] || fail "$pe signed PE files found, expected 13 (6 in the MSI, 6 in the ZIP, the actions DLL)"
cp "$work/zip-files/Quelvaron Asterisk/bin/quelvaron_voip.dll" "$work/tampered.dll"
printf '\001' | dd of="$work/tampered.dll" bs=1 seek=1024 conv=notrunc 2>/dev/null
! verifies "$work/tampered.dll" || fail "a file with one byte changed still verifies"
echo "signed build: $pe PE files and the MSI verify; SHA256SUMS checks; a changed byte is caught: ok"

while IFS='|' read -r pfx pass message; do
  if build_signed refused "$pfx" "$pass" >/dev/null; then fail "a build signed with $pfx/$pass succeeded"; fi
  grep -qF "$message" "$work/refused.err" || fail "no clear message for $pfx/$pass: $(cat "$work/refused.err")"
  [ -z "$(ls -A "$work/refused" 2>/dev/null)" ] || fail "$pfx/$pass left $(ls "$work/refused")"
done <<'TABLE'
signer.pfx|wrong|cannot be opened with its password
server.pfx|password|is not for code signing
expired.pfx|password|has expired
TABLE
echo "wrong password, expired and non-code-signing certificates refused, no package left: ok"

export WINEPREFIX=$work/wineprefix
wine_up "$build" fresh
"$WINE64" msiexec /i "Z:$(echo "$msi" | tr / '\\')" /qn </dev/null >/dev/null 2>&1 || fail "the signed MSI did not install"
"$WINE64" sc query QuelvaronAsterisk </dev/null 2>/dev/null | grep -q RUNNING || fail "the service does not run"
"$WINE64" msiexec /x "Z:$(echo "$msi" | tr / '\\')" /qn PURGE=1 </dev/null >/dev/null 2>&1 || fail "the signed MSI did not uninstall"
echo "the signed MSI installs and runs the service under Wine: ok"
