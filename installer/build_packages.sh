#!/usr/bin/env bash
# Builds the product's two packages from one set of files: the MSI (wixl, then
# msibuild for what wixl cannot write) and a portable ZIP of the same files.
#
# Usage: build_packages.sh --version X.Y.Z --bin DIR --payload DIR --actions DLL
#                          --out-dir DIR [--dev] [--msi-only]
#                          [--sign-pfx FILE --sign-password-file FILE [--sign-timestamp URL]]
#   --bin      the built deliverables (quelvaron-service.exe, quelvaron-console.exe,
#              quelvaron_voip.dll, res_quelvaron_ami.dll)
#   --payload  the PBX's installation tree (bin\asterisk.exe required), installed
#              as it is under INSTALLDIR; etc\ is its configuration
#   --actions  qv_msi_actions.dll (carried in the MSI, never installed)
#   --dev      the payload is the development stand-ins: names say "development build"
#   --sign-*   sign every PE file we build (our programs and DLLs, the actions DLL,
#              and the development stand-ins) with SHA-256 Authenticode before it
#              is packaged, then the MSI; a payload from elsewhere is packaged as it
#              comes. Signing that was asked and fails stops the build.
# Writes SHA256SUMS beside the packages (sha256sum -c reads it); the ZIP's
# entries are in a fixed order with the time SOURCE_DATE_EPOCH (default: the
# commit's date). Prints the paths of what it wrote.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

version= bin= payload= actions= out_dir= dev=0 msi_only=0 sign_pfx= sign_password_file= sign_timestamp=
while [ $# -gt 0 ]; do
  case $1 in
    --version) version=$2; shift 2 ;;
    --bin) bin=$2; shift 2 ;;
    --payload) payload=$2; shift 2 ;;
    --actions) actions=$2; shift 2 ;;
    --out-dir) out_dir=$2; shift 2 ;;
    --dev) dev=1; shift ;;
    --msi-only) msi_only=1; shift ;;
    --sign-pfx) sign_pfx=$2; shift 2 ;;
    --sign-password-file) sign_password_file=$2; shift 2 ;;
    --sign-timestamp) sign_timestamp=$2; shift 2 ;;
    *) echo "build_packages.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
for v in version bin payload actions out_dir; do
  [ -n "${!v}" ] || { echo "build_packages.sh: --${v//_/-} is required" >&2; exit 2; }
done

deliverables=(quelvaron-service.exe quelvaron-console.exe quelvaron_voip.dll res_quelvaron_ami.dll)
for f in "${deliverables[@]}"; do
  [ -f "$bin/$f" ] || { echo "build_packages.sh: $bin/$f is missing" >&2; exit 1; }
done

product="Quelvaron Asterisk PBX"
base="quelvaron-asterisk-$version-x64"
if [ "$dev" = 1 ]; then
  product="$product (development build)"
  base="quelvaron-asterisk-$version-development-build-x64"
fi
mkdir -p "$out_dir"
out_dir=$(cd "$out_dir" && pwd)
work="$out_dir/$base.work"
msi="$out_dir/$base.msi"
zip="$out_dir/$base.zip"
# A build that stops leaves no package behind, whole or in part.
trap 'code=$?; [ $code = 0 ] || rm -f "$msi" "$zip" "$out_dir/SHA256SUMS"; rm -rf "$work"' EXIT
rm -rf "$work"
mkdir -p "$work"

