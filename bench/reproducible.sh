#!/usr/bin/env bash
# Reproducibility check: builds the committed tree twice, from two copies of
# the source in different folders, and compares what it ships: every .exe and
# .dll (unsigned) and the ZIP must be byte-identical. The MSI is compared too,
# for information only (see the README for what differs).
#
# Usage: bash bench/reproducible.sh     (about 4 minutes on 2 cores)
# SOURCE_DATE_EPOCH, when set, is used; otherwise the packager takes the
# commit's date. Leaves nothing behind.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
top=$(mktemp -d /tmp/qv-reproducible.XXXXXX)
trap 'git -C "$root" worktree remove --force "$top/a" 2>/dev/null; git -C "$root" worktree remove --force "$top/b/src" 2>/dev/null; rm -rf "$top"' EXIT
targets=(quelvaron-service quelvaron-console quelvaron_voip res_quelvaron_ami qv_msi_actions msi)

git -C "$root" worktree add --detach "$top/a" HEAD >/dev/null
mkdir -p "$top/b"
git -C "$root" worktree add --detach "$top/b/src" HEAD >/dev/null
for src in "$top/a" "$top/b/src"; do
  echo "== building in $src"
  start=$(date +%s)
  cmake --preset windows -S "$src" -B "$src/out-$(basename "$src")" >/dev/null
  cmake --build "$src/out-$(basename "$src")" -j2 --target "${targets[@]}" >/dev/null
  echo "   $(($(date +%s) - start)) s"
done

one=$top/a/out-a
two=$top/b/src/out-src
same=0 differ=0
for f in "$one"/bin/*.exe "$one"/bin/*.dll "$one"/*.zip "$one"/*.msi; do
  name=$(basename "$f")
  if cmp -s "$f" "$two/${f#"$one"/}"; then
    same=$((same + 1))
    printf 'same     %s\n' "$name"
  else
    printf 'DIFFERS  %s\n' "$name"
    case $name in *.msi) ;; *) differ=$((differ + 1)) ;; esac
  fi
done
echo "reproducible: $same identical, $differ differing (the MSI not counted)"
[ "$differ" = 0 ]
