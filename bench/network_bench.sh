#!/usr/bin/env bash
# The whole update through ser2net (RFC 2217 on 127.0.0.1) at round trips of
# 0, 20 and 100 ms (CorvDelayRelay adds them) against the same update on the
# local pseudo-terminal: wall time and ratio, block by block (stop-and-wait)
# and overlapped (-o). ser2net on a pseudo-terminal reports CTS down, so for
# the overlapped runs CorvDelayRelay reports it up (--cts), standing for a
# server whose unit raises CTS; a local pseudo-terminal has no CTS at all, so
# both columns are measured against the local block-by-block run. Each run
# starts from a fresh CorvSim unit; the log of each run stays in
# $CORV_BENCH_KEEP when that is set.
# Usage: bench/network_bench.sh [bin folder] [round trips...]   (build/bin; 0 20 100)
# CORV_BENCH_PROFILE holds CorvSim profile lines for every run: "wireIn=1\n"
# has the unit take the program's bytes at the line's rate, as on a serial
# line, where a pseudo-terminal passes them at once.
# CORV_BENCH_MODES="overlapped" leaves out the block-by-block runs through
# the server (at 100 ms one takes some 12 minutes), "block" the overlapped ones.
# CORV_BENCH_TCP=tcp(nodelay) has ser2net send its small answers at once
# (without it, Nagle's rule holds each answer's tail for the ACK of its head).
set -euo pipefail
bin=$(cd "${1:-build/bin}" && pwd)
shift || true
trips=("$@")
[ ${#trips[@]} -gt 0 ] || trips=(0 20 100)
CORV_BENCH_OPTS=(-d)
command -v ser2net >/dev/null || { echo "ser2net is not installed (Debian: apt-get install ser2net)"; exit 1; }

work=$(mktemp -d /tmp/corv-netbench-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ -n "${CORV_BENCH_KEEP:-}" ]; then cp -r "$work" "$CORV_BENCH_KEEP"; fi
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])'; }

# One update: $1 the round trip ("" for the local terminal), $2 "cts" to have
# the relay report CTS up, $3 CorvSim profile lines, then CorvUpdater's
# options. Prints the seconds.
run_one() {
  local trip=$1 cts=$2 profile=$3
  shift 3
  local d=$work/run$RANDOM
  mkdir -p "$d/machine" "$d/locks" "$d/home/bin"
  cp "$bin/CorvBoot" "$d/home/bin/"
  printf '%b' "$profile" > "$d/unit.txt"
  export CORVANTAROOT=$d/machine CORVANTALOCKDIR=$d/locks CORVUPDATER=$d/home
  "$bin/CorvSim" --profile "$d/unit.txt" --state "$d/state.txt" COM1 > "$d/sim.out" 2>&1 &
  local sim=$!
  pids+=("$sim")
  for _ in $(seq 100); do grep -q "ready COM1" "$d/sim.out" && break; sleep 0.1; done
  local port="COM1" ser="" relay=""
  if [ -n "$trip" ]; then
    local p
    p=$(free_port)
    printf 'connection: &com1\n  accepter: telnet(rfc2217),%s,127.0.0.1,%s\n  connector: serialdev,%s,19200n81,local\n' \
      "${CORV_BENCH_TCP:-tcp}" "$p" "$(readlink "$d/machine/com1")" > "$d/ser2net.yaml"
    ser2net -n -c "$d/ser2net.yaml" -P "$d/ser2net.pid" > "$d/ser2net.out" 2>&1 &
    ser=$!
    pids+=("$ser")
    sleep 1
    port="rfc2217://127.0.0.1:$p"
    if [ "$trip" -gt 0 ] || [ -n "$cts" ]; then
      "$bin/CorvDelayRelay" "$p" $((trip / 2)) ${cts:+--cts} > "$d/relay.out" &
      relay=$!
      pids+=("$relay")
      for _ in $(seq 50); do [ -s "$d/relay.out" ] && break; sleep 0.1; done
      port="rfc2217://127.0.0.1:$(awk '{print $2}' "$d/relay.out")"
    fi
  fi
  local t0 t1
  t0=$(date +%s.%N)
  (cd "$d" && "$bin/CorvUpdater" -y "$@" "$port" < /dev/null > "$d/run.out" 2>&1) || true
  t1=$(date +%s.%N)
  grep -q "Success: all operations are complete" "$d/run.out" || { echo "FAILED: $port $*" >&2; tail -5 "$d/run.out" >&2; }
  for p in $relay $ser $sim; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  echo "$t1 - $t0" | bc
}

printf '%-22s | %-18s | %-18s\n' "" "block by block" "overlapped (-o)"
printf '%-22s | %9s %8s | %9s %8s\n' "port" "seconds" "ratio" "seconds" "ratio"
profile=${CORV_BENCH_PROFILE:-}
local_s=$(run_one "" "" "$profile" "${CORV_BENCH_OPTS[@]}")
printf '%-22s | %9.1f %8s | %9s %8s\n' "local pty" "$local_s" "1.00" "-" "-"
modes=${CORV_BENCH_MODES:-block overlapped}
# seconds and ratio to the local run, or dashes for a mode left out
cell() { if [ -n "$1" ]; then printf '%9.1f %8.2f' "$1" "$(echo "$1 / $local_s" | bc -l)"; else printf '%9s %8s' - -; fi; }
for t in "${trips[@]}"; do
  s="" o=""
  [[ $modes == *block* ]] && s=$(run_one "$t" "" "$profile" "${CORV_BENCH_OPTS[@]}")
  [[ $modes == *overlapped* ]] && o=$(run_one "$t" cts "$profile" "${CORV_BENCH_OPTS[@]}" -o)
  printf '%-22s | %s | %s\n' "ser2net ${t} ms" "$(cell "$s")" "$(cell "$o")"
done