# Signing: the certificate is checked first, so that a wrong password, an
# expired certificate or one not meant for code signing stops the build
# before anything is packaged.
sign_fail() { echo "build_packages.sh: signing was asked and cannot be done: $*" >&2; exit 1; }
sign_file() { # <file>: signed in place
  local args=(-pkcs12 "$sign_pfx" -readpass "$sign_password_file" -h sha256 -n "Quelvaron Asterisk PBX")
  [ -z "$sign_timestamp" ] || args+=(-ts "$sign_timestamp")
  osslsigncode sign "${args[@]}" -in "$1" -out "$1.signed" >"$work/sign.log" 2>&1 ||
    sign_fail "osslsigncode could not sign $(basename "$1"): $(tail -n 3 "$work/sign.log" | tr '\n' ' ')"
  mv "$1.signed" "$1"
}
if [ -n "$sign_pfx$sign_password_file" ]; then
  [ -f "$sign_pfx" ] || sign_fail "the certificate file '$sign_pfx' does not exist"
  [ -f "$sign_password_file" ] || sign_fail "the password file '$sign_password_file' does not exist"
  command -v osslsigncode >/dev/null || sign_fail "osslsigncode is not installed"
  openssl pkcs12 -in "$sign_pfx" -passin "file:$sign_password_file" -nokeys -clcerts -out "$work/signer.pem" 2>/dev/null ||
    openssl pkcs12 -legacy -in "$sign_pfx" -passin "file:$sign_password_file" -nokeys -clcerts -out "$work/signer.pem" 2>/dev/null ||
    sign_fail "the certificate '$sign_pfx' cannot be opened with its password (wrong password or not a PFX file)"
  openssl x509 -in "$work/signer.pem" -noout -checkend 0 >/dev/null ||
    sign_fail "the certificate '$sign_pfx' has expired ($(openssl x509 -in "$work/signer.pem" -noout -enddate))"
  openssl x509 -in "$work/signer.pem" -noout -ext extendedKeyUsage 2>/dev/null | grep -q "Code Signing" ||
    sign_fail "the certificate '$sign_pfx' is not for code signing (no Code Signing extended key usage)"
  if [ "$dev" = 1 ]; then
    # The development stand-ins are ours: signed in a copy of the payload.
    cp -R "$payload" "$work/payload"
    payload=$work/payload
    while IFS= read -r -d '' f; do
      [ "$(head -c 2 "$f")" != MZ ] || sign_file "$f"
    done < <(find "$payload" -type f -print0)
  else
    echo "build_packages.sh: the PBX payload is packaged as it comes (its maker signs it)" >&2
  fi
else
  echo "build_packages.sh: the packages are unsigned (no signing certificate given)" >&2
fi

# The payload tree: payload.wxs, and each file linked as src/<id>.
[ -d "$payload" ] || { echo "build_packages.sh: the PBX payload folder '$payload' does not exist" >&2; exit 1; }
payload=$(cd "$payload" && pwd)
upgrade_code=$(sed -n 's/.*UpgradeCode="\([^"]*\)".*/\1/p' "$here/quelvaron.wxs")
python3 "$here/payload.py" wxs --payload "$payload" --upgrade-code "$upgrade_code" --work "$work"

# wixl takes sources relative to the .wxs files' folder only: gather them.
mkdir -p "$work/bin"
for f in "${deliverables[@]}"; do cp "$bin/$f" "$work/bin/"; done
cp "$actions" "$work/qv_msi_actions.dll"
if [ -n "$sign_pfx" ]; then
  for f in "${deliverables[@]}"; do sign_file "$work/bin/$f"; done
  sign_file "$work/qv_msi_actions.dll"
fi
cp "$here/quelvaron.wxs" "$work/"
rm -f "$msi" "$zip"
(cd "$work" && wixl -a x64 -o "$msi" \
  -D Version="$version" -D ProductName="$product" -D BinDir=bin -D ActionsDll=qv_msi_actions.dll \
  quelvaron.wxs payload.wxs)

