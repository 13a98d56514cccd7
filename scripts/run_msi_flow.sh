#!/usr/bin/env bash
# The product as a Windows administrator receives it, under Wine: the MSI is
# built, installed silently (msiexec /i ... /qn), the installed tree shown,
# the service running with its PBX, the console found on PATH answering; the
# administrator edits the AMI port in etc\asterisk.ini and upgrades to a newer
# build, which keeps the setting; a default uninstall (msiexec /x ... /qn)
# keeps the configuration and data; a reinstall uses them, and an uninstall
# with PURGE=1 leaves the machine clean.
#
# Usage: bash scripts/run_msi_flow.sh
#   QV_WINDOWS_BUILD=<dir>  the Windows build to use (default build/windows; built as needed)
# Runs in a private prefix <build>/run-wineprefix, booted fresh and ended at
# the end; the product is uninstalled even when a step fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=$(realpath -m "${QV_WINDOWS_BUILD:-build/windows}")

heading() { printf '\n==== %s\n' "$*"; }
step() { printf '\n---- %s\n' "$*"; }

heading "The MSI under Wine's msiexec"

step "Building the MSI ($build)"
if [ "$build" = "$root/build/windows" ]; then
  cmake --preset windows >/dev/null
else
  cmake --preset windows -B "$build" >/dev/null
fi
cmake --build "$build" -j2 --target msi | grep -E '\.(msi|zip)$' || true
msi=$(ls "$build"/quelvaron-asterisk-*-x64.msi | head -n 1)

. "$root/scripts/wine-env.sh"
export WINEPREFIX="$build/run-wineprefix"
w() { "$WINE64" "$@" </dev/null; }
show() { "$@" | tr -d '\r'; }
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }
service=QuelvaronAsterisk
bin='C:\Program Files\Quelvaron Asterisk\bin'
logs=$build/run-msi-logs
sc_state() { w sc query "$service" 2>/dev/null | tr -d '\r' | awk '$1 == "STATE" { print $3; exit }'; }

# The development payload's PBX listens on 5038; when that port is taken
# here, a copy of the MSI is built whose asterisk.ini names a free one (as an
# administrator would edit it).
port=5038
version=$(basename "$msi" | sed -E 's/^quelvaron-asterisk-([0-9.]+)-.*/\1/')
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  for p in 15038 25038 35038 45038; do
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { port=$p; break; }
  done
  [ "$port" != 5038 ] || { echo "run_msi_flow.sh: no free manager port found" >&2; exit 1; }
  step "Port 5038 is taken here: an MSI whose asterisk.ini says port=$port"
  payload=$build/run-payload
  rm -rf "$payload"
  cp -r "$build/payload-dev" "$payload"
  printf 'port=%s\r\n' "$port" >"$payload/etc/asterisk.ini"
  msi=$(bash installer/build_packages.sh --version "$version" --bin "$build/bin" --payload "$payload" \
    --actions "$build/bin/qv_msi_actions.dll" --out-dir "$build/run-msi" --dev --msi-only | tail -n 1)
fi
# The newer build an administrator upgrades to: the same payload, one patch level up.
next_version=$(echo "$version" | awk -F. '{ print $1 "." $2 "." $3 + 1 }')
msi_next=$(bash installer/build_packages.sh --version "$next_version" --bin "$build/bin" \
  --payload "${payload:-$build/payload-dev}" --actions "$build/bin/qv_msi_actions.dll" \
  --out-dir "$build/run-msi-next" --dev --msi-only | tail -n 1)
echo "MSI: $msi ($(du -k "$msi" | cut -f1) KiB)"

installed=0
cleanup() {
  local code=$?
  set +e
  if [ "$installed" = 1 ]; then
    echo "run_msi_flow.sh: cleaning up: uninstalling" >&2
    w msiexec /x "$(winpath "$msi")" /qn >/dev/null 2>&1
  fi
  wine_down
  exit "$code"
}
trap cleanup EXIT

step "Booting a private Wine prefix ($WINEPREFIX)"
wine_up "$build" fresh
path_before=$(w reg query 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v PATH | tr -d '\r' | awk -F'    ' '$2 == "PATH" { print $4 }')
echo "system PATH: $path_before"

