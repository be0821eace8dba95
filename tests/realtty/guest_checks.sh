#!/bin/sh
# The checks that run inside the guest: CorvUpdater through the kernel's own
# serial drivers, ftdi_sio on two QEMU FTDI adapters, one wired to a host pty
# (COM1, CTS low) and one to a socket behind the host's rate bridge (COM3, CTS
# high), and 8250 on /dev/ttyS1 (COM2), each wired to a CorvSim unit (the
# default Display, software 4.90) on the host. Every check prints one PASS or
# FAIL line; the last line is "N passed, M failed". Runs as root; a second user
# (uid 1000) plays the other program that wants the port.
PROG=/opt/corv/bin/CorvUpdater
LOGS=/opt/corv/bin/LogFiles
export CORVANTAROOT=/corv
USB=$(readlink /corv/com1)
LAT=/sys/bus/usb-serial/devices/${USB##*/}/latency_timer
CTS=$(readlink /corv/com3)
W=/tmp/work
mkdir -p $W
passed=0
failed=0

check() {  # check NAME CONDITION-EXIT-STATUS [detail]
  if [ "$2" -eq 0 ]; then
    passed=$((passed + 1)); echo "PASS: $1"
  else
    failed=$((failed + 1)); echo "FAIL: $1${3:+ ($3)}"
  fi
}
has() { grep -q -- "$2" "$1"; }  # has FILE TEXT
yes_if() { if "$@" >/dev/null 2>&1; then echo 0; else echo 1; fi; }
newest_log() { ls -t $LOGS/*.log 2>/dev/null | head -1; }
as_other() { su -s /bin/sh line -c "$*"; }  # as_other COMMAND-LINE

# run NAME OUT ARGS...: one run of the program in the foreground, with its
# wall time; its exit status is left in $rc.
run() {
  name=$1; out=$2; shift 2
  t0=$(date +%s)
  timeout -s KILL 240 $PROG "$@" </dev/null >"$out" 2>&1
  rc=$?
  echo "time: $name $(( $(date +%s) - t0 )) s (exit $rc)"
}

# watch OUT: in the background while a run holds COM1, notes whether the
# latency timer read 1, whether another user was refused the device, and what a
# second run found (as root and as the other user).
watch_port() {
  out=$1; seen1=0; excl=none; second=none; other=none
  i=0
  while [ $i -lt 1200 ] && ! pidof CorvUpdater >/dev/null; do usleep 50000; i=$((i + 1)); done
  i=0
  while [ $i -lt 2400 ] && pidof CorvUpdater >/dev/null; do
    [ "$(cat $LAT 2>/dev/null)" = 1 ] && seen1=1
    if [ $seen1 = 1 ] && [ $excl = none ]; then
      if as_other stty -F $USB >/dev/null 2>$W/excl.err; then excl=opened
      elif grep -qi busy $W/excl.err; then excl=refused
      else excl="error:$(cat $W/excl.err)"; fi
    fi
    if [ "$second" = none ] && [ "$excl" != none ] && [ -n "$SECOND" ]; then
      timeout -s KILL 60 $PROG -y -i COM1 </dev/null >$W/second-root.txt 2>&1 &
      timeout -s KILL 60 su -s /bin/sh line -c "$PROG -y -i COM1" </dev/null >$W/second-other.txt 2>&1 &
      second=started
    fi
    usleep 50000; i=$((i + 1))
  done
  wait
  echo "seen1=$seen1 excl=$excl second=$second" >"$out"
}

echo "guest: $(uname -r), $(cat /proc/cpuinfo | grep -c ^processor) cpu"
ls -l /sys/bus/usb-serial/devices/ 2>/dev/null
chmod 666 $USB $CTS /dev/ttyS1 2>/dev/null
echo "guest: COM1 is $USB, COM3 is $CTS"

# --- the devices -----------------------------------------------------------
driver() { basename "$(readlink "/sys/bus/usb-serial/devices/${1##*/}/driver")"; }
check "COM1 (pty-wired adapter) is driven by ftdi_sio" $(yes_if test -n "$USB" -a "$(driver "$USB")" = ftdi_sio) "$USB"
check "COM3 (socket-wired adapter) is driven by ftdi_sio" $(yes_if test -n "$CTS" -a "$(driver "$CTS")" = ftdi_sio) "$CTS"
check "ttyS1 is a 16550A under 8250" $(yes_if grep -q "ttyS1.*16550A" $W/../dmesg.txt)
# QEMU's adapter reports a latency timer of 0 to the driver: give it the
# common chip's 16 ms, as a real adapter starts.
echo 16 >$LAT
check "ftdi_sio latency timer set to 16" $(yes_if test "$(cat $LAT)" = 16) "$(cat $LAT)"

