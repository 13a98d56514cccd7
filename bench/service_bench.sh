#!/usr/bin/env bash
# Service host benchmark under Wine's Service Control Manager, with the
# development PBX as asterisk.exe.
#
#  1. Stop latency: from the stop control (ControlService) to SERVICE_STOPPED,
#     against the PBX's own exit after a direct stop request (devpbx -rx
#     "core stop gracefully" to a devpbx started directly) in the same run.
#     The difference is what the host adds: its stop request process, its
#     waits and its reports.
#  2. Memory: the service host's peak working set while running, against a
#     program that only waits on an event (same compiler, same static runtime).
#
# Usage: bash bench/service_bench.sh [windows build dir]   (default build/windows)
#        RUNS=<n> sets the number of service cycles and direct stops (default 10).
# The build is made if missing. Runs in a private prefix <build>/bench-wineprefix,
# which it boots and kills; leaves no service, process or folder behind.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/windows}")
runs=${RUNS:-10}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset windows -B "$build" >/dev/null
fi
cmake --build "$build" -j2 --target quelvaron-service devpbx chan_quelvaron qv_scm_probe qv_idle_wait >/dev/null

. "$root/scripts/wine-env.sh"
export WINEPREFIX="$build/bench-wineprefix"
bin=$build/bin
svc_dir=$bin/bench-service
direct_dir=$bin/bench-direct

w() { "$WINE64" "$@" </dev/null; }
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }
probe() { w "$bin/qv_scm_probe.exe" "$@"; }
field() { awk -v k="$1" '$1 == k { print $2 }'; }

cleanup() {
  set +e
  if [ -x "$svc_dir/quelvaron-service.exe" ] || [ -f "$svc_dir/quelvaron-service.exe" ]; then
    if probe state >/dev/null 2>&1; then
      probe stop-timed 60000 >/dev/null 2>&1
      w "$svc_dir/quelvaron-service.exe" -uninstall >/dev/null 2>&1
      for _ in $(seq 100); do probe state >/dev/null 2>&1 || break; sleep 0.1; done
    fi
  fi
  wine_down
  rm -rf "$svc_dir" "$direct_dir"
}
trap cleanup EXIT

echo "== booting a private Wine prefix ($WINEPREFIX)"
wine_up "$build" fresh

rm -rf "$svc_dir" "$direct_dir"
mkdir -p "$svc_dir" "$direct_dir"
cp "$bin/quelvaron-service.exe" "$svc_dir/"
cp "$bin/devpbx.exe" "$svc_dir/asterisk.exe"
cp "$bin/chan_quelvaron.dll" "$svc_dir/"
printf 'port=%s\r\n' "$(qv_free_port)" >"$svc_dir/asterisk.ini"
cp "$bin/devpbx.exe" "$bin/chan_quelvaron.dll" "$direct_dir/"
printf 'port=%s\r\n' "$(qv_free_port)" >"$direct_dir/devpbx.ini"

stats() { # label unit values...: median min max
  local label=$1 unit=$2; shift 2
  printf '%s\n' "$@" | sort -n | awk -v l="$label" -v u="$unit" '
    { v[NR] = $1 } END {
      m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf "  %-46s median %8.1f %s   min %8.1f   max %8.1f   (n=%d)\n", l, m, u, v[1], v[NR], NR }'
}

echo "== service cycles under the SCM ($runs runs)"
w "$svc_dir/quelvaron-service.exe" -install >/dev/null
start_ms=() stop_ms=() peak_kb=() ws_kb=()
for i in $(seq "$runs"); do
  : >"$svc_dir/asterisk.log"; rm -f "$svc_dir/asterisk.pid"
  t0=$(date +%s%N)
  w "$svc_dir/quelvaron-service.exe" -start >/dev/null
  probe wait 4 30000 >/dev/null
  start_ms+=("$(( ($(date +%s%N) - t0) / 1000000 ))")
  # Let the PBX come up and the host settle into its wait before measuring.
  for _ in $(seq 100); do [ -f "$svc_dir/asterisk.pid" ] && break; sleep 0.1; done
  sleep 1
  pid=$(probe state | field pid)
  mem=$(probe mem "$pid")
  peak_kb+=("$(echo "$mem" | field peak_working_set_kb)")
  ws_kb+=("$(echo "$mem" | field working_set_kb)")
  stop_ms+=("$(probe stop-timed 60000 | field stop_to_stopped_ms)")
  grep -q '^stop-request ' "$svc_dir/asterisk.log" || { echo "run $i: the PBX got no stop request" >&2; exit 1; }
done
w "$svc_dir/quelvaron-service.exe" -uninstall >/dev/null

echo "== direct stop of the development PBX ($runs runs each way)"
rx_ms=() exit_ms=() det_rx_ms=() det_exit_ms=()
for _ in $(seq "$runs"); do
  out=$(probe direct-stop "$(winpath "$direct_dir/devpbx.exe")" no-window)
  rx_ms+=("$(echo "$out" | field direct_rx_ms)")
  exit_ms+=("$(echo "$out" | field direct_pbx_exit_ms)")
  out=$(probe direct-stop "$(winpath "$direct_dir/devpbx.exe")" detached)
  det_rx_ms+=("$(echo "$out" | field direct_rx_ms)")
  det_exit_ms+=("$(echo "$out" | field direct_pbx_exit_ms)")
done

echo "== idle baseline ($runs runs)"
idle_peak=() idle_ws=()
for _ in $(seq "$runs"); do
  out=$(probe idle-mem "$(winpath "$bin/qv_idle_wait.exe")" 1000)
  idle_peak+=("$(echo "$out" | field peak_working_set_kb)")
  idle_ws+=("$(echo "$out" | field working_set_kb)")
done

echo
echo "== results (Wine $("$WINE64" --version 2>/dev/null), $(nproc) cores)"
echo "Stop latency"
stats "service: stop control -> SERVICE_STOPPED" ms "${stop_ms[@]}"
stats "direct, CREATE_NO_WINDOW: -rx -> PBX exited" ms "${exit_ms[@]}"
stats "direct, CREATE_NO_WINDOW: -rx process alone" ms "${rx_ms[@]}"
stats "direct, DETACHED_PROCESS: -rx -> PBX exited" ms "${det_exit_ms[@]}"
stats "direct, DETACHED_PROCESS: -rx process alone" ms "${det_rx_ms[@]}"
echo "  (the service creates both processes with CREATE_NO_WINDOW, as the first direct row does;"
echo "   under Wine that gives each a hidden console host, which the DETACHED_PROCESS rows leave out)"
echo "Start"
stats "service: -start -> RUNNING seen (bash clock)" ms "${start_ms[@]}"
echo "Memory (GetProcessMemoryInfo; under Wine the Linux VmHWM/VmRSS)"
stats "service host peak working set (running)" KiB "${peak_kb[@]}"
stats "service host working set (running)" KiB "${ws_kb[@]}"
stats "idle event-wait program peak working set" KiB "${idle_peak[@]}"
stats "idle event-wait program working set" KiB "${idle_ws[@]}"
