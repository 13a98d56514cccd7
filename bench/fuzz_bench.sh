#!/usr/bin/env bash
# Runs every fuzz target for a long while, one after the other, and prints
# the executions and executions per second of each.
#   bench/fuzz_bench.sh <seconds per target> [runs per target at most]
# Findings fail the script; their inputs stay in build/fuzz/run/<name>/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
if [ $# -lt 1 ]; then
  echo "usage: $0 <seconds per target> [runs per target at most]" >&2
  exit 2
fi
seconds=$1
runs=${2:--1}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc 2>/dev/null || echo 2)" >/dev/null

. scripts/fuzz-lib.sh
status=0
for exe in build/fuzz/bin/*_fuzz; do
  name=$(basename "$exe" _fuzz)
  if ! fuzz_target "$name" -seed=1 -max_total_time="$seconds" -runs="$runs"; then
    echo "$name: finding, see build/fuzz/run/$name/" >&2
    status=1
  fi
  fuzz_stats "$name"
done
exit $status
