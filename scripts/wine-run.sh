#!/usr/bin/env bash
# ctest's emulator for the Windows build: runs one program under Wine in the
# build tree's prefix (scripts/test.sh has booted its server).
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
wine_env_for "$(wine_build_dir_of "$PWD")"
exec "$WINE64" "$@"
