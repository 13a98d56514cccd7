#!/usr/bin/env bash
# Mutation score of the product sources (see bench/mutation.py for the rules).
#
# Usage: bash bench/mutation.sh [--sample N --seed S] [--list] [--rerun RESULTS] [product files...]
# Never run by CI: a full run takes hours on 2 cores.  Builds in build/mutation-native and
# build/mutation-windows from a scratch copy build/mutation-src; results in
# build/mutation-results.tsv, build output in build/mutation.log.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exec python3 "$root/bench/mutation.py" "$@"
