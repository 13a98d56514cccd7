#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer + ASan + UBSan) and runs every
# fuzz target built there briefly, so that a regression in a parser shows up
# in the test command. Fails on any finding; the input that caused it is
# left in build/fuzz/run/<name>/.
#   FUZZ_SECONDS  time per target (default 20)
#   FUZZ_RUNS     executions per target at most (default 2000000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)
seconds=${FUZZ_SECONDS:-20}
runs=${FUZZ_RUNS:-2000000}

echo "== fuzz build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$jobs"

. scripts/fuzz-lib.sh
status=0
for exe in build/fuzz/bin/*_fuzz; do
  name=$(basename "$exe" _fuzz)
  echo "== fuzz $name (${seconds} s at most, ${runs} runs at most)"
  if fuzz_target "$name" -seed=1 -max_total_time="$seconds" -runs="$runs"; then
    fuzz_stats "$name"
  else
    echo "fuzz: $name found a fault; input and log in build/fuzz/run/$name/" >&2
    tail -n 40 "build/fuzz/run/$name/log" >&2
    status=1
  fi
done
exit $status
