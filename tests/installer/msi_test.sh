#!/usr/bin/env bash
# The MSI's whole life under Wine's msiexec (/qn), SCM and registry, in a
# private prefix of its own (an installed auto-start service starts whenever
# its prefix boots, so never the Windows tests' prefix). The steps, in order
# (the table at the end):
#
#   build      MSIs from payload trees with awkward names; names Windows cannot
#              hold stop the build; the ZIP holds the same tree
#   takeover   a service registered by hand from another folder, then install:
#              one service, pointing at the installed program, the tree in place
#   repair     the same MSI again brings back a deleted program and keeps the
#              administrator's edited configuration (its AMI port); the
#              service, set to manual start, another account and stopped,
#              stays so
#   upgrade    1.0.1: changed program files replaced, a new configuration file
#              added, the edited one kept: the console answers on its port; the
#              running manual service runs again, its start type and account kept
#   failed     an upgrade that fails late keeps the configuration and data,
#              and 1.0.1's package restores the rest
#   disabled   1.0.3 over a disabled service: installed, the service still
#              disabled and not started
#   uninstall  with a console connected and the service paused: program files,
#              service, PATH, Start Menu and keys go; configuration and data stay
#   purge      reinstall with START_SERVICE=0 (registered, not started; the kept
#              configuration is used), then PURGE=1: nothing left
#   shared dir INSTALLDIR that already held another program's files: PURGE=1
#              removes only the product's own entries
#   account    SERVICE_ACCOUNT=virtual: the service registered and running as
#              NT SERVICE\QuelvaronAsterisk, kept by an upgrade, and switched
#              back by a repair with SERVICE_ACCOUNT=LocalSystem
#   upgrade files  1.0.0 -> 1.0.1 where share\sounds\en\{a,b}.gsm become {a,c}.gsm
#              and a module goes: exactly what 1.0.1 ships is installed
#   old layout a product of an older package (no PackageLayout): 1.0.1 refuses
#              to upgrade it and nothing changes
#   custom dir INSTALLDIR with blanks and parentheses, a refused downgrade, PURGE=1
#   no host    uninstall with quelvaron-service.exe gone (an antivirus
#              quarantine): the service is removed through the SCM
#   long dir   an INSTALLDIR past what the host can run from: a clear refusal
#   bad PBX    a PBX that exits at once: the install fails with a clear
#              message and rolls back
#
# The MSIs are built here by installer/build_packages.sh from the build's
# binaries and copies of the development payload whose etc\asterisk.ini names
# a free port (the service's environment cannot carry one under Wine).
# msiexec logs go to <build>/msi-test/logs and are kept when a step fails
# (always, with QV_MSI_TEST_KEEP=1).
#
# Usage: msi_test.sh <windows build dir> [step ...]   (default: every step)
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
default_dir='C:\Program Files\Quelvaron Asterisk'
default_bin='C:\Program Files\Quelvaron Asterisk\bin'
custom_dir='C:\PBX (test)\'
custom_bin='C:\PBX (test)\bin'
eventlog_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\QuelvaronAsterisk'
product_key='HKLM\Software\Quelvaron\Quelvaron Asterisk PBX'
dumps_key='HKLM\SOFTWARE\Microsoft\Windows\Windows Error Reporting\LocalDumps'
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
# Nothing of the product left, but for what "kept" names: the configuration
# and data found under <dir> (relative paths, one a line) after a default
# uninstall.
assert_nothing_left() { # <what happened> [<dir> <kept files>]
  local what=$1 kept_dir=${2:-} kept=${3:-}
  [ -z "$(sc_state)" ] || fail "$what: the service is still registered"
  local d u left
  for d in "$default_dir" "$custom_dir"; do
    u=$(unixpath "$d")
    if [ "$d" = "$kept_dir" ]; then
      left=$(cd "$u" 2>/dev/null && find . -type f | sed 's|^\./||' | sort)
      [ "$left" = "$(echo "$kept" | sort)" ] || fail "$what: $d holds $(echo $left), expected $(echo $kept)"
    else
      [ ! -e "$u" ] || fail "$what: $d is left: $(find "$u" | head -5 | tr '\n' ' ')"
    fi
  done
  ! reg_key_exists 'HKLM\Software\Quelvaron' || fail "$what: HKLM\\Software\\Quelvaron is left"
  ! reg_key_exists "$dumps_key\\asterisk.exe" && ! reg_key_exists "$dumps_key\\quelvaron-service.exe" ||
    fail "$what: a LocalDumps key is left"
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

# The PBX whose pid <top>\var\run\asterisk.pid holds was started with -f, by its log.
pbx_logged() { # <unix path of the install folder>
  local pid
  pid=$(tr -d '\r\n' 2>/dev/null <"$1/var/run/asterisk.pid") || true
  [ -n "$pid" ] && grep -q "^start $pid .*-f -vvv" "$1/var/log/asterisk.log"
}

# The service RUNNING from <bin>, with its PBX child, answering on <port>.
assert_running_from() { # <bin> <port>
  local b=$1 port=$2
  wait_state 4 30 || fail "the service is not RUNNING (state $(sc_state))"
  local image
  image=$(reg_value "HKLM\\System\\CurrentControlSet\\Services\\$service" ImagePath)
  [ "$image" = "REG_SZ \"$b\\quelvaron-service.exe\"" ] || [ "$image" = "REG_EXPAND_SZ \"$b\\quelvaron-service.exe\"" ] ||
    fail "registered path is $image, expected \"$b\\quelvaron-service.exe\" in quotes"
  local ub tries=0
  ub=$(unixpath "$b")/..
  # RUNNING comes once the PBX is started; it writes its pid file a moment later.
  until pbx_logged "$ub" || [ $tries -ge 50 ]; do
    sleep 0.2
    tries=$((tries + 1))
  done
  pbx_logged "$ub" ||
    fail "no PBX started from $b (var\\log\\asterisk.log: $(cat "$ub/var/log/asterisk.log" 2>/dev/null))"
  [ -n "$(prefix_procs asterisk.exe)" ] || fail "no asterisk.exe process runs"
  local out
  out=$(w "$b\\quelvaron-console.exe" -p "$port" -x "core show version" 2>&1 | tr -d '\r') || true  # failing, it says how
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
  local b=$1 p
  for p in asterisk.exe quelvaron-service.exe; do
    [ "$(reg_value "$dumps_key\\$p" DumpFolder)" = "REG_EXPAND_SZ ${b%\\bin}\\var\\crash" ] &&
      [ "$(reg_value "$dumps_key\\$p" DumpType)" = "REG_DWORD 0x1" ] &&
      [ "$(reg_value "$dumps_key\\$p" DumpCount)" = "REG_DWORD 0xa" ] ||
      fail "LocalDumps of $p: $(w reg query "$dumps_key\\$p" 2>&1 | tr -d '\r' | tr '\n' ' ')"
  done
  [ "$(reg_value "$eventlog_key" TypesSupported)" = "REG_DWORD 0x7" ] ||
    fail "TypesSupported is $(reg_value "$eventlog_key" TypesSupported)"
  [ "$(reg_value "$eventlog_key" EventMessageFile)" = "REG_EXPAND_SZ $b\\quelvaron-service.exe" ] ||
    fail "EventMessageFile is $(reg_value "$eventlog_key" EventMessageFile)"
  reg_value "$env_key" PATH | grep -qF ";$b\\" || fail "PATH lacks $b: $(reg_value "$env_key" PATH)"
  [ -n "$(menu_dirs)" ] && ls "$(menu_dirs)" | grep -q '\.lnk$' || fail "no Start Menu entry"
  [ "$(our_products)" = 1 ] || fail "$(our_products) products in Programs and Features, expected 1"
}

# "<start type number> <account>" of the service, and a change of them as an
# administrator makes it (Wine's sc has no qc or config).
sc_config() { w "$bin/qv_scm_probe.exe" qc 2>/dev/null | tr -d '\r'; }
sc_set() { w "$bin/qv_scm_probe.exe" config "$@" >/dev/null || fail "the service's configuration cannot be changed"; }

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
port_edited=$(qv_free_port)

# make_payload <dir> <etc\asterisk.ini lines...>: the development payload's
# tree, with names that only a tree-aware packager gets right.
make_payload() {
  local dir=$1
  shift
  rm -rf "$dir"
  cp -R "$build/payload-dev" "$dir"
  printf '%s\r\n' "$@" >"$dir/etc/asterisk.ini"
  mkdir -p "$dir/bin/modules" "$dir/share/empty folder" "$dir/share/a-b" "$dir/share/a_b"
  echo "module 1" >"$dir/bin/modules/res_sample.so"
  echo same >"$dir/share/a-b/README"
  echo other >"$dir/share/a_b/README"
  echo long >"$dir/share/$(printf 'n%.0s' $(seq 120)).several.dots.txt"
  mkdir -p "$dir/share/sounds/en" && echo a >"$dir/share/sounds/en/a.gsm" && echo b >"$dir/share/sounds/en/b.gsm"
  printf 'MZ, a module 1.0.1 drops' >"$dir/bin/modules/res_gone.dll"
}
# build_msi <name> <version> <payload dir> [zip]: prints the MSI's path.
build_msi() {
  local only=--msi-only
  [ "${4:-}" != zip ] || only=
  bash "$root/installer/build_packages.sh" --version "$2" --bin "$bin" --payload "$3" \
    --actions "$bin/qv_msi_actions.dll" --out-dir "$work/$1" --dev $only 2>"$logs/build-$1.err" | grep "\.msi$" ||
    fail "building the MSI $1 (see $logs/build-$1.err)"
}
msiexec_log() { tr -d '\0\r' <"$logs/$1.log"; }
installed_file() { cat "$(unixpath "$1")" 2>/dev/null; }

# --- the steps --------------------------------------------------------------------------

step_build() {
  make_payload "$work/payload-n" "port=$port"
  make_payload "$work/payload-n1" "port=$port2"
  echo "module 2" >"$work/payload-n1/bin/modules/res_sample.so"
  echo "only in 1.0.1" >"$work/payload-n1/etc/added.conf"
  mv "$work/payload-n1/share/sounds/en/b.gsm" "$work/payload-n1/share/sounds/en/c.gsm"
  rm "$work/payload-n1/bin/modules/res_gone.dll"
  make_payload "$work/payload-bad" "port=$port" "exit_after_ms=200"
  msi_n=$(build_msi n 1.0.0 "$work/payload-n" zip)
  msi_n1=$(build_msi n1 1.0.1 "$work/payload-n1")
  msi_bad=$(build_msi bad 1.0.0 "$work/payload-bad")
  msi_n3=$(build_msi n3 1.0.3 "$work/payload-n1")
  # 1.0.2 with a deferred action that fails after the service was registered
  # again, before the old version is removed.
  msi_fail=$work/fail.msi
  cp "$(build_msi n2 1.0.2 "$work/payload-n1")" "$msi_fail"
  msibuild "$msi_fail" \
    -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('TestFailLate', 3106, 'INSTALLDIR', 'cmd.exe /c exit 1')" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('TestFailLate', 'NOT REMOVE', 6520)"

  # The actions' list of what is ours at INSTALLDIR's top.
  [ "$(msiinfo export "$msi_n" Property | tr -d '\r' | sed -n 's/^QvTopLevel\t//p')" = "$(ls "$work/payload-n" | paste -sd'|')" ] ||
    fail "QvTopLevel is $(msiinfo export "$msi_n" Property | grep QvTopLevel)"

  # A payload without etc\ or var\: both come empty, and locked.
  mkdir -p "$work/payload-bare/bin" && cp "$build/payload-dev/bin/asterisk.exe" "$work/payload-bare/bin/"
  python3 "$root/tests/installer/msi_tables_check.py" "$(build_msi bare 1.0.0 "$work/payload-bare")" >"$logs/bare.txt" ||
    fail "the MSI of a payload without etc\\ and var\\: $(cat "$logs/bare.txt")"

  # The ZIP holds the payload tree and our programs, byte for byte.
  local z=$work/zip
  mkdir -p "$z" && (cd "$z" && cmake -E tar xf "${msi_n%.msi}.zip")
  for f in quelvaron-service.exe quelvaron-console.exe quelvaron_voip.dll res_quelvaron_ami.dll; do
    cmp -s "$bin/$f" "$z/Quelvaron Asterisk/bin/$f" || fail "the ZIP's bin\\$f differs"
    rm "$z/Quelvaron Asterisk/bin/$f"
  done
  diff -r "$work/payload-n" "$z/Quelvaron Asterisk" >/dev/null || fail "the ZIP's tree differs from the payload"

  # Names Windows cannot hold, or no asterisk.exe (a leading '-' removes the
  # file), stop the build with a message and leave no package.
  local bad reason
  while IFS='|' read -r bad reason; do
    make_payload "$work/payload-x" "port=$port"
    if [ "${bad#-}" != "$bad" ]; then
      rm "$work/payload-x/${bad#-}"
    else
      mkdir -p "$(dirname "$work/payload-x/$bad")"
      echo x >"$work/payload-x/$bad"
    fi
    if bash "$root/installer/build_packages.sh" --version 1.0.0 --bin "$bin" --payload "$work/payload-x" \
      --actions "$bin/qv_msi_actions.dll" --out-dir "$work/x" 2>"$logs/build-x.err" >/dev/null; then
      fail "an MSI was built from a payload with $bad"
    fi
    grep -qF "$reason" "$logs/build-x.err" || fail "no clear message for $bad: $(cat "$logs/build-x.err")"
    [ -z "$(ls "$work/x" 2>/dev/null)" ] || fail "a package was left after the refused $bad: $(ls "$work/x")"
  done <<'TABLE'
share/a:b.txt|which Windows does not allow in a name
share/trailing.|ends in a dot or a blank
share/CON.txt|is a Windows device name
share/A_B/readme|differ only in case
-bin/asterisk.exe|holds no bin\asterisk.exe
TABLE
  echo "built; the ZIP holds the tree; bad names refused: ok"
}

step_boot() {
  wine_up "$build" fresh
  path_before=$(reg_value "$env_key" PATH)
}

step_takeover() {
  local hand
  hand=$(unixpath 'C:\handmade')
  mkdir -p "$hand"
  cp "$bin/devpbx.exe" "$hand/asterisk.exe"
  cp "$bin/chan_quelvaron.dll" "$bin/quelvaron-service.exe" "$hand/"
  printf 'port=%s\r\n' "$port" >"$hand/asterisk.ini"
  w 'C:\handmade\quelvaron-service.exe' -install >/dev/null
  w 'C:\handmade\quelvaron-service.exe' -start >/dev/null
  wait_state 4 30 || fail "the hand-registered service did not start"

  run_msiexec install 0 /i "$(winpath "$msi_n")"
  assert_running_from "$default_bin" "$port"
  assert_registration "$default_bin"
  assert_console_on_path "$port"
  msiexec_log install | grep -F "[OK] Servico 'Quelvaron Asterisk PBX Service' instalado com sucesso!" >/dev/null ||
    fail "the install log lacks the host's own -install line"
  grep -q "^exit " "$hand/asterisk.log" || fail "the hand-registered service's PBX did not stop"
  w "$bin/qv_file_versions.exe" "$default_bin" 1.0.0 >/dev/null || fail "installed file versions"
  local ud
  ud=$(unixpath "$default_dir")
  # The whole tree, empty folders too; the PBX has written its log and pid.
  # The MSI adds var\crash (the crash dumps' folder) to any payload.
  local differs
  differs=$(diff -r "$work/payload-n" "$ud" | grep -v -e "^Only in $ud/bin: quelvaron" -e "^Only in $ud/var/.*: asterisk\.\(log\|pid\|ctl\)" \
    -e "^Only in $ud/bin: res_quelvaron_ami.dll" -e "^Only in $ud/var: crash\$" || true)
  [ -z "$differs" ] || fail "the installed tree differs from the payload: $differs"
  echo "installed, taken over, running: ok"
}

step_repair() {
  local ud
  ud=$(unixpath "$default_dir")
  printf 'port=%s\r\n' "$port_edited" >"$ud/etc/asterisk.ini"
  echo "the administrator's" >"$ud/var/notes.txt"
  rm "$ud/bin/quelvaron-console.exe"
  # The administrator's service: manual start, another account, stopped.
  sc_set 3 "NT SERVICE\\$service"
  w "$default_bin\\quelvaron-service.exe" -stop >/dev/null
  wait_state 1 30 || fail "the service did not stop"
  [ "$(reg_value "$product_key" FirewallRemote)" = "REG_SZ *" ] || fail "remembered FirewallRemote: $(reg_value "$product_key" FirewallRemote)"
  run_msiexec repair 0 /i "$(winpath "$msi_n")" FIREWALL_REMOTE=LocalSubnet
  [ -f "$ud/bin/quelvaron-console.exe" ] || fail "quelvaron-console.exe did not come back"
  [ "$(sc_state)" = 1 ] || fail "the repair started the stopped service (state $(sc_state))"
  [ "$(sc_config)" = "3 NT SERVICE\\$service" ] || fail "the repair changed the registration: $(sc_config)"
  w "$default_bin\\quelvaron-service.exe" -start >/dev/null
  assert_running_from "$default_bin" "$port_edited"
  echo "repaired, edited configuration and the stopped service kept: ok"
}

step_upgrade() {
  local ud
  ud=$(unixpath "$default_dir")
  # FIREWALL_REMOTE given to the repair is remembered and used again; a value
  # given on the upgrade's command line wins over the remembered one.
  run_msiexec upgrade 0 /i "$(winpath "$msi_n1")" FIREWALL_UDP_PORTS=5060,16000-17000
  assert_running_from "$default_bin" "$port_edited"
  [ "$(reg_value "$product_key" FirewallRemote)" = "REG_SZ LocalSubnet" ] ||
    fail "the upgrade did not use the remembered FIREWALL_REMOTE: $(reg_value "$product_key" FirewallRemote)"
  [ "$(reg_value "$product_key" FirewallUdpPorts)" = "REG_SZ 5060,16000-17000" ] ||
    fail "the command line's FIREWALL_UDP_PORTS was not used: $(reg_value "$product_key" FirewallUdpPorts)"
  [ "$(sc_config)" = "3 NT SERVICE\\$service" ] || fail "the upgrade changed the registration: $(sc_config)"
  msiexec_log upgrade | grep -F "registro deste host mantido" >/dev/null || fail "the upgrade did not keep the registration"
  sc_set 2 LocalSystem
  assert_registration "$default_bin"
  [ "$(cat "$ud/bin/modules/res_sample.so")" = "module 2" ] || fail "a changed program file was not replaced"
  [ -f "$ud/etc/added.conf" ] || fail "the configuration file 1.0.1 adds is not installed"
  [ -f "$ud/var/notes.txt" ] || fail "the administrator's data is gone"
  w reg query "$uninstall_key" /s 2>/dev/null | tr -d '\r' | grep "DisplayVersion .*1\.0\.1" >/dev/null ||
    fail "Programs and Features does not show 1.0.1"
  echo "upgraded, the console answers on the edited port: ok"
}

step_failed_upgrade() {
  local ud
  ud=$(unixpath "$default_dir")
  # Windows ends a failed install with 1603; Wine passes on the failed
  # action's own 1627 (ERROR_FUNCTION_FAILED).
  run_msiexec upgrade-fails 1627 /i "$(winpath "$msi_fail")"
  msiexec_log upgrade-fails | grep "TestFailLate" >/dev/null || fail "the planted action did not run"
  [ "$(our_products)" = 1 ] || fail "$(our_products) products after the failed upgrade"
  w reg query "$uninstall_key" /s 2>/dev/null | tr -d '\r' | grep "DisplayVersion .*1\.0\.1" >/dev/null ||
    fail "1.0.1 is no longer the installed version"
  grep -qx "port=$port_edited" <(tr -d '\r' <"$ud/etc/asterisk.ini") || fail "the edited configuration changed"
  [ -f "$ud/var/notes.txt" ] || fail "the administrator's data is gone"
  # Wine's rollback removes the files of every component the failed version
  # installed, although 1.0.1 still owns them (Windows restores them, and the
  # rollback starts the service again): here the service is left registered
  # and stopped, and a repair brings the files back. A repair keeps a stopped
  # service stopped, so the administrator starts it.
  run_msiexec repair-after-failure 0 /i "$(winpath "$msi_n1")"
  w "$default_bin\\quelvaron-service.exe" -start >/dev/null
  assert_running_from "$default_bin" "$port_edited"
  assert_registration "$default_bin"
  echo "failed upgrade: 1.0.1 stays installed: ok"

  # Wine's removal of the older version deletes the product's whole
  # UpgradeCodes key, the newer version's entry too; the repair above
  # publishes it again, so that the downgrade is seen.
  run_msiexec downgrade 1603 /i "$(winpath "$msi_n")"
  # Wine's msiexec /qn leaves the launch condition's text out of its log;
  # it is the message Windows shows and logs.
  msiexec_log downgrade | grep "LaunchConditions. Return value 0" >/dev/null ||
    fail "the downgrade was not stopped by the launch condition"
  msiinfo export "$msi_n" LaunchCondition | grep "Uma versao mais nova de Quelvaron Asterisk PBX ja esta instalada" >/dev/null ||
    fail "the MSI lacks the downgrade message"
  assert_running_from "$default_bin" "$port_edited"
  echo "downgrade refused: ok"
}

step_disabled() {
  # Wine's RemoveExistingProducts dropped 1.0.1's UpgradeCode entry; the
  # repair in failed_upgrade wrote it back, so 1.0.3 sees it.
  sc_set 4
  run_msiexec upgrade-disabled 0 /i "$(winpath "$msi_n3")"
  [ "$(sc_state)" = 1 ] || fail "the disabled service was started (state $(sc_state))"
  [ "$(sc_config | cut -d' ' -f1)" = 4 ] || fail "the service is no longer disabled: $(sc_config)"
  msiexec_log upgrade-disabled | grep -F "continua desativado" >/dev/null || fail "the log does not say the service stays disabled"
  sc_set 2
  run_msiexec repair-enabled 0 /i "$(winpath "$msi_n3")"
  w "$default_bin\\quelvaron-service.exe" -start >/dev/null
  assert_running_from "$default_bin" "$port_edited"
  echo "a disabled service through an upgrade: ok"
}

kept_default="etc/added.conf
etc/asterisk.ini
etc/extensions.conf
var/log/asterisk.log
var/notes.txt"

step_uninstall() {
  mkfifo "$work/console.in"
  "$WINE64" "$default_bin\\quelvaron-console.exe" -p "$port_edited" <"$work/console.in" >"$work/console.out" 2>&1 &
  console_pid=$!
  exec 7>"$work/console.in"
  printf 'core show version\n' >&7
  for _ in $(seq 100); do grep -q "quelvaron-devpbx" "$work/console.out" && break; sleep 0.1; done
  grep -q "quelvaron-devpbx" "$work/console.out" || fail "the interactive console did not connect"
  w "$bin/qv_scm_probe.exe" pause >/dev/null || fail "the pause control was refused"
  wait_state 7 10 || fail "the service did not pause (state $(sc_state))"
  run_msiexec uninstall 0 /x "$(winpath "$msi_n3")"
  for _ in $(seq 50); do kill -0 "$console_pid" 2>/dev/null || break; sleep 0.1; done
  ! kill -0 "$console_pid" 2>/dev/null || fail "the console from the product folder still runs"
  exec 7>&-
  msiexec_log uninstall | grep -F "var\\notes.txt" >/dev/null || fail "the uninstall log does not say what it kept"
  assert_nothing_left "uninstall while paused with a console connected" "$default_dir" "$kept_default"
}

step_purge() {
  run_msiexec reinstall 0 /i "$(winpath "$msi_n")" START_SERVICE=0
  [ "$(sc_state)" = 1 ] || fail "START_SERVICE=0 started the service (state $(sc_state))"
  [ "$(sc_config | cut -d' ' -f1)" = 2 ] || fail "START_SERVICE=0 did not register an automatic start: $(sc_config)"
  msiexec_log reinstall | grep -F "START_SERVICE=0" >/dev/null || fail "the log does not say the service was not started"
  w "$default_bin\\quelvaron-service.exe" -start >/dev/null
  assert_running_from "$default_bin" "$port_edited"
  run_msiexec purge 0 /x "$(winpath "$msi_n")" PURGE=1
  assert_nothing_left "uninstall with PURGE=1"
}

step_account() {
  run_msiexec account-install 0 /i "$(winpath "$msi_n")" SERVICE_ACCOUNT=virtual
  assert_running_from "$default_bin" "$port"
  [ "$(sc_config)" = "2 NT SERVICE\\$service" ] || fail "SERVICE_ACCOUNT=virtual registered $(sc_config)"
  run_msiexec account-upgrade 0 /i "$(winpath "$msi_n1")"
  assert_running_from "$default_bin" "$port"
  [ "$(sc_config)" = "2 NT SERVICE\\$service" ] || fail "the upgrade changed the account: $(sc_config)"
  # Wine's removal of 1.0.0 dropped 1.0.1's UpgradeCode entry: the repair
  # writes it back.
  run_msiexec account-back 0 /i "$(winpath "$msi_n1")" SERVICE_ACCOUNT=LocalSystem
  assert_running_from "$default_bin" "$port"
  [ "$(sc_config)" = "2 LocalSystem" ] || fail "SERVICE_ACCOUNT=LocalSystem left $(sc_config)"
  run_msiexec account-purge 0 /x "$(winpath "$msi_n1")" PURGE=1
  assert_nothing_left "the account switched both ways, then PURGE=1"
}

step_upgrade_files() {
  local ud
  ud=$(unixpath "$default_dir")
  run_msiexec files-install 0 /i "$(winpath "$msi_n")"
  run_msiexec files-upgrade 0 /i "$(winpath "$msi_n1")"
  [ "$(ls "$ud/share/sounds/en" | xargs)" = "a.gsm c.gsm" ] || fail "share\\sounds\\en holds $(ls "$ud/share/sounds/en" | xargs)"
  [ ! -e "$ud/bin/modules/res_gone.dll" ] || fail "the module 1.0.1 drops is still installed"
  assert_running_from "$default_bin" "$port"
  # Wine's removal of 1.0.0 dropped 1.0.1's UpgradeCode entry: a further
  # upgrade from here would go through a repair of 1.0.1 first.
  run_msiexec files-purge 0 /x "$(winpath "$msi_n1")" PURGE=1
  assert_nothing_left "an upgrade across changed files, then PURGE=1"
}

step_old_layout() {
  # As an older package (group components) installed it: no PackageLayout.
  local old=$work/old-layout.msi ud
  ud=$(unixpath "$default_dir")
  cp "$msi_n" "$old" && msibuild "$old" -q "DELETE FROM \`Registry\` WHERE \`Registry\` = 'LayoutMarker'"
  run_msiexec old-layout 0 /i "$(winpath "$old")"
  run_msiexec old-layout-upgrade 1603 /i "$(winpath "$msi_n1")"
  msiexec_log old-layout-upgrade | grep "LaunchConditions. Return value 0" >/dev/null || fail "no launch condition refused the upgrade"
  w reg query "$uninstall_key" /s 2>/dev/null | tr -d '\r' | grep "DisplayVersion .*1\.0\.0" >/dev/null || fail "1.0.0 is no longer installed"
  [ -f "$ud/share/sounds/en/b.gsm" ] && [ ! -e "$ud/share/sounds/en/c.gsm" ] || fail "the refused upgrade changed files"
  assert_running_from "$default_bin" "$port"
  run_msiexec old-layout-uninstall 0 /x "$(winpath "$old")" PURGE=1
  assert_nothing_left "a refused upgrade of an older package's product"
}

step_custom_dir() {
  run_msiexec install-custom 0 /i "$(winpath "$msi_n")" "INSTALLDIR=$custom_dir"
  assert_running_from "$custom_bin" "$port"
  assert_registration "$custom_bin"
  run_msiexec upgrade-custom 0 /i "$(winpath "$msi_n1")"
  assert_running_from "$custom_bin" "$port"

  run_msiexec uninstall-custom 0 /x "$(winpath "$msi_n1")" PURGE=1
  assert_nothing_left "uninstall from $custom_dir"
}

step_shared_dir() {
  local apps
  apps=$(unixpath 'C:\Apps')
  mkdir -p "$apps/Other App"
  echo keep >"$apps/Other App/keep.txt"
  echo keep >"$apps/readme-other.txt"
  run_msiexec install-shared 0 /i "$(winpath "$msi_n")" 'INSTALLDIR=C:\Apps\'
  assert_running_from 'C:\Apps\bin' "$port"
  run_msiexec uninstall-shared 0 /x "$(winpath "$msi_n")" PURGE=1
  [ "$(cd "$apps" && find . | sort | tr '\n' ' ')" = ". ./Other App ./Other App/keep.txt ./readme-other.txt " ] ||
    fail "PURGE=1 in a shared folder left: $(cd "$apps" && find . | tr '\n' ' ')"
  msiexec_log uninstall-shared | grep -F "mantido (nao e do produto): Other App" >/dev/null || fail "the log does not name what was left"
  rm -rf "$apps"
  assert_nothing_left "uninstall with PURGE=1 from a shared folder"
}

step_bad_pbx() {
  run_msiexec install-bad 1603 /i "$(winpath "$msi_bad")"
  # Which of the two the action sees first depends on timing: the service
  # already stopped, or still running without its PBX.
  msiexec_log install-bad | grep -e "O servico QuelvaronAsterisk parou logo apos iniciar (codigo de saida 1067)" \
    -e "O servico QuelvaronAsterisk esta em execucao sem o PBX: asterisk.exe terminou" >/dev/null ||
    fail "the failed install's log lacks its message"
  # Wine's rollback leaves the configuration components (permanent) in place.
  assert_nothing_left "failed install (msiexec exit 1603)" "$default_dir" "etc/asterisk.ini
etc/extensions.conf
var/log/asterisk.log"
}

step_no_host() {
  # The installed host quarantined: the uninstall removes the service itself.
  run_msiexec install-nohost 0 /i "$(winpath "$msi_n")"
  wait_state 4 30 || fail "the service is not RUNNING"
  rm "$(unixpath "$default_bin")/quelvaron-service.exe"
  run_msiexec uninstall-nohost 0 /x "$(winpath "$msi_n")" PURGE=1
  msiexec_log uninstall-nohost | grep "removido diretamente pelo Gerenciador de Servicos" >/dev/null ||
    fail "the service was not removed through the SCM"
  assert_nothing_left "uninstall without quelvaron-service.exe"
}

step_long_dir() {
  # A host path over 259 characters, which the host cannot run from: refused
  # with a message saying so, not a misleading one.
  local long='C:\' i
  for i in 1 2 3 4 5; do long+="pasta-longa-$i-abcdefghijklmnopqrstuvwxyz0123456789\\"; done
  run_msiexec install-long 1603 /i "$(winpath "$msi_n")" "INSTALLDIR=$long"
  msiexec_log install-long | grep "A pasta de instalacao e longa demais" >/dev/null || fail "no message for a folder too long"
  ! msiexec_log install-long | grep -F "ausente (CustomActionData)" >/dev/null || fail "a misleading message for a long folder"
  # Wine's rollback leaves the permanent configuration, and the parent
  # folders it made for the nested INSTALLDIR.
  rm -rf "$(unixpath 'C:\')"/pasta-longa-1-*
  assert_nothing_left "a folder too long"
}

steps=(build boot takeover repair upgrade failed_upgrade disabled uninstall purge shared_dir account upgrade_files old_layout custom_dir
  no_host long_dir bad_pbx)
[ $# -le 1 ] || steps=("${@:2}")
for s in "${steps[@]}"; do
  step "$s"
  "step_$s"
done
ok=1
echo "msi_test: all passed"
