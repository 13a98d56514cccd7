#!/usr/bin/env bash
# The product's main job, shown end to end on this machine: installs what is
# missing, builds what the demonstration needs (native preset), and runs each
# section below in turn.
#
# Sections are functions named section_*, run in the order of the `sections`
# list at the end; a new section is a new function plus its name in that list.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

heading() { printf '\n==== %s\n' "$*"; }
step() { printf '\n---- %s\n' "$*"; }

heading "Setup and native build"
bash scripts/setup.sh
native=build/native
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc 2>/dev/null || echo 2)" --target devpbx quelvaron-console

# ---------------------------------------------------------------------------
# The remote console against the development PBX (the stand-in for
# asterisk.exe, carrying the res_quelvaron_ami plug-in and the sample
# endpoints of the chan_quelvaron stand-in).

pbx_pid=
stop_pbx_by_force() {
  if [ -n "$pbx_pid" ] && kill -0 "$pbx_pid" 2>/dev/null; then
    echo "run.sh: stopping the development PBX (pid $pbx_pid) by force" >&2
    kill "$pbx_pid" 2>/dev/null || true
    sleep 1
    kill -9 "$pbx_pid" 2>/dev/null || true
  fi
}
trap stop_pbx_by_force EXIT

# The manager port: 5038 unless something already listens there.
pick_port() {
  local p
  for p in 5038 15038 25038 35038 45038; do
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
      echo "$p"
      return
    fi
  done
  echo "run.sh: no free manager port found" >&2
  return 1
}

section_console_demo() {
  heading "quelvaron-console against the development PBX"
  # A folder of its own: devpbx reads devpbx.ini and writes devpbx.log and
  # devpbx.pid beside its executable.
  local run=$native/run
  rm -rf "$run"
  mkdir -p "$run"
  cp "$native/bin/devpbx" "$run/devpbx"
  local port
  port=$(pick_port)
  printf 'port=%s\n' "$port" >"$run/devpbx.ini"
  local console=$native/bin/quelvaron-console

  step "Starting the development PBX: $run/devpbx -f -vvv (AMI on 127.0.0.1:$port)"
  "$run/devpbx" -f -vvv >"$run/devpbx.out" 2>&1 &
  pbx_pid=$!
  local i
  for i in $(seq 200); do
    [ -s "$run/devpbx.pid" ] && break
    kill -0 "$pbx_pid" 2>/dev/null || break
    sleep 0.05
  done
  cat "$run/devpbx.out"
  local shown
  shown=$(wc -l <"$run/devpbx.out")
  [ -s "$run/devpbx.pid" ] || { echo "run.sh: the development PBX did not start" >&2; return 1; }

  step "quelvaron-console -p $port -x \"quelvaron show endpoints\""
  "$console" -p "$port" -x "quelvaron show endpoints"

  step "quelvaron-console -p $port -x \"core show version\""
  "$console" -p "$port" -x "core show version"

  step "Interactive session: printf 'core show uptime\\nquelvaron show endpoints\\nquit\\n' | quelvaron-console -p $port"
  printf 'core show uptime\nquelvaron show endpoints\nquit\n' | "$console" -p "$port"
  echo

  step "Stopping it as the service does: devpbx -rx \"core stop gracefully\""
  "$run/devpbx" -rx "core stop gracefully"
  local code=0
  wait "$pbx_pid" || code=$?
  pbx_pid=
  tail -n +"$((shown + 1))" "$run/devpbx.out"
  echo "development PBX exit code: $code"
  step "Its log ($run/devpbx.log)"
  cat "$run/devpbx.log"
  [ "$code" -eq 0 ]
}

# ---------------------------------------------------------------------------
# The product as a Windows administrator receives it, under Wine: the MSI
# built, installed silently, the service running and the console answering,
# then uninstalled with nothing left (its own script, which cleans up after
# itself).

section_windows_msi() {
  trap - EXIT
  bash scripts/run_msi_flow.sh
}

sections=(section_console_demo section_windows_msi)
for s in "${sections[@]}"; do
  "$s"
done
heading "Done"
