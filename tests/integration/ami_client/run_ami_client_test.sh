#!/usr/bin/env bash
# Runs the asterisk-manager client test against a private copy of the
# development PBX on a free port.  Usage: run_ami_client_test.sh <devpbx>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
devpbx=$1
endpoints=12

cd "$here"
[ -f node_modules/asterisk-manager/package.json ] || npm ci --no-audit --no-fund

# A private copy keeps devpbx.ini/.log/.pid out of the build's bin folder.
work=$(mktemp -d)
pbx_pid=
cleanup() {
  if [ -n "$pbx_pid" ] && kill -0 "$pbx_pid" 2>/dev/null; then
    kill -9 "$pbx_pid" 2>/dev/null || true
    wait "$pbx_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
cp "$devpbx" "$work/devpbx"

port=$(node -e 'const s = require("net").createServer();
  s.listen(0, "127.0.0.1", () => { console.log(s.address().port); s.close(); });')
# exit_after_ms: a PBX orphaned by a killed test run still ends by itself.
printf 'port=%s\nendpoints=%s\nexit_after_ms=120000\n' "$port" "$endpoints" >"$work/devpbx.ini"

"$work/devpbx" -f -vvv >"$work/devpbx.out" 2>&1 &
pbx_pid=$!
for _ in $(seq 200); do
  [ -s "$work/devpbx.pid" ] && break
  kill -0 "$pbx_pid" 2>/dev/null || { cat "$work/devpbx.out"; echo "devpbx ended at start" >&2; exit 1; }
  sleep 0.05
done
[ -s "$work/devpbx.pid" ] || { echo "devpbx did not start listening" >&2; exit 1; }

status=0
QUELVARON_DEVPBX_PORT=$port QUELVARON_DEVPBX_ENDPOINTS=$endpoints node --test || status=$?

"$work/devpbx" -rx "core stop gracefully" >/dev/null || status=1
wait "$pbx_pid" || status=1
pbx_pid=
exit $status
