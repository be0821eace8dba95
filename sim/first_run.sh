#!/usr/bin/env bash
# A first run without an instrument: builds the programs, starts CorvSim with the
# default unit (a Display, MCU type 3, software 4.90) on COM1 of a temporary
# machine folder, and runs CorvUpdater -y against it. Extra arguments go to
# CorvUpdater; CORVSIM_PROFILE names another unit profile.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${CORV_BUILD_DIR:-build}  # the test preset's folder unless told otherwise
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target CorvUpdater CorvSim CorvBoot >/dev/null
root=$(mktemp -d /tmp/corvanta-XXXXXX)
export CORVANTAROOT=$root
profile=()
[ -n "${CORVSIM_PROFILE:-}" ] && profile=(--profile "$CORVSIM_PROFILE")
coproc SIM { exec "$build/bin/CorvSim" "${profile[@]}" --state "$root/unit-state.txt" COM1; }
sim=$SIM_PID
trap 'kill -TERM "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; echo "unit state: $root/unit-state.txt"' EXIT
read -r -t 10 ready <&"${SIM[0]}"
echo "CorvSim: $ready (machine folder $root)"
status=0
"$build/bin/CorvUpdater" -y "$@" COM1 </dev/null || status=$?
log=$(ls -t "$build"/bin/LogFiles/*.log 2>/dev/null | head -1 || true)
echo "CorvUpdater exit status $status; log: ${log:-none}"
exit "$status"
