#!/usr/bin/env bash
# Builds the product's two packages from one set of files: the MSI (wixl, then
# msibuild for what wixl cannot write) and a portable ZIP of the same files.
#
# Usage: build_packages.sh --version X.Y.Z --bin DIR --payload DIR --actions DLL
#                          --out-dir DIR [--dev] [--msi-only]
#   --bin      the built deliverables (quelvaron-service.exe, quelvaron-console.exe,
#              quelvaron_voip.dll, res_quelvaron_ami.dll)
#   --payload  the PBX payload folder; every file in it goes into bin\ (asterisk.exe required)
#   --actions  qv_msi_actions.dll (carried in the MSI, never installed)
#   --dev      the payload is the development stand-ins: names say "development build"
# Prints the paths of what it wrote.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

version= bin= payload= actions= out_dir= dev=0 msi_only=0
while [ $# -gt 0 ]; do
  case $1 in
    --version) version=$2; shift 2 ;;
    --bin) bin=$2; shift 2 ;;
    --payload) payload=$2; shift 2 ;;
    --actions) actions=$2; shift 2 ;;
    --out-dir) out_dir=$2; shift 2 ;;
    --dev) dev=1; shift ;;
    --msi-only) msi_only=1; shift ;;
    *) echo "build_packages.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
for v in version bin payload actions out_dir; do
  [ -n "${!v}" ] || { echo "build_packages.sh: --${v//_/-} is required" >&2; exit 2; }
done

if [ ! -f "$payload/asterisk.exe" ]; then
  echo "build_packages.sh: the PBX payload folder '$payload' holds no asterisk.exe." >&2
  echo "  Set QV_PBX_PAYLOAD to a folder with asterisk.exe and its modules, or leave it empty for the development stand-ins." >&2
  exit 1
fi
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
rm -rf "$work"
mkdir -p "$work"

# The payload, one component per file (ids from the file names).
payload=$(cd "$payload" && pwd)
{
  echo '<?xml version="1.0" encoding="utf-8"?>'
  echo '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi"><Fragment>'
  echo '  <DirectoryRef Id="BINDIR">'
  refs=
  for path in "$payload"/*; do
    [ -f "$path" ] || continue
    name=$(basename "$path")
    id="Payload_$(printf '%s' "$name" | tr -c 'A-Za-z0-9_' '_')"
    echo "    <Component Id=\"$id\" Guid=\"*\" Win64=\"yes\"><File Id=\"$id\" Source=\"payload/$name\" KeyPath=\"yes\"/></Component>"
    refs="$refs    <ComponentRef Id=\"$id\"/>"$'\n'
  done
  echo '  </DirectoryRef>'
  echo '  <ComponentGroup Id="Payload">'
  printf '%s' "$refs"
  echo '  </ComponentGroup>'
  echo '</Fragment></Wix>'
} >"$work/payload.wxs"

# wixl takes sources relative to the .wxs files' folder only: gather them.
ln -s "$(cd "$bin" && pwd)" "$work/bin"
ln -s "$payload" "$work/payload"
cp "$actions" "$work/qv_msi_actions.dll"
cp "$here/quelvaron.wxs" "$work/"
msi="$out_dir/$base.msi"
rm -f "$msi"
(cd "$work" && wixl -a x64 -o "$msi" \
  -D Version="$version" -D ProductName="$product" -D BinDir=bin -D ActionsDll=qv_msi_actions.dll \
  quelvaron.wxs payload.wxs)

# What wixl has no element for:
# - file versions (Windows Installer's replace rules), read from each file's
#   version resource; files without one stay unversioned;
# - bin\ appended to the system PATH while ServiceHost is installed;
# - the event-log message file as REG_EXPAND_SZ ("#%"; wixl escapes '#');
# - the event-log key and our own key deleted whole at uninstall (Name "-");
# - the files the PBX writes beside itself (the development PBX's log and
#   pid file) removed at uninstall;
# - a rebuilt MSI of the same version replaces the installed one (major
#   upgrade, version maximum inclusive) instead of installing beside it.
printf 'Environment\tName\tValue\tComponent_\ns72\tl255\tL255\ts72\nEnvironment\tEnvironment\nBinOnPath\t=-*PATH\t[~];[BINDIR]\tServiceHost\n' \
  >"$work/Environment.idt"
upgrade_code=$(msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' '$1 == "UpgradeCode" { print $2 }')
eventlog_key='SYSTEM\CurrentControlSet\Services\EventLog\Application\QuelvaronAsterisk'
our_key='Software\Quelvaron\Quelvaron Asterisk PBX'
(cd "$work" && msibuild "$msi" -i Environment.idt)
file_version() { # "1.2.3.4", or nothing
  x86_64-w64-mingw32-windres -i "$1" -O rc 2>/dev/null |
    awk '$1 == "FILEVERSION" { gsub(/[ ,]+/, "."); sub(/^\.?FILEVERSION\./, ""); print; exit }'
}
while IFS=$'\t' read -r id name; do
  v=$(file_version "$work/bin/$name" 2>/dev/null || true)
  [ -n "$v" ] || v=$(file_version "$work/payload/$name" 2>/dev/null || true)
  [ -n "$v" ] && msibuild "$msi" -q "UPDATE \`File\` SET \`Version\` = '$v', \`Language\` = '1033' WHERE \`File\` = '$id'"
done < <(msiinfo export "$msi" File | tail -n +4 | cut -f1,3)
msibuild "$msi" \
  -q "UPDATE \`Registry\` SET \`Value\` = '#%[#ServiceExe]' WHERE \`Name\` = 'EventMessageFile'" \
  -q "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('EventLogKey', 2, '$eventlog_key', '-', 'Registration')" \
  -q "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('ProductKey', 2, '$our_key', '-', 'Registration')" \
  -q "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`) VALUES ('PbxLog', 'ServiceHost', 'asterisk.log', 'BINDIR', 2)" \
  -q "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`) VALUES ('PbxPid', 'ServiceHost', 'asterisk.pid', 'BINDIR', 2)" \
  -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'" \
  -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$upgrade_code', '$version', 513, 'WIX_UPGRADE_DETECTED')" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveEnvironmentStrings', 3300)" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteEnvironmentStrings', 5200)"
echo "$msi"

[ "$msi_only" = 1 ] && { rm -rf "$work"; exit 0; }

# The ZIP: the same files under "Quelvaron Asterisk\bin", for users who
# register the service themselves (quelvaron-service -install).
stage="$work/zip/Quelvaron Asterisk/bin"
mkdir -p "$stage"
for f in "${deliverables[@]}"; do cp "$bin/$f" "$stage/"; done
cp "$payload"/* "$stage/"
zip="$out_dir/$base.zip"
rm -f "$zip"
(cd "$work/zip" && cmake -E tar cf "$zip" --format=zip "Quelvaron Asterisk")
rm -rf "$work"
echo "$zip"
