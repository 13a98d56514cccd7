#!/usr/bin/env bash
# The MSI's figures, in one run and one private prefix:
#
#  1. Size: the MSI (and the ZIP) against the sum of the files they carry.
#  2. Time: a silent install (msiexec /i /qn, until it returns with the
#     service running its PBX) and a silent uninstall (msiexec /x /qn), against
#     doing the same by hand: copy the files, quelvaron-service -install and
#     -start, wait for RUNNING; then -stop, wait for STOPPED, -uninstall, delete.
#     The install's own wait includes its settle time (the service must keep
#     running with its PBX for 3 s), so that figure is also shown without it.
#  3. Scale: a generated payload tree of about 4,800 files in about 300
#     folders (about 155 MB of incompressible data, as sound prompts are):
#     the packager's time, the MSI's size against the ZIP's, and msiexec /i
#     and /x against a plain copy and removal of the same files in the same
#     prefix, and an upgrade to an MSI of the same tree one patch level up
#     against the first install (medians of RUNS cycles). SCALE=0 skips it.
#
# Usage: bash bench/msi_bench.sh [windows build dir]   (default build/windows)
#        RUNS=<n> cycles of each (default 3; medians are printed)
# The MSI is built if missing. Runs in <build>/bench-msi-wineprefix, which it
# boots and ends; leaves no service, file or process behind.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/windows}")
runs=${RUNS:-3}
settle_ms=3000

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset windows -B "$build" >/dev/null
fi
cmake --build "$build" -j2 --target msi qv_scm_probe >/dev/null
msi=$(ls "$build"/quelvaron-asterisk-*-x64.msi | head -n 1)
zip=${msi%.msi}.zip