# What wixl has no element for:
# - the payload's real file and folder names, with 8.3 short names, file
#   versions from each PE file's version resource (Windows Installer's
#   replace rules), configuration components (etc\) never overwritten once
#   present and never removed by the package (payload.py tables);
# - custom action types: wixl writes rollback and commit actions as plain
#   deferred ones (no in-script, rollback or commit bit: they would run at
#   once while the script is built) and type-51 actions with NoImpersonate,
#   which only in-script actions may carry;
# - bin\ appended to the system PATH while ServiceHost is installed;
# - the event-log message file as REG_EXPAND_SZ ("#%"; wixl escapes '#');
# - the event-log key and our own key deleted whole at uninstall (Name "-");
# - a rebuilt MSI of the same version replaces the installed one (major
#   upgrade, version maximum inclusive) instead of installing beside it;
# - the folders' permissions: INSTALLDIR and every folder under etc\ and var\
#   locked by Windows Installer itself (MsiLockPermissionsEx, MSI 5.0:
#   InstallerVersion 500), each on its own component's CreateFolder row
#   (payload.py, FOLDER_LOCKS);
# - the payload's top-level names for the actions (Property QvTopLevel).
mkdir -p "$work/idt"
for t in File Directory Component Property; do msiinfo export "$msi" $t >"$work/idt/$t.idt"; done
python3 "$here/payload.py" tables --work "$work" --bin "$work/bin"
printf 'Environment\tName\tValue\tComponent_\ns72\tl255\tL255\ts72\nEnvironment\tEnvironment\nBinOnPath\t=-*PATH\t[~];[BINDIR]\tServiceHost\n' \
  >"$work/idt/Environment.idt"
(cd "$work/idt" && msibuild "$msi" -i File.idt Directory.idt Component.idt Property.idt Environment.idt \
  MsiLockPermissionsEx.idt)
eventlog_key='SYSTEM\CurrentControlSet\Services\EventLog\Application\QuelvaronAsterisk'
our_key='Software\Quelvaron\Quelvaron Asterisk PBX'
in_script=1024 rollback=256 commit=512 no_impersonate=2048 dll=1 ignore=64
# Every public property the package reads: only these reach the installation's
# server side when a user's msiexec is elevated (UAC), besides Windows
# Installer's own; the Upgrade table's action properties belong here too.
secure_properties='INSTALLDIR;PURGE;START_SERVICE;SERVICE_ACCOUNT;FIREWALL;FIREWALL_UDP_PORTS;FIREWALL_TCP_PORTS;FIREWALL_PROFILES;FIREWALL_REMOTE;CRASH_DUMPS;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED'
msibuild "$msi" \
  -q "UPDATE \`CustomAction\` SET \`Type\` = 51 WHERE \`Type\` = $((51 | no_impersonate))" \
  -q "UPDATE \`CustomAction\` SET \`Type\` = $((dll | ignore | rollback | in_script | no_impersonate)) WHERE \`Action\` = 'QvRollbackStop' OR \`Action\` = 'QvRollbackRemove' OR \`Action\` = 'QvRollbackInstall' OR \`Action\` = 'QvRollbackStart' OR \`Action\` = 'QvRollbackFirewallRules' OR \`Action\` = 'QvRollbackFirewallRemove'" \
  -q "UPDATE \`CustomAction\` SET \`Type\` = $((dll | ignore | in_script | no_impersonate)) WHERE \`Action\` = 'QvFinishRemovalNow'" \
  -q "UPDATE \`Property\` SET \`Value\` = '$secure_properties' WHERE \`Property\` = 'SecureCustomProperties'" \
  -q "UPDATE \`CustomAction\` SET \`Type\` = $((dll | ignore | commit | in_script | no_impersonate)) WHERE \`Action\` = 'QvFinishRemoval' OR \`Action\` = 'QvCommitInstall'" \
  -q "UPDATE \`Registry\` SET \`Value\` = '#%[#ServiceExe]' WHERE \`Name\` = 'EventMessageFile'" \
  -q "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('EventLogKey', 2, '$eventlog_key', '-', 'Registration')" \
  -q "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('ProductKey', 2, '$our_key', '-', 'Registration')" \
  -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'" \
  -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('{$upgrade_code}', '$version', 513, 'WIX_UPGRADE_DETECTED')" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveEnvironmentStrings', 3300)" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteEnvironmentStrings', 5200)" \
  -q "UPDATE \`Registry\` SET \`Value\` = '#%[INSTALLDIR]var\\crash' WHERE \`Name\` = 'DumpFolder'" \
  -q "UPDATE \`Component\` SET \`Attributes\` = 320, \`Condition\` = 'CRASH_DUMPS <> \"0\" AND (NOT QvDumpsFolderAsterisk OR QvDumpsOursAsterisk)' WHERE \`Component\` = 'DumpsAsterisk'" \
  -q "UPDATE \`Component\` SET \`Attributes\` = 320, \`Condition\` = 'CRASH_DUMPS <> \"0\" AND (NOT QvDumpsFolderHost OR QvDumpsOursHost)' WHERE \`Component\` = 'DumpsHost'" \
  -q "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('ARPSIZE', '$(du -sk --apparent-size "$payload" "$work/bin" | awk '{ s += $1 } END { print s }')')"

