#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine; the Windows build's emulator,
# through which ctest and the test discovery start every .exe:
#   tests/wine/run.sh PROGRAM.exe [ARGUMENT...]
# The prefix is WINEPREFIX (the windows presets name build-windows/wine). A
# prefix not yet prepared is prepared here first (tests/wine/prepare.sh, under a
# lock, as two programs may start at once), so the tests also run when CI's
# preparation step was skipped. Wine's own diagnostics are off; the program's
# exit status is passed on.
set -euo pipefail

export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
unset DISPLAY WAYLAND_DISPLAY
prefix=${WINEPREFIX:-$HOME/.wine}
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