# --- ftdi_sio: interrogation, then a full update ----------------------------
run "usb -i" $W/i1.txt -y -i COM1
check "usb: interrogation finds software 4.90" $(yes_if has $W/i1.txt "Software:     v4.90") "exit $rc"

SECOND=1 watch_port $W/watch1.txt &
wp=$!
run "usb full update" $W/u1.txt -y COM1
urc=$rc
wait $wp
cat $W/watch1.txt
check "usb: full update succeeds" $(yes_if test $urc = 0 -a -n "$(grep 'Success: all operations are complete' $W/u1.txt)") "exit $urc"
check "usb: latency timer 1 ms while the port is held" $(yes_if has $W/watch1.txt "seen1=1")
check "usb: latency timer back to 16 after a normal end" $(yes_if test "$(cat $LAT)" = 16) "$(cat $LAT)"
check "usb: exclusive flag keeps another user out while held" $(yes_if has $W/watch1.txt "excl=refused")
# A second run on a held port stops with the port-in-use message, or waits
# (a line of dots after "Opening COM1") and gets the port after the first run.
waited_or_stopped() {
  has $1 "COM1 is being used by another application" ||
    { grep -A1 "^Opening COM1" $1 | grep -q '^\.\.\.' && has $1 "Software:"; }
}
check "usb: second run as root waits or finds the port in use" $(yes_if waited_or_stopped $W/second-root.txt)
check "usb: second run as another user waits or finds the port in use" $(yes_if waited_or_stopped $W/second-other.txt)
check "usb: exclusive flag gone after the run" $(yes_if as_other stty -F $USB)
run "usb -i after update" $W/i2.txt -y -i COM1
check "usb: unit reports 5.10 after the update" $(yes_if has $W/i2.txt "Software:     v5.10")

# --- ftdi_sio at the high rates -----------------------------------------
# The 460800 run asks for overlapped writing: this adapter's CTS is low, so
# the run switches it off and writes block by block.
for r in 921600 460800; do
  o=; [ $r = 460800 ] && o=-o
  run "usb -w $o -r $r" $W/r$r.txt -y -w $o -r $r COM1
  check "usb: software write at $r" \
    $(yes_if test $rc = 0 -a -n "$(grep 'Success: all operations are complete' $W/r$r.txt)") "exit $rc"
  log=$(newest_log)
  check "usb: $r kept (no fallback)" $(yes_if test -n "$log" -a -z "$(grep 'does not support requested baud rate' "$log")")
done
check "usb: -o with CTS low turns overlapped mode off" \
  $(yes_if test -n "$(grep 'no CTS signal received from unit, overlapped mode turned off' $W/r460800.txt)" \
    -a -z "$(grep 'Using overlapped' $W/r460800.txt)")