. "$root/scripts/wine-env.sh"
export WINEPREFIX="$build/bench-msi-wineprefix"
w() { "$WINE64" "$@" </dev/null; }
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }
probe() { w "$build/bin/qv_scm_probe.exe" "$@"; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
hand_bin='C:\Program Files\Quelvaron Asterisk\bin'

cleanup() {
  set +e
  w msiexec /x "$(winpath "$msi")" /qn >/dev/null 2>&1
  if probe state >/dev/null 2>&1; then
    probe stop-timed 60000 >/dev/null 2>&1
    w "$hand_bin\\quelvaron-service.exe" -uninstall >/dev/null 2>&1
  fi
  wine_down
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
trap 'echo "msi_bench: failed at line $LINENO" >&2' ERR

echo "== size"
stage=$(mktemp -d)
(cd "$stage" && cmake -E tar xf "$zip")
sum=$(find "$stage" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
count=$(find "$stage" -type f | wc -l)
rm -rf "$stage"
msi_size=$(stat -c %s "$msi")
zip_size=$(stat -c %s "$zip")
printf 'files carried        %d files, %d bytes\n' "$count" "$sum"
pct() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.0f", 100 * a / b }'; }
printf 'MSI                  %d bytes (%s%% of the files)\n' "$msi_size" "$(pct "$msi_size" "$sum")"
printf 'ZIP                  %d bytes (%s%% of the files)\n' "$zip_size" "$(pct "$zip_size" "$sum")"

echo "== booting a private prefix ($WINEPREFIX)"
wine_up "$build" fresh

echo "== time ($runs cycles each)"
inst=() uninst=() hinst=() huninst=()
ub=$("$WINE64" winepath -u "$hand_bin" 2>/dev/null </dev/null)
for i in $(seq "$runs"); do
  t=$(now_ms); w msiexec /i "$(winpath "$msi")" /qn >/dev/null; inst+=($(($(now_ms) - t)))
  probe wait 4 30000 >/dev/null
  t=$(now_ms); w msiexec /x "$(winpath "$msi")" /qn >/dev/null; uninst+=($(($(now_ms) - t)))
  ! probe state >/dev/null 2>&1 || { echo "msi_bench: the service survived the uninstall" >&2; exit 1; }

  t=$(now_ms)
  mkdir -p "$ub"
  (cd "$ub/.." && cmake -E tar xf "$zip" && cp -R "Quelvaron Asterisk/." . && rm -rf "Quelvaron Asterisk")
  w "$hand_bin\\quelvaron-service.exe" -install >/dev/null
  w "$hand_bin\\quelvaron-service.exe" -start >/dev/null
  probe wait 4 30000 >/dev/null
  hinst+=($(($(now_ms) - t)))
  # Untimed: the PBX up (its pid file), as the MSI's settle check leaves it;
  # a stop before that finds no PBX to ask and waits out its 8 s.
  for _ in $(seq 100); do [ -s "$ub/../var/run/asterisk.pid" ] && break; sleep 0.05; done
  t=$(now_ms)
  w "$hand_bin\\quelvaron-service.exe" -stop >/dev/null
  probe wait 1 30000 >/dev/null
  w "$hand_bin\\quelvaron-service.exe" -uninstall >/dev/null
  for _ in $(seq 100); do probe state >/dev/null 2>&1 || break; sleep 0.05; done
  rm -rf "$(dirname "$ub")"
  huninst+=($(($(now_ms) - t)))
done
m_inst=$(printf '%s\n' "${inst[@]}" | median)
printf 'msiexec /i /qn       %6d ms  (%d ms without the %d ms settle check)   runs: %s\n' \
  "$m_inst" $((m_inst - settle_ms)) "$settle_ms" "${inst[*]}"
printf 'by hand: copy, -install, -start, RUNNING  %6d ms   runs: %s\n' "$(printf '%s\n' "${hinst[@]}" | median)" "${hinst[*]}"
printf 'msiexec /x /qn       %6d ms   runs: %s\n' "$(printf '%s\n' "${uninst[@]}" | median)" "${uninst[*]}"
printf 'by hand: -stop, STOPPED, -uninstall, delete  %6d ms   runs: %s\n' "$(printf '%s\n' "${huninst[@]}" | median)" "${huninst[*]}"

[ "${SCALE:-1}" = 1 ] || exit 0
echo "== scale: a generated payload tree"
big=$build/bench-msi-scale
rm -rf "$big"
cp -R "$build/payload-dev" "$big"
for d in $(seq 300); do
  dir="$big/share/sounds/lang$((d % 12))/set $d"
  mkdir -p "$dir"
  for f in $(seq 16); do head -c $(((d * 16 + f) % 60 * 1024 + 1024)) /dev/urandom >"$dir/prompt-$f.gsm"; done
done
printf 'payload              %d files in %d folders, %s\n' "$(find "$big" -type f | wc -l)" \
  "$(find "$big" -type d | wc -l)" "$(du -sh "$big" | cut -f1)"
t=$(now_ms)
bash "$root/installer/build_packages.sh" --version 1.0.0 --bin "$build/bin" --payload "$big" \
  --actions "$build/bin/qv_msi_actions.dll" --out-dir "$big-out" --dev >/dev/null
printf 'build_packages.sh    %6d ms (MSI and ZIP)\n' $(($(now_ms) - t))
bmsi=$(ls "$big-out"/*.msi)
printf 'MSI %d bytes, ZIP %d bytes\n' "$(stat -c %s "$bmsi")" "$(stat -c %s "${bmsi%.msi}.zip")"
bash "$root/installer/build_packages.sh" --version 1.0.1 --bin "$build/bin" --payload "$big" \
  --actions "$build/bin/qv_msi_actions.dll" --out-dir "$big-out1" --dev --msi-only >/dev/null
bmsi1=$(ls "$big-out1"/*.msi)
copy_dir="$("$WINE64" winepath -u 'C:\Program Files' 2>/dev/null </dev/null)/Quelvaron Asterisk"
bi=() bu=() bx=() bc=() br=()
for i in $(seq "$runs"); do
  t=$(now_ms); w msiexec /i "$(winpath "$bmsi")" /qn >/dev/null; bi+=($(($(now_ms) - t)))
  t=$(now_ms); w msiexec /i "$(winpath "$bmsi1")" /qn >/dev/null; bu+=($(($(now_ms) - t)))
  # Wine's removal of 1.0.0 dropped 1.0.1's UpgradeCode entry; its own
  # package still removes it, and the next cycle starts from nothing.
  t=$(now_ms); w msiexec /x "$(winpath "$bmsi1")" /qn PURGE=1 >/dev/null; bx+=($(($(now_ms) - t)))
  t=$(now_ms); mkdir -p "$copy_dir"; cp -R "$big/." "$copy_dir/"; sync; bc+=($(($(now_ms) - t)))
  t=$(now_ms); rm -rf "$copy_dir"; sync; br+=($(($(now_ms) - t)))
done
m() { printf '%s\n' "$@" | median; }
printf 'msiexec /i /qn       %6d ms (with the %d ms settle check)   plain copy %6d ms   runs: %s\n' \
  "$(m "${bi[@]}")" "$settle_ms" "$(m "${bc[@]}")" "${bi[*]}"
printf 'upgrade to 1.0.1     %6d ms (%s x the first install)   runs: %s\n' "$(m "${bu[@]}")" \
  "$(awk -v a="$(m "${bu[@]}")" -v b="$(m "${bi[@]}")" 'BEGIN { printf "%.2f", a / b }')" "${bu[*]}"
printf 'msiexec /x /qn       %6d ms   plain removal %6d ms   runs: %s\n' "$(m "${bx[@]}")" "$(m "${br[@]}")" "${bx[*]}"
rm -rf "$big" "$big-out" "$big-out1"
