#!/usr/bin/env bash
# Builds the product's two packages from one set of files: the MSI (wixl, then
# msibuild for what wixl cannot write) and a portable ZIP of the same files.
#
# Usage: build_packages.sh --version X.Y.Z --bin DIR --payload DIR --actions DLL
#                          --out-dir DIR [--dev] [--msi-only]
#   --bin      the built deliverables (quelvaron-service.exe, quelvaron-console.exe,
#              quelvaron_voip.dll, res_quelvaron_ami.dll)
#   --payload  the PBX's installation tree (bin\asterisk.exe required), installed
#              as it is under INSTALLDIR; etc\ is its configuration
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
trap 'code=$?; [ $code = 0 ] || rm -f "$msi" "$zip"; rm -rf "$work"' EXIT
rm -rf "$work"
mkdir -p "$work"

# The payload tree: payload.wxs, and each file linked as src/<id>.
[ -d "$payload" ] || { echo "build_packages.sh: the PBX payload folder '$payload' does not exist" >&2; exit 1; }
payload=$(cd "$payload" && pwd)
upgrade_code=$(sed -n 's/.*UpgradeCode="\([^"]*\)".*/\1/p' "$here/quelvaron.wxs")
python3 "$here/payload.py" wxs --payload "$payload" --upgrade-code "$upgrade_code" --work "$work"

# wixl takes sources relative to the .wxs files' folder only: gather them.
ln -s "$(cd "$bin" && pwd)" "$work/bin"
cp "$actions" "$work/qv_msi_actions.dll"
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
# - the folders' permissions: INSTALLDIR, etc\ and var\ locked by Windows
#   Installer itself (MsiLockPermissionsEx, MSI 5.0: InstallerVersion 500),
#   on CreateFolder rows (payload.py, FOLDER_LOCKS).
mkdir -p "$work/idt"
for t in File Directory Component; do msiinfo export "$msi" $t >"$work/idt/$t.idt"; done
# wixl writes CreateFolder only for empty payload folders.
msiinfo export "$msi" CreateFolder >"$work/idt/CreateFolder.idt" 2>/dev/null || rm -f "$work/idt/CreateFolder.idt"
python3 "$here/payload.py" tables --work "$work" --bin "$work/bin"
printf 'Environment\tName\tValue\tComponent_\ns72\tl255\tL255\ts72\nEnvironment\tEnvironment\nBinOnPath\t=-*PATH\t[~];[BINDIR]\tServiceHost\n' \
  >"$work/idt/Environment.idt"
(cd "$work/idt" && msibuild "$msi" -i File.idt Directory.idt Component.idt Environment.idt CreateFolder.idt \
  MsiLockPermissionsEx.idt)
eventlog_key='SYSTEM\CurrentControlSet\Services\EventLog\Application\QuelvaronAsterisk'
our_key='Software\Quelvaron\Quelvaron Asterisk PBX'
in_script=1024 rollback=256 commit=512 no_impersonate=2048 dll=1 ignore=64
msibuild "$msi" \
  -q "UPDATE \`CustomAction\` SET \`Type\` = 51 WHERE \`Type\` = $((51 | no_impersonate))" \
  -q "UPDATE \`CustomAction\` SET \`Type\` = $((dll | ignore | rollback | in_script | no_impersonate)) WHERE \`Action\` = 'QvRollbackStop' OR \`Action\` = 'QvRollbackRemove' OR \`Action\` = 'QvRollbackInstall'" \
  -q "UPDATE \`CustomAction\` SET \`Type\` = $((dll | ignore | commit | in_script | no_impersonate)) WHERE \`Action\` = 'QvFinishRemoval'" \
  -q "UPDATE \`Registry\` SET \`Value\` = '#%[#ServiceExe]' WHERE \`Name\` = 'EventMessageFile'" \
  -q "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('EventLogKey', 2, '$eventlog_key', '-', 'Registration')" \
  -q "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('ProductKey', 2, '$our_key', '-', 'Registration')" \
  -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'" \
  -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('{$upgrade_code}', '$version', 513, 'WIX_UPGRADE_DETECTED')" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveEnvironmentStrings', 3300)" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteEnvironmentStrings', 5200)"
echo "$msi"

[ "$msi_only" = 1 ] && exit 0

# The ZIP: the same tree under "Quelvaron Asterisk", with our programs in
# bin\, for those who register the service themselves (quelvaron-service -install).
stage="$work/zip/Quelvaron Asterisk"
mkdir -p "$stage"
cp -R "$payload/." "$stage/"
for f in "${deliverables[@]}"; do cp "$bin/$f" "$stage/bin/"; done
(cd "$work/zip" && cmake -E tar cf "$zip" --format=zip "Quelvaron Asterisk")
echo "$zip"