# --- SIGINT in the middle of an update, with a custom latency timer ---------
echo 5 >$LAT
(
  i=0
  while [ $i -lt 1200 ]; do
    grep -q "Updating Corvanta software" $W/int.txt 2>/dev/null && break
    usleep 50000; i=$((i + 1))
  done
  sleep 1
  echo "latency before SIGINT: $(cat $LAT)"
  kill -INT $(pidof CorvUpdater)
) &
kp=$!
run "usb SIGINT mid-update" $W/int.txt -y -w COM1
wait $kp
tail -n 3 $W/int.txt
check "usb: SIGINT ends the run with status 1" $(yes_if test $rc = 1) "exit $rc"
log=$(newest_log)
check "usb: the log says aborted" $(yes_if grep -q -- "-- aborted" "$log")
check "usb: latency timer back to 5 after SIGINT" $(yes_if test "$(cat $LAT)" = 5) "$(cat $LAT)"
check "usb: exclusive flag gone after SIGINT" $(yes_if as_other stty -F $USB)
# The unit stopped in its programmer: the run asks for a power cycle, which
# the host gives when the console says so; the unit then comes up to date.
# power_cycled_update WHAT
power_cycled_update() {
  (
    i=0
    while [ $i -lt 1200 ]; do
      grep -q "please turn the unit power off" $W/after.txt 2>/dev/null && { echo "=== power-cycle COM1"; break; }
      usleep 50000; i=$((i + 1))
    done
  ) &
  pp=$!
  run "usb after $1" $W/after.txt -y COM1
  kill $pp 2>/dev/null; wait $pp 2>/dev/null
  check "usb: the run after $1 succeeds" \
    $(yes_if test $rc = 0 -a -n "$(grep 'Success: all operations are complete' $W/after.txt)") "exit $rc"
  run "usb -i after $1" $W/i3.txt -y -i COM1
  check "usb: unit at 5.10 after the run that followed $1" $(yes_if has $W/i3.txt "Software:     v5.10")
}
power_cycled_update SIGINT
check "usb: latency timer still 5" $(yes_if test "$(cat $LAT)" = 5) "$(cat $LAT)"
echo 16 >$LAT

