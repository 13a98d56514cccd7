# Wine environment for the Windows build; sourced, not run.
#
# Each build tree has a private prefix (<build>/wineprefix).  Before any
# Windows test, and before test discovery, its server is started persistent
# and the prefix booted: otherwise every process restarts the server, the
# SCM's services come and go between calls, and Wine's background daemons
# keep ctest's output pipes open.  wine_down ends that server and nothing else.

WINE64=$(command -v wine64 || echo /usr/lib/wine/wine64)
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver64)

# The build tree that holds <dir>: the nearest parent with a CMakeCache.txt.
wine_build_dir_of() {
  local d=$1
  while [ "$d" != / ] && [ -n "$d" ]; do
    [ -f "$d/CMakeCache.txt" ] && { echo "$d"; return; }
    d=$(dirname "$d")
  done
  echo "$1"
}

wine_env_for() {
  export WINEPREFIX=${WINEPREFIX:-$1/wineprefix}
  export WINEDEBUG=-all
  # No Mono or Gecko installer prompts: nothing here needs them.
  export WINEDLLOVERRIDES="mscoree,mshtml="
}

# wine_up <build dir> [fresh]: start and boot the prefix's server.
wine_up() {
  wine_env_for "$1"
  if [ "${2:-}" = fresh ]; then
    WINEPREFIX=$WINEPREFIX "$WINESERVER" -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  fi
  mkdir -p "$WINEPREFIX"
  "$WINESERVER" -p </dev/null >/dev/null 2>&1
  "$WINE64" wineboot </dev/null >/dev/null 2>&1
  # wineboot returns before services.exe is fully up; ask the SCM once.
  "$WINE64" sc query eventlog </dev/null >/dev/null 2>&1 || true
}

wine_down() {
  [ -n "${WINEPREFIX:-}" ] || return 0
  "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
  "$WINESERVER" -w </dev/null >/dev/null 2>&1 || true
}

# A TCP port on 127.0.0.1 that nothing listens on, away from the usual 5038:
# Wine's programs share the host's ports with every other prefix.
qv_free_port() {
  local p
  for _ in $(seq 50); do
    p=$((20000 + RANDOM % 20000))
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return; }
  done
  return 1
}
