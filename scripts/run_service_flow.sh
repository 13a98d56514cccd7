#!/usr/bin/env bash
# The Windows service's whole life under Wine: quelvaron-service.exe with the
# development PBX beside it as asterisk.exe is installed as the service
# QuelvaronAsterisk, started, queried, reached with quelvaron-console.exe
# through the PBX it started, stopped and removed.
#
# Usage: bash scripts/run_service_flow.sh
#   QV_WINDOWS_BUILD=<dir>  the Windows build to use (default build/windows; built if missing)
# Runs in a private prefix <build>/run-wineprefix, booted fresh and killed at
# the end; the service is stopped and removed even when a step fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=$(realpath -m "${QV_WINDOWS_BUILD:-build/windows}")

heading() { printf '\n==== %s\n' "$*"; }
step() { printf '\n---- %s\n' "$*"; }

heading "The Windows service under Wine's Service Control Manager"

needed=(quelvaron-service.exe devpbx.exe chan_quelvaron.dll quelvaron-console.exe)
missing=0
for f in "${needed[@]}"; do
  [ -f "$build/bin/$f" ] || missing=1
done
if [ "$missing" = 1 ]; then
  step "Building the Windows programs ($build)"
  if [ "$build" = "$root/build/windows" ]; then
    cmake --preset windows >/dev/null
    cmake --build --preset windows -j2 --target quelvaron-service devpbx chan_quelvaron quelvaron-console
  else
    cmake --preset windows -B "$build" >/dev/null
    cmake --build "$build" -j2 --target quelvaron-service devpbx chan_quelvaron quelvaron-console
  fi
fi

. "$root/scripts/wine-env.sh"
export WINEPREFIX="$build/run-wineprefix"
folder=$build/run-service
service_exe=$folder/quelvaron-service.exe
service=QuelvaronAsterisk

w() { "$WINE64" "$@" </dev/null; }
# The programs write CR LF (the C runtime's text mode); show plain lines.
show() { "$@" | tr -d '\r'; }
sc_state() { w sc query "$service" 2>/dev/null | tr -d '\r' | awk '$1 == "STATE" { print $3; exit }'; }

wait_state() { # <number> <name> <seconds>
  local t0 now
  t0=$(date +%s%N)
  while :; do
    now=$(date +%s%N)
    [ "$(sc_state)" = "$1" ] && { echo "service state: $2 (seen after $(( (now - t0) / 1000000 )) ms)"; return 0; }
    [ $(( (now - t0) / 1000000000 )) -ge "$3" ] && break
    sleep 0.1
  done
  echo "run_service_flow.sh: the service did not reach $2 within $3 s (state: $(sc_state))" >&2
  return 1
}

wine_booted=0
cleanup() {
  local code=$?
  set +e
  if [ "$wine_booted" = 1 ]; then
    if [ -n "$(sc_state)" ]; then
      echo "run_service_flow.sh: cleaning up: stopping and removing the service" >&2
      w sc stop "$service" >/dev/null 2>&1
      for _ in $(seq 300); do [ "$(sc_state)" = 1 ] && break; sleep 0.1; done
      w "$service_exe" -uninstall >/dev/null 2>&1 || w sc delete "$service" >/dev/null 2>&1
      for _ in $(seq 100); do [ -z "$(sc_state)" ] && break; sleep 0.1; done
    fi
    wine_down
  fi
  exit "$code"
}
trap cleanup EXIT

# The manager port: 5038 unless something already listens there.
port=
for p in 5038 15038 25038 35038 45038; do
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
    port=$p
    break
  fi
done
[ -n "$port" ] || { echo "run_service_flow.sh: no free manager port found" >&2; exit 1; }

step "Booting a private Wine prefix ($WINEPREFIX)"
wine_booted=1
wine_up "$build" fresh
echo "prefix booted"

step "The service folder ($folder)"
rm -rf "$folder"
mkdir -p "$folder"
cp "$build/bin/quelvaron-service.exe" "$build/bin/chan_quelvaron.dll" "$folder/"
cp "$build/bin/devpbx.exe" "$folder/asterisk.exe"
printf 'port=%s\r\n' "$port" >"$folder/asterisk.ini"
ls "$folder"
echo "asterisk.exe is the development PBX; asterisk.ini: port=$port"

step "quelvaron-service.exe -install"
show w "$service_exe" -install

step "quelvaron-service.exe -start"
show w "$service_exe" -start
wait_state 4 RUNNING 30
for _ in $(seq 100); do [ -s "$folder/asterisk.pid" ] && break; sleep 0.1; done
[ -s "$folder/asterisk.pid" ] || { echo "run_service_flow.sh: the PBX did not come up" >&2; exit 1; }

step "quelvaron-service.exe -status"
show w "$service_exe" -status
echo "(the PBX child runs as pid $(tr -d '\r\n' <"$folder/asterisk.pid"))"

step "quelvaron-console.exe -p $port -x \"quelvaron show endpoints\""
show w "$build/bin/quelvaron-console.exe" -p "$port" -x "quelvaron show endpoints"

step "quelvaron-service.exe -stop"
show w "$service_exe" -stop
wait_state 1 STOPPED 45
show w sc query "$service"

step "quelvaron-service.exe -status"
show w "$service_exe" -status

step "quelvaron-service.exe -uninstall"
show w "$service_exe" -uninstall
for _ in $(seq 100); do [ -z "$(sc_state)" ] && break; sleep 0.1; done
[ -z "$(sc_state)" ] || { echo "run_service_flow.sh: the service is still registered" >&2; exit 1; }
status_out=$(w "$service_exe" -status | tr -d '\r') || true
echo "$status_out"

step "What the PBX recorded (asterisk.log: its starts, the command, the stop request, its exit)"
tr -d '\r' <"$folder/asterisk.log"
