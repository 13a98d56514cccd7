#!/usr/bin/env bash
# The MSI's whole life under Wine's msiexec (/qn), SCM and registry, in a
# private prefix of its own (an installed auto-start service starts whenever
# its prefix boots, so never the Windows tests' prefix):
#
#   takeover   a service registered by hand from another folder, then install:
#              one service, pointing at the installed program
#   install    files and versions, RUNNING with its PBX child, quoted path,
#              event-log values, console found on PATH, Start Menu entry
#   repair     the same MSI again brings back a deleted quelvaron-console.exe
#   uninstall  with a console connected and the service paused
#   custom dir INSTALLDIR with blanks and parentheses, then an upgrade to a
#              MSI built here with a bumped version, a refused downgrade and
#              the uninstall (the folder is remembered)
#   bad PBX    a PBX that exits at once: the install fails with a clear
#              message and rolls back
# Every uninstall and the failed install end in assert_nothing_left.
#
# The MSIs are built here by installer/build_packages.sh from the build's
# binaries and a copy of the development payload whose asterisk.ini names a
# free port (the service's environment cannot carry one under Wine).
# msiexec logs go to <build>/msi-test/logs and are kept when a step fails
# (always, with QV_MSI_TEST_KEEP=1).
#
# Usage: msi_test.sh <windows build dir>
set -euo pipefail
shopt -s extglob
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "$1")
work=$build/msi-test
logs=$work/logs
bin=$build/bin

. "$root/scripts/wine-env.sh"
export WINEPREFIX=$work/wineprefix

service=QuelvaronAsterisk
default_bin='C:\Program Files\Quelvaron Asterisk\bin'
custom_dir='C:\PBX (test)\'
custom_bin='C:\PBX (test)\bin'
eventlog_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\QuelvaronAsterisk'
env_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

w() { "$WINE64" "$@" </dev/null; }
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }
unixpath() { "$WINE64" winepath -u "$1" 2>/dev/null </dev/null; }
step() { printf -- '---- %s\n' "$*"; }
fail() { echo "msi_test: FAILED: $*" >&2; exit 1; }

# run_msiexec <log name> <expected exit code> <arguments...>; the code is
# compared in 8 bits, all Wine gives back.
run_msiexec() {
  local name=$1 expected=$2 code=0
  shift 2
  w msiexec "$@" /qn /l*v "$(winpath "$logs/$name.log")" >/dev/null 2>&1 || code=$?
  [ "$code" = $((expected % 256)) ] || fail "msiexec $* ($name) exited with $code, expected $expected"
}

# --- what the system shows ----------------------------------------------------

sc_state() { w sc query "$service" 2>/dev/null | tr -d '\r' | awk '$1 == "STATE" { print $3; exit }'; }
wait_state() { # <state number> <seconds>
  for _ in $(seq $(($2 * 10))); do
    [ "$(sc_state)" = "$1" ] && return 0
    sleep 0.1
  done
  return 1
}
# "<type> <data>" of one registry value; empty when absent.
reg_value() {
  w reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
    awk -v n="$2" 'BEGIN { FS = "    " } $2 == n { print $3 " " $4; exit }'
}
reg_key_exists() { w reg query "$1" >/dev/null 2>&1; }
# Live processes of this prefix whose command line holds $1 (zombies have
# neither environment nor command line).
prefix_procs() {
  local d
  for d in /proc/[0-9]*; do
    tr '\0' '\n' 2>/dev/null <"$d/environ" | grep -xF "WINEPREFIX=$WINEPREFIX" >/dev/null || continue
    tr '\0' ' ' 2>/dev/null <"$d/cmdline" | grep -iF -- "$1" >/dev/null && echo "${d#/proc/}"
  done
  return 0
}
# Entries of ours in Programs and Features.
our_products() { w reg query "$uninstall_key" /s 2>/dev/null | tr -d '\r' | grep -c "DisplayName .*Quelvaron Asterisk PBX" || true; }
menu_dirs() { find "$WINEPREFIX/drive_c" -type d -name "Quelvaron Asterisk PBX" -path "*Start Menu*" 2>/dev/null; }