rm -rf "$logs"
mkdir -p "$logs"
step "msiexec /i $(basename "$msi") /qn /l*v install.log"
installed=1
t0=$(date +%s%N)
w msiexec /i "$(winpath "$msi")" /qn /l*v "$(winpath "$logs/install.log")"
echo "installed in $(( ($(date +%s%N) - t0) / 1000000 )) ms (msiexec exit 0)"
echo "what the installer's actions did (from its log):"
tr -d '\0\r' <"$logs/install.log" | grep -E '^("C:|QuelvaronAsterisk:)' | sed 's/^/  /'

step "The installed tree (C:\\Program Files\\Quelvaron Asterisk)"
top="$WINEPREFIX/drive_c/Program Files/Quelvaron Asterisk"
(cd "$top" && find . -mindepth 1 | sort | sed 's|^\./|  |')

step "quelvaron-service -status (found on PATH)"
show w cmd /c quelvaron-service -status
echo "registered as: $(w reg query 'HKLM\System\CurrentControlSet\Services\QuelvaronAsterisk' /v ImagePath | tr -d '\r' | awk -F'    ' '$2 == "ImagePath" { print $4 }')"

step "quelvaron-console -p $port -x \"quelvaron show endpoints\" (found on PATH)"
show w cmd /c quelvaron-console -p "$port" -x "quelvaron show endpoints"

step "quelvaron-console -p $port -x \"core show version\""
show w cmd /c quelvaron-console -p "$port" -x "core show version"

step "The administrator sets port=$((port + 1)) in etc\\asterisk.ini and upgrades to $next_version"
port=$((port + 1))
printf 'port=%s\r\n' "$port" >"$top/etc/asterisk.ini"
echo "notas do administrador" >"$top/var/notes.txt"
t0=$(date +%s%N)
w msiexec /i "$(winpath "$msi_next")" /qn /l*v "$(winpath "$logs/upgrade.log")"
echo "upgraded in $(( ($(date +%s%N) - t0) / 1000000 )) ms (msiexec exit 0); etc\\asterisk.ini: $(tr -d '\r' <"$top/etc/asterisk.ini")"
msi=$msi_next
show w cmd /c quelvaron-console -p "$port" -x "core show version"

step "msiexec /x $(basename "$msi") /qn: configuration and data stay"
w msiexec /x "$(winpath "$msi")" /qn /l*v "$(winpath "$logs/uninstall.log")"
installed=0
[ -z "$(sc_state)" ] || { echo "the service $service is still registered" >&2; exit 1; }
echo "service $service: not registered; the uninstall's log says:"
tr -d '\0\r' <"$logs/uninstall.log" | awk '/^Mantidos/ { on = 1; print; next } on && /^  / { print; next } { on = 0 }' | sed 's/^/  /'
echo "left in C:\\Program Files\\Quelvaron Asterisk:"
(cd "$top" && find . -type f | sort | sed 's|^\./|  |')

step "msiexec /i again (the kept port=$port is used), then msiexec /x ... PURGE=1"
installed=1
w msiexec /i "$(winpath "$msi")" /qn /l*v "$(winpath "$logs/reinstall.log")"
# By its full path: Wine's uninstall left an empty entry in PATH, where its cmd stops searching.
show w "$bin\\quelvaron-console.exe" -p "$port" -x "core show version"
t0=$(date +%s%N)
w msiexec /x "$(winpath "$msi")" /qn PURGE=1 /l*v "$(winpath "$logs/purge.log")"
installed=0
echo "uninstalled in $(( ($(date +%s%N) - t0) / 1000000 )) ms (msiexec exit 0)"

step "Nothing left"
[ -z "$(sc_state)" ] || { echo "the service $service is still registered" >&2; exit 1; }
echo "service $service: not registered"
[ -e "$WINEPREFIX/drive_c/Program Files/Quelvaron Asterisk" ] && { echo "C:\\Program Files\\Quelvaron Asterisk is still there" >&2; exit 1; }
echo "C:\\Program Files\\Quelvaron Asterisk: gone"
w reg query 'HKLM\Software\Quelvaron' >/dev/null 2>&1 && { echo "HKLM\\Software\\Quelvaron is still there" >&2; exit 1; }
echo "HKLM\\Software\\Quelvaron: gone"
w reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\QuelvaronAsterisk' >/dev/null 2>&1 &&
  { echo "the event-log key is still there" >&2; exit 1; }
echo "event-log source QuelvaronAsterisk: gone"
echo "system PATH: $(w reg query 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v PATH | tr -d '\r' | awk -F'    ' '$2 == "PATH" { print $4 }')"
echo "msiexec logs: $logs"
