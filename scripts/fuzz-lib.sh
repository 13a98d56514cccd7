# Sourced by scripts/fuzz.sh and bench/fuzz_bench.sh (from the project root):
# one fuzz target's run on a scratch copy of its committed seed corpus.

# fuzz_target <name> <libFuzzer options...>: runs build/fuzz/bin/<name>_fuzz
# with fuzz/<name>/<name>.dict; output goes to build/fuzz/run/<name>/log and
# a finding to build/fuzz/run/<name>/. Fails on a finding.
fuzz_target() {
  local name=$1
  shift
  local run=build/fuzz/run/$name
  rm -rf "$run"
  mkdir -p "$run/corpus"
  # New inputs go to the scratch copy, never into the committed corpus.
  if [ -d "fuzz/$name/corpus" ]; then
    cp -r "fuzz/$name/corpus/." "$run/corpus/"
  fi
  # A single input running 10 s counts as a hang.
  local args=(-timeout=10 "$@" -print_final_stats=1 -artifact_prefix="$run/")
  if [ -f "fuzz/$name/$name.dict" ]; then
    args+=(-dict="fuzz/$name/$name.dict")
  fi
  "build/fuzz/bin/${name}_fuzz" "${args[@]}" "$run/corpus" >"$run/log" 2>&1
}

# fuzz_stats <name>: "<name> <executions> <exec/s>" from the run's final stats.
fuzz_stats() {
  awk -v name="$1" '/^stat::number_of_executed_units:/ {n = $2}
                    /^stat::average_exec_per_sec:/ {r = $2}
                    END {printf "%-12s %12s executions %8s exec/s\n", name, n, r}' "build/fuzz/run/$1/log"
}
