#!/usr/bin/env bash
# The end-to-end tests with the Windows build under Wine: the native test
# program runs CorvUpdater.exe through Wine (CORV_UPDATER_EXE, see
# tests/common/updater_build.h) against CorvSim units of the native build:
#   tests/wine/e2e.sh NATIVE-BIN-DIR WINDOWS-BIN-DIR WINE-PREFIX
# NATIVE-BIN-DIR holds e2e_tests, CorvSim, CorvBoot and CorvUpdater (the
# console comparison runs it too); WINDOWS-BIN-DIR holds CorvUpdater.exe. A
# prefix that is not there yet is prepared first (tests/wine/prepare.sh). The
# scenarios are those Wine can show (docs/windows-wine.md: what Wine cannot show); they run
# one after another, as they share the prefix's ports and registry. Prints the
# time of each test, the counts and the total time; the status is e2e_tests'.
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 NATIVE-BIN-DIR WINDOWS-BIN-DIR WINE-PREFIX" >&2
  exit 2
fi
native=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
for f in "$native/e2e_tests" "$native/CorvSim" "$native/CorvUpdater" "$windows/CorvUpdater.exe"; do
  [ -f "$f" ] || { echo "$0: $f is missing" >&2; exit 2; }
done
mkdir -p "$3"
prefix=$(cd "$3" && pwd)
if [ ! -f "$prefix/.prepared" ] && [ ! -f "$prefix/system.reg" ]; then
  "$here/prepare.sh" "$prefix"
fi

scenarios=(
  UpdateE2E.DefaultUnitUpdatedThenAlreadyCurrent      # update, then already current
  UpdateE2E.CurrentUnitNothingWrittenThenW            # -w
  UpdateE2E.ProgrammingAt921600                       # -r 921600
  UpdateE2E.NamedPortMissingThenFoundBySearch         # a missing port
  UpdateE2E.DeclinedConfirmation                      # a piped "n", the port given back
  UpdateE2E.RefusedUnits                              # fatal errors, Message= in the job file
  UpdateManufacturingE2E.ReplacedSerialNumber         # a job file with piped answers
  JobFileE2E.FatalMessageJoinsALinuxJobFile           # status 2 and the message
  WaysOutE2E.CtrlCMidFlashPassThenRecovered           # Ctrl-C mid update
  WindowsConsoleE2E.SameConsoleAndLogAsTheLinuxBuild  # console equal to the Linux build's
  NetworkPortE2E.OverlappedUpdateAt100msRoundTrip     # through ser2net (RFC 2217) at a 100 ms round trip
)
filter=$(IFS=:; echo "${scenarios[*]}")

export CORV_BIN_DIR=$native CORV_UPDATER_EXE=$windows/CorvUpdater.exe WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
unset DISPLAY WAYLAND_DISPLAY

log=$(mktemp /tmp/corv-wine-e2e-XXXXXX.log)
trap 'rm -f "$log"' EXIT
start=$(date +%s%N)
status=0
"$native/e2e_tests" --gtest_filter="$filter" --gtest_color=no | tee "$log" || status=${PIPESTATUS[0]}
elapsed=$((($(date +%s%N) - start) / 1000000))
passed=$(grep -c '^\[       OK \]' "$log" || true)
failed=$(grep -c '^\[  FAILED  \] [A-Za-z].*(' "$log" || true)
skipped=$(grep -c '^\[  SKIPPED \] [A-Za-z].*(' "$log" || true)
echo "Wine end-to-end tests:"
grep -E '^\[ +(OK|FAILED|SKIPPED) +\] [A-Za-z].*\([0-9]+ ms\)' "$log" |
  sed -E 's/^\[ +([A-Z]+) +\] ([^ ]+) \(([0-9]+) ms\)/\1 \2 \3/' |
  awk '{ printf "  %-8s %-60s %6.1f s\n", $1, $2, $3 / 1000 }'
printf '%d passed, %d failed, %d skipped of %d in %d.%01d s\n' "$passed" "$failed" "$skipped" "${#scenarios[@]}" \
  $((elapsed / 1000)) $((elapsed % 1000 / 100))
if [ "$passed" -ne "${#scenarios[@]}" ] && [ "$status" -eq 0 ]; then
  status=1  # a scenario that did not run (a renamed test) is a failure too
fi
exit "$status"