# --- ftdi_sio: the adapter pulled out in the flash pass, then put back --------
# The host takes the device away (QEMU's device_del) once the software is being
# written: the hung-up port fails every read and write at once, so the run ends
# through its fatal path within seconds and without spinning. Times from the
# guest's clock: when the device left sysfs, when the program had ended, and
# the processor time it used meanwhile (USER_HZ ticks from /proc).
uptime_cs() { tr -d . </proc/uptime | cut -d' ' -f1; }
cpu_ticks() { set -- $(sed 's/^.*) //' /proc/$1/stat 2>/dev/null); [ $# -ge 13 ] && echo $((${12} + ${13})); }
usb_name=${USB##*/}
mkdir -p /tmp/locks
export CORVANTALOCKDIR=/tmp/locks
(
  i=0
  while [ $i -lt 1200 ] &&
    ! sed -n '/Updating Corvanta software/,$p' $W/unplug.txt 2>/dev/null | grep -q '\.\.\.\.\.\.\.\.\.\.'; do
    usleep 50000; i=$((i + 1))
  done
  pid=$(pidof CorvUpdater)
  [ -n "$pid" ] || { echo "unplug: no run in its flash pass"; exit 0; }
  echo "=== unplug COM1"
  i=0
  while [ $i -lt 3000 ] && [ -e /sys/bus/usb-serial/devices/$usb_name ]; do usleep 10000; i=$((i + 1)); done
  t0=$(uptime_cs); c0=$(cpu_ticks $pid); c=$c0
  while [ -d /proc/$pid ]; do n=$(cpu_ticks $pid); [ -n "$n" ] && c=$n; usleep 10000; done
  t1=$(uptime_cs)
  echo "ended_cs=$((t1 - t0)) cpu_ticks=$((c - ${c0:-0}))" >$W/unplug.watch
) &
up=$!
run "usb unplugged in the flash pass" $W/unplug.txt -y -w COM1
wait $up
unset CORVANTALOCKDIR
tail -n 3 $W/unplug.txt
ended_cs=99999 cpu_ticks=99999
[ -f $W/unplug.watch ] && . $W/unplug.watch
echo "unplug: ended $((ended_cs / 100)).$(printf %02d $((ended_cs % 100))) s after the unplug, processor time $((cpu_ticks / 100)).$(printf %02d $((cpu_ticks % 100))) s"
check "usb unplugged: fatal error, status 1" $(yes_if test $rc = 1 -a -n "$(grep 'Fatal Error: ' $W/unplug.txt)") "exit $rc"
check "usb unplugged: ended within 5 s of the unplug" $(yes_if test "$ended_cs" -lt 500) "$ended_cs cs"
check "usb unplugged: under 1 s of processor time after the unplug" $(yes_if test "$cpu_ticks" -lt 100) "$cpu_ticks ticks"
check "usb unplugged: lock file gone" $(yes_if test ! -e /tmp/locks/lockCorvantaCommPort1)
log=$(newest_log)
grep -a ': COM1: ' "$log"
check "usb unplugged: the log names the port's error once" $(yes_if test "$(grep -ac ': COM1: ' "$log")" = 1)
# Put back, the adapter may get another ttyUSB name: COM1 follows it.
echo "=== replug COM1"
USB=
i=0
while [ $i -lt 300 ] && [ -z "$USB" ]; do
  for d in /sys/bus/usb-serial/devices/ttyUSB*; do
    [ "$(cat "$d/../../serial" 2>/dev/null)" = corv-pty ] && USB=/dev/${d##*/}
  done
  usleep 100000; i=$((i + 1))
done
i=0
while [ $i -lt 100 ] && [ -n "$USB" ] && [ ! -e "$USB" ]; do usleep 100000; i=$((i + 1)); done
check "usb: the adapter is back" $(yes_if test -n "$USB" -a -e "$USB") "$USB"
ln -sfn "$USB" /corv/com1
chmod 666 $USB
LAT=/sys/bus/usb-serial/devices/${USB##*/}/latency_timer
echo 16 >$LAT
echo "guest: COM1 is now $USB"
power_cycled_update "the unplug"

# Even parity: the host reads QEMU's trace for it, between the rates 300 and
# 600 set here as marks (the program never uses either).
stty -F $USB 300
run "usb -i -p1" $W/p1.txt -y -i -p1 COM1
stty -F $USB 600
check "usb: interrogation with even parity" $(yes_if test $rc = 0) "exit $rc"

# --- ftdi_sio with CTS high (COM3): the socket-wired adapter -----------------
# QEMU reports CTS high on it and sends the rate only to its trace, from
# which the host's bridge sets the rate on the unit's pty.
run "cts -i" $W/c1.txt -y -i COM3
check "cts: interrogation finds software 4.90" $(yes_if has $W/c1.txt "Software:     v4.90") "exit $rc"
for r in 921600 128000; do
  run "cts -w -o -r $r" $W/o$r.txt -y -w -o -r $r COM3
  check "cts: -o with CTS high writes overlapped at $r" \
    $(yes_if test -n "$(grep 'Using overlapped (duplex) comms' $W/o$r.txt)" -a -z "$(grep 'no CTS signal' $W/o$r.txt)")
  check "cts: overlapped software write at $r succeeds" \
    $(yes_if test $rc = 0 -a -n "$(grep 'Success: all operations are complete' $W/o$r.txt)") "exit $rc"
  log=$(newest_log)
  check "cts: $r kept (no fallback)" $(yes_if test -n "$log" -a -z "$(grep 'does not support requested baud rate' "$log")")
done
run "cts -i after the writes" $W/c2.txt -y -i COM3
check "cts: unit reports 5.10 after the overlapped writes" $(yes_if has $W/c2.txt "Software:     v5.10")

# --- 8250 on ttyS1 (COM2) -------------------------------------------------
run "16550 -i" $W/s1.txt -y -i COM2
check "16550: interrogation finds software 4.90" $(yes_if has $W/s1.txt "Software:     v4.90") "exit $rc"
run "16550 full update -r 921600" $W/s2.txt -y -r 921600 COM2
check "16550: full update succeeds" \
  $(yes_if test $rc = 0 -a -n "$(grep 'Success: all operations are complete' $W/s2.txt)") "exit $rc"
log=$(newest_log)
check "16550: 921600 falls back (log)" $(yes_if grep -q "does not support requested baud rate" "$log")
check "16550: 921600 falls back (screen)" $(yes_if has $W/s2.txt "falling back to standard speed")
run "16550 -i after update" $W/s3.txt -y -i COM2
check "16550: unit reports 5.10 after the update" $(yes_if has $W/s3.txt "Software:     v5.10")

for f in $W/*.txt; do
  case $f in */u1.txt|*/int.txt|*/s2.txt|*/second-*.txt) echo "--- $f"; tail -n 4 "$f";; esac
  [ $failed -gt 0 ] && case $f in */after.txt|*/i3.txt|*/p1.txt|*/c?.txt|*/o*.txt|*/r*.txt) echo "--- $f"; cat "$f";; esac
done
echo "$passed passed, $failed failed"
