#!/usr/bin/env bash
# Console and development-PBX benchmark (native release build).
#
#  1. Console round trip per command: one interactive quelvaron-console
#     session fed N commands, less an empty session (process start), divided
#     by N; compared with a raw client sending the same request bytes over one
#     connection (bench/ami_roundtrip.cpp).
#  2. The development PBX's QuelvaronShowEndpoints replies per second with 50
#     endpoints, over one connection and over four.
#
# Usage: bash bench/console_bench.sh   (BUILD_DIR=<dir> to use another build
# tree than build/bench; N=<commands> to change the session length)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${BUILD_DIR:-build/bench}
n=${N:-2000}
endpoints=50

echo "== building (release) in $build"
[ -f "$build/CMakeCache.txt" ] || cmake --preset bench -B "$build" >/dev/null
cmake --build "$build" --target devpbx quelvaron-console -j2 >/dev/null
g++ -O2 -std=c++17 -pthread bench/ami_roundtrip.cpp -o "$build/bin/ami_roundtrip"

work=$(mktemp -d)
pbx_pid=
cleanup() {
  if [ -n "$pbx_pid" ] && kill -0 "$pbx_pid" 2>/dev/null; then
    kill "$pbx_pid" 2>/dev/null || true
    wait "$pbx_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# A private copy of the PBX with its own settings on a free port.
cp "$build/bin/devpbx" "$work/devpbx"
port=$("$build/bin/ami_roundtrip" --free-port)
printf 'port=%s\nendpoints=%s\nexit_after_ms=600000\n' "$port" "$endpoints" >"$work/devpbx.ini"
"$work/devpbx" -f >"$work/devpbx.out" 2>&1 &
pbx_pid=$!
for _ in $(seq 200); do [ -s "$work/devpbx.pid" ] && break; sleep 0.05; done
[ -s "$work/devpbx.pid" ] || { cat "$work/devpbx.out"; echo "devpbx did not start" >&2; exit 1; }

console="$build/bin/quelvaron-console"
now_ns() { date +%s%N; }

# Wall time in ns of one interactive session fed the file $1.
session_ns() {
  local t0 t1
  t0=$(now_ns)
  "$console" -p "$port" <"$1" >/dev/null
  t1=$(now_ns)
  echo $(( t1 - t0 ))
}

# Median of five empty sessions: what process start and connect cost.
printf 'quit\n' >"$work/empty.txt"
empty_ns=$(for _ in 1 2 3 4 5; do session_ns "$work/empty.txt"; done | sort -n | sed -n 3p)

compare() { # <console command> <raw kind> <count>
  local cmd=$1 kind=$2 count=$3
  { for _ in $(seq "$count"); do echo "$cmd"; done; echo quit; } >"$work/session.txt"
  local total per_console per_raw
  # Medians of three runs each: the machine is shared, single runs are noisy.
  total=$(for _ in 1 2 3; do session_ns "$work/session.txt"; done | sort -n | sed -n 2p)
  per_console=$(awk -v t="$total" -v e="$empty_ns" -v n="$count" 'BEGIN { printf "%.2f", (t - e) / n / 1000 }')
  per_raw=$(for _ in 1 2 3; do "$build/bin/ami_roundtrip" "$port" "$count" "$kind"; done |
            awk '{ print $3 }' | sort -g | sed -n 2p)
  printf '%-26s console %8s us/command   raw %8s us/request   ratio %5s\n' "\"$cmd\"" "$per_console" "$per_raw" \
    "$(awk -v a="$per_console" -v b="$per_raw" 'BEGIN { printf "%.2f", a / b }')"
}

echo
echo "== console round trip per command ($n commands per session, median of 3; empty session $(( empty_ns / 1000 )) us)"
compare "core show version" version "$n"
compare "quelvaron show endpoints" list "$(( n / 2 ))"

echo
echo "== development PBX: QuelvaronShowEndpoints with $endpoints endpoints (median of 3 runs)"
for conns in 1 4; do
  raw=$(for _ in 1 2 3; do "$build/bin/ami_roundtrip" "$port" 20000 list "$conns"; done | sort -k2,2g | sed -n 2p)
  echo "$raw" | awk -v c="$conns" '{ printf "%d connection(s): %d replies in %.2f s = %.0f replies/s (%.1f us each)\n", c, $1, $2, $4, $3 }'
done

"$work/devpbx" -rx "core stop gracefully" >/dev/null
wait "$pbx_pid"
pbx_pid=