path_before=
assert_nothing_left() { # <what happened>
  local what=$1
  [ -z "$(sc_state)" ] || fail "$what: the service is still registered"
  local d u
  for d in 'C:\Program Files\Quelvaron Asterisk' "$custom_dir"; do
    u=$(unixpath "$d")
    [ ! -e "$u" ] || fail "$what: $d is left: $(find "$u" | head -5 | tr '\n' ' ')"
  done
  ! reg_key_exists 'HKLM\Software\Quelvaron' || fail "$what: HKLM\\Software\\Quelvaron is left"
  ! reg_key_exists "$eventlog_key" || fail "$what: the event-log key is left"
  [ "$(our_products)" = 0 ] || fail "$what: the product is still in Programs and Features"
  [ -z "$(menu_dirs)" ] || fail "$what: the Start Menu folder is left"
  # Wine's RemoveEnvironmentStrings leaves the ';' it appended with our entry.
  local path_now
  path_now=$(reg_value "$env_key" PATH)
  [ "${path_now%%;*(;)}" = "${path_before%%;*(;)}" ] || fail "$what: PATH is now $path_now"
  local procs
  procs=$(prefix_procs asterisk.exe; prefix_procs quelvaron-service.exe)
  [ -z "$procs" ] || fail "$what: processes left: $(for p in $procs; do tr '\0' ' ' <"/proc/$p/cmdline"; echo; done)"
  echo "nothing left behind ($what)"
}

# The service RUNNING from <bin>, with its PBX child, answering on <port>.
assert_running_from() { # <bin> <port>
  local b=$1 port=$2
  wait_state 4 30 || fail "the service is not RUNNING (state $(sc_state))"
  local image
  image=$(reg_value "HKLM\\System\\CurrentControlSet\\Services\\$service" ImagePath)
  [ "$image" = "REG_SZ \"$b\\quelvaron-service.exe\"" ] || [ "$image" = "REG_EXPAND_SZ \"$b\\quelvaron-service.exe\"" ] ||
    fail "registered path is $image, expected \"$b\\quelvaron-service.exe\" in quotes"
  local ub pid
  ub=$(unixpath "$b")
  pid=$(tr -d '\r\n' <"$ub/asterisk.pid" 2>/dev/null || true)
  [ -n "$pid" ] && grep -q "^start $pid .*-f -vvv" "$ub/asterisk.log" ||
    fail "no PBX started from $b (asterisk.log: $(cat "$ub/asterisk.log" 2>/dev/null))"
  [ -n "$(prefix_procs asterisk.exe)" ] || fail "no asterisk.exe process runs"
  local out
  out=$(w "$b\\quelvaron-console.exe" -p "$port" -x "core show version" 2>&1 | tr -d '\r')
  echo "$out" | grep -q "Asterisk 20.0.0-quelvaron-devpbx" || fail "the installed console answered: $out"
}

# From any prompt the console is found on the system PATH. Only on a fresh
# prefix: Wine's RemoveEnvironmentStrings leaves the ';' it added, so a later
# install appends after an empty entry, where Wine's cmd stops searching.
assert_console_on_path() { # <port>
  local out
  out=$(w cmd /c quelvaron-console -p "$1" -x "core show version" 2>&1 | tr -d '\r')
  echo "$out" | grep -q "Asterisk 20.0.0-quelvaron-devpbx" || fail "quelvaron-console on PATH answered: $out"
}

assert_registration() { # <bin>
  local b=$1
  [ "$(reg_value "$eventlog_key" TypesSupported)" = "REG_DWORD 0x7" ] ||
    fail "TypesSupported is $(reg_value "$eventlog_key" TypesSupported)"
  [ "$(reg_value "$eventlog_key" EventMessageFile)" = "REG_EXPAND_SZ $b\\quelvaron-service.exe" ] ||
    fail "EventMessageFile is $(reg_value "$eventlog_key" EventMessageFile)"
  reg_value "$env_key" PATH | grep -qF ";$b\\" || fail "PATH lacks $b: $(reg_value "$env_key" PATH)"
  [ -n "$(menu_dirs)" ] && ls "$(menu_dirs)" | grep -q '\.lnk$' || fail "no Start Menu entry"
  [ "$(our_products)" = 1 ] || fail "$(our_products) products in Programs and Features, expected 1"
}

