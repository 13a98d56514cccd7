#!/usr/bin/env bash
# check_exports.sh <library> <expected>...
# Compares a shared library's exported names with the expected list, exactly.
# A DLL (read with objdump -p) is given as name@ordinal, so ordinals count
# too; a .so (read with nm -D --defined-only) as plain names.
set -euo pipefail
lib=$1; shift
expected=$(printf '%s\n' "$@" | sort)
case "$lib" in
  *.dll)
    objdump=$(command -v x86_64-w64-mingw32-objdump || echo objdump)
    # Rows of "[Ordinal/Name Pointer] Table" read "[ n] name", where n is the
    # ordinal less the table's "Ordinal Base".
    actual=$("$objdump" -p "$lib" | awk '
      /Ordinal Base/ { base = $NF }
      /^\[Ordinal\/Name Pointer\] Table/ { t = 1; next }
      t && /^[[:space:]]*$/ { t = 0 }
      t { n = $0; sub(/^[^[]*\[ */, "", n); sub(/\].*/, "", n); print $NF "@" (n + base) }' | sort)
    ;;
  *)
    actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVW]$/ { print $3 }' | sort)
    expected=$(sed 's/@.*//' <<<"$expected" | sort)
    ;;
esac
if [ "$actual" != "$expected" ]; then
  echo "exports of $lib differ"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "exports of $lib: $(echo $actual)"