# Remembered settings (RegistrySearch in AppSearch, written back by the
# component Settings): AppSearch overwrites a value given on the command line,
# so in both sequences the value is saved before AppSearch (50) and put back
# after it, then the defaults go to those still empty. INSTALLDIR has no
# default: Windows Installer's folder resolution gives it one.
remember=(
  "INSTALLDIR|"
  "FIREWALL|1"
  "FIREWALL_UDP_PORTS|5060,10000-20000"
  "FIREWALL_TCP_PORTS|5060-5061"
  "FIREWALL_PROFILES|domain,private"
  "FIREWALL_REMOTE|*"
  "CRASH_DUMPS|1"
)
queries=()
n=0
for row in "${remember[@]}"; do
  name=${row%%|*} default=${row#*|}
  n=$((n + 1))
  queries+=(-q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('QvSave$name', 51, 'QvCmd$name', '[$name]')"
            -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('QvRestore$name', 51, '$name', '[QvCmd$name]')")
  [ -z "$default" ] ||
    queries+=(-q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('QvDefault$name', 51, '$name', '$default')")
  for table in InstallExecuteSequence InstallUISequence; do
    queries+=(-q "INSERT INTO \`$table\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('QvSave$name', '$name', $((30 + n)))"
              -q "INSERT INTO \`$table\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('QvRestore$name', 'QvCmd$name', $((50 + n)))")
    [ -z "$default" ] ||
      queries+=(-q "INSERT INTO \`$table\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('QvDefault$name', 'NOT $name', $((60 + n)))")
  done
done
msibuild "$msi" "${queries[@]}"
[ -z "$sign_pfx" ] || sign_file "$msi"
echo "$msi"

# Checksums for sha256sum -c, beside the packages.
write_sums() { (cd "$out_dir" && sha256sum "$@" >SHA256SUMS); }
if [ "$msi_only" = 1 ]; then
  write_sums "$base.msi"
  exit 0
fi

# The ZIP: the same tree under "Quelvaron Asterisk", with our programs in
# bin\, for those who register the service themselves (quelvaron-service -install).
stage="$work/zip/Quelvaron Asterisk"
mkdir -p "$stage"
cp -R "$payload/." "$stage/"
for f in "${deliverables[@]}"; do cp "$work/bin/$f" "$stage/bin/"; done
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct 2>/dev/null || echo 0)}
# Entries in name order, each with the one time and no other attributes than
# its mode bits: two builds of one commit give the same ZIP.
(cd "$work/zip" && python3 - "$zip" "$epoch" <<'PY'
import os, sys, time, zipfile
out, when = sys.argv[1], time.gmtime(max(int(sys.argv[2]), 315532800))[:6]
entries = []
for top, dirs, files in os.walk('Quelvaron Asterisk'):
    entries += [os.path.join(top, f) for f in files]
    entries += [os.path.join(top, d) + '/' for d in dirs if not os.listdir(os.path.join(top, d))]
with zipfile.ZipFile(out, 'w') as z:
    for name in sorted(entries):
        info = zipfile.ZipInfo(name, when)
        info.external_attr = (os.stat(name).st_mode & 0xFFFF) << 16
        info.compress_type = zipfile.ZIP_STORED if name.endswith('/') else zipfile.ZIP_DEFLATED
        data = b'' if name.endswith('/') else open(name, 'rb').read()
        z.writestr(info, data)
PY
)
write_sums "$base.msi" "$base.zip"
echo "$zip"