# --- set-up -------------------------------------------------------------------------

ok=0
cleanup() {
  local code=$?
  set +e
  exec 7>&- 2>/dev/null
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    wine_down
  fi
  if [ "$ok" = 1 ] && [ -z "${QV_MSI_TEST_KEEP:-}" ]; then
    rm -rf "$work"
  else
    echo "msi_test: msiexec logs kept in $logs" >&2
  fi
  exit "$code"
}
trap cleanup EXIT

rm -rf "$work"
mkdir -p "$logs"
port=$(qv_free_port)
port2=$(qv_free_port)

# make_payload <dir> <asterisk.ini lines...>
make_payload() {
  local dir=$1
  shift
  mkdir -p "$dir"
  cp "$bin/devpbx.exe" "$dir/asterisk.exe"
  cp "$bin/chan_quelvaron.dll" "$dir/"
  printf '%s\r\n' "$@" >"$dir/asterisk.ini"
}
# build_msi <name> <version> <payload dir>: prints the MSI's path.
build_msi() {
  bash "$root/installer/build_packages.sh" --version "$2" --bin "$bin" --payload "$3" \
    --actions "$bin/qv_msi_actions.dll" --out-dir "$work/$1" --dev --msi-only 2>"$logs/build-$1.err" | tail -n 1 ||
    fail "building the MSI $1 (see $logs/build-$1.err)"
}

step "building the MSIs (N, N+1, a PBX that exits at once)"
make_payload "$work/payload-n" "port=$port"
echo "only in N" >"$work/payload-n/samples.conf"
make_payload "$work/payload-n1" "port=$port2"
make_payload "$work/payload-bad" "port=$port" "exit_after_ms=200"
msi_n=$(build_msi n 1.0.0 "$work/payload-n")
msi_n1=$(build_msi n1 1.0.1 "$work/payload-n1")
msi_bad=$(build_msi bad 1.0.0 "$work/payload-bad")
mkdir -p "$work/payload-empty"
if bash "$root/installer/build_packages.sh" --version 1.0.0 --bin "$bin" --payload "$work/payload-empty" \
  --actions "$bin/qv_msi_actions.dll" --out-dir "$work/none" 2>"$logs/build-none.err"; then
  fail "an MSI was built from a payload without asterisk.exe"
fi
grep -q "holds no asterisk.exe" "$logs/build-none.err" || fail "no clear message for a payload without asterisk.exe"

step "booting a private prefix ($WINEPREFIX)"
wine_up "$build" fresh
path_before=$(reg_value "$env_key" PATH)

# --- a hand-registered service is taken over -----------------------------------------

step "a service registered by hand from C:\\handmade, running"
hand=$(unixpath 'C:\handmade')
make_payload "$hand" "port=$port"
cp "$bin/quelvaron-service.exe" "$hand/"
w 'C:\handmade\quelvaron-service.exe' -install >/dev/null
w 'C:\handmade\quelvaron-service.exe' -start >/dev/null
wait_state 4 30 || fail "the hand-registered service did not start"

step "install (default folder) takes it over"
run_msiexec install 0 /i "$(winpath "$msi_n")"
assert_running_from "$default_bin" "$port"
assert_registration "$default_bin"
assert_console_on_path "$port"
tr -d '\0\r' <"$logs/install.log" | grep -F "[OK] Servico 'Quelvaron Asterisk PBX Service' instalado com sucesso!" >/dev/null ||
  fail "the install log lacks the host's own -install line"
grep -q "^exit " "$hand/asterisk.log" || fail "the hand-registered service's PBX did not stop"
w "$bin/qv_file_versions.exe" "$default_bin" 1.0.0 >/dev/null || fail "installed file versions"
ub=$(unixpath "$default_bin")
for f in quelvaron-service.exe quelvaron-console.exe quelvaron_voip.dll res_quelvaron_ami.dll \
  asterisk.exe asterisk.ini chan_quelvaron.dll samples.conf; do
  [ -f "$ub/$f" ] || fail "$f is not installed"
