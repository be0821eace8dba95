#!/usr/bin/env bash
# A first run without an instrument: builds the three programs, starts CorvSim
# with the default unit (a Display, MCU type 3, software 4.90) on COM1 of a
# temporary machine folder, runs CorvUpdater -y against it, shows the unit's state
# afterwards and removes the folder. Extra arguments go to CorvUpdater;
# CORVSIM_PROFILE names another unit profile (relative to the caller's folder).
set -euo pipefail
here=$PWD
cd "$(dirname "$0")/.."
build=${CORV_BUILD_DIR:-build}  # the test preset's folder unless told otherwise
profile=()
if [ -n "${CORVSIM_PROFILE:-}" ]; then
  case $CORVSIM_PROFILE in
    /*) profile=(--profile "$CORVSIM_PROFILE") ;;
    *) profile=(--profile "$here/$CORVSIM_PROFILE") ;;
  esac
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j2 --target CorvUpdater CorvSim CorvBoot
root=$(mktemp -d /tmp/corvanta-XXXXXX)
export CORVANTAROOT=$root
sim=
finish() {
  if [ -n "$sim" ]; then
    kill -TERM "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
  fi
  if [ -f "$root/unit-state.txt" ]; then
    echo "unit state afterwards:"
    grep -E '^(mode|version|checksum|release|flags|serial)=' "$root/unit-state.txt" | sed 's/^/  /'
  fi
  rm -rf "$root"
}
trap finish EXIT
coproc SIM { exec "$build/bin/CorvSim" "${profile[@]}" --state "$root/unit-state.txt" COM1 2>&1; }
sim=$SIM_PID
ready=
read -r -t 10 ready <&"${SIM[0]}" || true
case $ready in
  ready*) echo "CorvSim: $ready (machine folder $root)" ;;
  *) echo "CorvSim did not start: ${ready:-no answer}" >&2; exit 1 ;;
esac
status=0
"$build/bin/CorvUpdater" -y "$@" COM1 </dev/null || status=$?
log=$(ls -t "$build"/bin/LogFiles/*.log 2>/dev/null | head -1 || true)
echo "CorvUpdater exit status $status; log: ${log:-none}"
exit "$status"
