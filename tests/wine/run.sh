#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine; the Windows build's emulator,
# through which ctest and the test discovery start every .exe:
#   tests/wine/run.sh PROGRAM.exe [ARGUMENT...]
# The prefix is WINEPREFIX (the windows presets set build-windows/wine), else
# the wine/ folder of the build folder that holds the program (the nearest
# folder above it with a CMakeCache.txt), so a plain ctest in the build folder
# uses it too. That prefix, when not yet prepared, is prepared here first
# (tests/wine/prepare.sh, under a lock, as two programs may start at once), so
# the tests run also when CI's preparation step was skipped. Outside a build
# folder and without WINEPREFIX, Wine's own default prefix is used as it is.
# Wine's diagnostics are off; the program's exit status is passed on.
set -euo pipefail

export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
unset DISPLAY WAYLAND_DISPLAY
prefix=${WINEPREFIX:-}
if [ -z "$prefix" ] && [ $# -gt 0 ]; then
  dir=$(cd "$(dirname "$1")" 2>/dev/null && pwd) || dir=
  while [ -n "$dir" ] && [ "$dir" != / ]; do
    if [ -f "$dir/CMakeCache.txt" ]; then
      prefix=$dir/wine
      break
    fi
    dir=$(dirname "$dir")
  done
fi
[ -n "$prefix" ] || exec wine "$@"
if [ ! -f "$prefix/.prepared" ] && [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    # The lock is not handed on to the Wine server that stays behind.
    [ -f "$prefix/.prepared" ] || "$(dirname "$0")/prepare.sh" "$prefix" >&2 9>&-
  ) 9>"$prefix.lock"
fi
export WINEPREFIX=$prefix
exec wine "$@"