done
echo "installed, taken over, running: ok"

step "repair: the same MSI again brings back a deleted quelvaron-console.exe"
rm "$ub/quelvaron-console.exe"
run_msiexec repair 0 /i "$(winpath "$msi_n")"
[ -f "$ub/quelvaron-console.exe" ] || fail "quelvaron-console.exe did not come back"
assert_running_from "$default_bin" "$port"
echo "repaired: ok"

step "uninstall with a console connected and the service paused"
mkfifo "$work/console.in"
"$WINE64" "$default_bin\\quelvaron-console.exe" -p "$port" <"$work/console.in" >"$work/console.out" 2>&1 &
console_pid=$!
exec 7>"$work/console.in"
printf 'core show version\n' >&7
for _ in $(seq 100); do grep -q "quelvaron-devpbx" "$work/console.out" && break; sleep 0.1; done
grep -q "quelvaron-devpbx" "$work/console.out" || fail "the interactive console did not connect"
w "$bin/qv_scm_probe.exe" pause >/dev/null || fail "the pause control was refused"
wait_state 7 10 || fail "the service did not pause (state $(sc_state))"
run_msiexec uninstall 0 /x "$(winpath "$msi_n")"
for _ in $(seq 50); do kill -0 "$console_pid" 2>/dev/null || break; sleep 0.1; done
! kill -0 "$console_pid" 2>/dev/null || fail "the console from the product folder still runs"
exec 7>&-
assert_nothing_left "uninstall while paused with a console connected"

# --- custom folder, upgrade, downgrade -------------------------------------------------

step "install into INSTALLDIR=\"$custom_dir\""
run_msiexec install-custom 0 /i "$(winpath "$msi_n")" "INSTALLDIR=$custom_dir"
assert_running_from "$custom_bin" "$port"
assert_registration "$custom_bin"

step "upgrade to 1.0.1 (built here)"
run_msiexec upgrade 0 /i "$(winpath "$msi_n1")"
assert_running_from "$custom_bin" "$port2"
assert_registration "$custom_bin"
ucb=$(unixpath "$custom_bin")
[ ! -e "$ucb/samples.conf" ] || fail "a file of 1.0.0 is left after the upgrade"
w reg query "$uninstall_key" /s 2>/dev/null | tr -d '\r' | grep "DisplayVersion .*1\.0\.1" >/dev/null ||
  fail "Programs and Features does not show 1.0.1"
echo "upgraded: ok"

step "downgrade to 1.0.0 is refused and changes nothing"
run_msiexec downgrade 1603 /i "$(winpath "$msi_n")"
# Wine's msiexec /qn leaves the launch condition's text out of its log;
# it is the message Windows shows and logs.
tr -d '\0\r' <"$logs/downgrade.log" | grep "LaunchConditions. Return value 0" >/dev/null ||
  fail "the downgrade was not stopped by the launch condition"
msiinfo export "$msi_n" LaunchCondition | grep "Uma versao mais nova de Quelvaron Asterisk PBX ja esta instalada" >/dev/null ||
  fail "the MSI lacks the downgrade message"
assert_running_from "$custom_bin" "$port2"
assert_registration "$custom_bin"
echo "downgrade refused (msiexec exit 1603): ok"

step "uninstall 1.0.1 from the remembered folder"
run_msiexec uninstall-custom 0 /x "$(winpath "$msi_n1")"
assert_nothing_left "uninstall from $custom_dir"

# --- a PBX that cannot run -----------------------------------------------------------------

step "a PBX that exits at once: clear error, rollback"
run_msiexec install-bad 1603 /i "$(winpath "$msi_bad")"
tr -d '\0\r' <"$logs/install-bad.log" | grep "O servico QuelvaronAsterisk parou logo apos iniciar (codigo de saida 1067)" >/dev/null ||
  fail "the failed install's log lacks its message"
assert_nothing_left "failed install (msiexec exit 1603)"

ok=1
echo "msi_test: all passed"
