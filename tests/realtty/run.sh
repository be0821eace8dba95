#!/usr/bin/env bash
# CorvUpdater through Linux's real serial drivers: boots a Debian kernel in QEMU
# (software emulation) from an initramfs made here, with two of QEMU's FTDI
# adapters (ftdi_sio) and an ISA 16550 (8250, /dev/ttyS1), each wired to a
# CorvSim unit on this host, runs guest_checks.sh inside and reads its verdict
# from the guest's console. One adapter sits on the unit's pty (QEMU passes the
# rate on, CTS reads low); the other on a socket (CTS reads high) behind
# CorvRateBridge, which sets the rate from QEMU's trace. Exits non-zero on any
# failed check or a timeout.
#   bash tests/realtty/run.sh [build folder]      (default: build)
# Needs qemu-system-x86, busybox-static, cpio, kmod and apt-get download access.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
limit=${CORV_REALTTY_TIMEOUT:-540}   # seconds for the guest, boot to power-off
stage_start=$(date +%s)

work=$(mktemp -d /tmp/corv-realtty-XXXXXX)
pids=()
finish() {
  local p
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  if [ -n "${CORV_REALTTY_KEEP:-}" ]; then  # a folder for the console, trace and units' output
    mkdir -p "$CORV_REALTTY_KEEP"
    cp -r "$work"/*.txt "$work/host" "$CORV_REALTTY_KEEP/" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap finish EXIT
trap 'exit 130' INT TERM

for tool in qemu-system-x86_64 busybox cpio depmod dpkg-deb apt-get ldd; do
  command -v "$tool" >/dev/null || { echo "realtty: $tool is missing" >&2; exit 1; }
done
for prog in CorvUpdater CorvSim CorvRateBridge; do
  [ -x "$build/bin/$prog" ] || { echo "realtty: $build/bin/$prog is not built" >&2; exit 1; }
done

# --- the kernel: downloaded and unpacked, never installed -------------------
mkdir -p "$work/deb" "$work/kernel"
chmod 777 "$work/deb"  # apt's download user writes here
(
  cd "$work/deb"
  timeout 300 apt-get download -q linux-image-amd64 2>&1 | grep -v '^W:' || true
  meta=$(ls linux-image-amd64_*.deb)
  dep=$(dpkg-deb -f "$meta" Depends | sed -n 's/^\(linux-image-[^ ,]*\).*/\1/p')
  [ -n "$dep" ] || { echo "realtty: no kernel package named by $meta" >&2; exit 1; }
  timeout 300 apt-get download -q "$dep" 2>&1 | grep -v '^W:' || true
  dpkg-deb -x "$(ls "$dep"_*.deb)" "$work/kernel"
)
kver=$(ls "$work/kernel/lib/modules" | head -1)
kernel_image=$work/kernel/boot/vmlinuz-$kver
[ -f "$kernel_image" ] || { echo "realtty: no kernel image in the package" >&2; exit 1; }
echo "realtty: kernel $kver"

# --- the initramfs ---------------------------------------------------------
root=$work/root
mkdir -p "$root"/{bin,proc,sys,dev,tmp,etc,corv,lib/modules,opt/corv/bin/LogFiles}
cp "$(command -v busybox)" "$root/bin/busybox"
if ldd "$root/bin/busybox" >/dev/null 2>&1; then
  echo "realtty: busybox is not the static one (busybox-static)" >&2; exit 1
fi

# The modules the serial devices need, with what each depends on, in load order.
# The package carries no modules.dep; depmod makes one in the unpacked tree.
depmod -b "$work/kernel" "$kver"
moddir=$work/kernel/lib/modules/$kver
config=$work/kernel/boot/config-$kver
wanted=(usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio)
grep -q '^CONFIG_SERIAL_8250=m' "$config" && wanted=(8250 "${wanted[@]}")
order=()
add_module() {  # add_module PATH: its dependencies first, then itself
  local path=$1 dep line
  for m in "${order[@]}"; do [ "$m" = "$path" ] && return 0; done
  line=$(grep "^$path:" "$moddir/modules.dep")
  for dep in ${line#*:}; do add_module "$dep"; done
  order+=("$path")
}
for name in "${wanted[@]}"; do
  path=$(grep -E "(^|/)${name}\.ko(\.[a-z]+)?:" "$moddir/modules.dep" | cut -d: -f1 | head -1)
  if [ -z "$path" ]; then
    grep -qE "/${name//-/[-_]}\.ko" "$moddir/modules.builtin" &&
      continue  # built into the kernel
    echo "realtty: module $name not found" >&2; exit 1
  fi
  add_module "$path"
done
: >"$root/lib/modules/load.order"
for path in "${order[@]}"; do
  base=$(basename "$path")
  case $base in
    *.ko.xz) xz -dc "$moddir/$path" >"$root/lib/modules/${base%.xz}"; base=${base%.xz} ;;
    *.ko.zst) zstd -qdc "$moddir/$path" >"$root/lib/modules/${base%.zst}"; base=${base%.zst} ;;
    *) cp "$moddir/$path" "$root/lib/modules/$base" ;;
  esac
  echo "$base" >>"$root/lib/modules/load.order"
done
echo "realtty: modules $(tr '\n' ' ' <"$root/lib/modules/load.order")"

# The program and the libraries it loads.
cp "$build/bin/CorvUpdater" "$root/opt/corv/bin/"
ldd "$build/bin/CorvUpdater" | grep -o '/[^ ]*' | while read -r lib; do
  mkdir -p "$root$(dirname "$lib")"
  cp -L "$lib" "$root$lib"
done
cp "$here/guest_init.sh" "$root/init"
cp "$here/guest_checks.sh" "$root/checks.sh"
chmod +x "$root/init"
printf 'root:x:0:0:root:/:/bin/sh\nline:x:1000:1000:line:/tmp:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\nline:x:1000:\n' >"$root/etc/group"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

# --- the units on this host ------------------------------------------------
host=$work/host
mkdir -p "$host"
start_sim() {  # start_sim COM<N>: a default unit; waits for its ready line
  local n=$1 i
  CORVANTAROOT=$host "$build/bin/CorvSim" --state "$host/$n.state" "$n" >"$host/$n.out" 2>&1 &
  pids+=($!)
  for i in $(seq 100); do grep -q ready "$host/$n.out" && return 0; sleep 0.1; done
  echo "realtty: CorvSim $n did not start: $(cat "$host/$n.out")" >&2
  exit 1
}
start_sim COM1
usb_sim=${pids[-1]}
start_sim COM2
start_sim COM3
usb_pty=$(readlink "$host/com1")
uart_pty=$(readlink "$host/com2")
cts_pty=$(readlink "$host/com3")

# The bridge for the socket-wired adapter, on the second USB controller (bus 1):
# QEMU connects to its socket and writes the adapter's line settings to the trace.
console=$work/console.txt
trace=$work/qemu-trace.txt
bridge_out=$host/bridge.out
"$build/bin/CorvRateBridge" --listen "$work/cts.sock" --tty "$cts_pty" --trace "$trace" --bus 1 \
  >"$bridge_out" 2>&1 &
pids+=($!)
for i in $(seq 100); do grep -q ready "$bridge_out" && break; sleep 0.1; done
grep -q ready "$bridge_out" || { echo "realtty: the bridge did not start: $(cat "$bridge_out")" >&2; exit 1; }

# --- the guest -------------------------------------------------------------
# QEMU's monitor on a pair of pipes: the host pulls the pty-wired adapter out
# (device_del) and puts it back (device_add, the same chardev) when the
# guest's console asks for it.
mkfifo "$work/mon.in" "$work/mon.out"
exec 9<>"$work/mon.in"
cat "$work/mon.out" >"$work/monitor.txt" &
pids+=($!)
echo "realtty: booting the guest (limit ${limit} s)"
guest_start=$(date +%s)
status=0
timeout -k 10 "$limit" qemu-system-x86_64 \
  -machine pc -accel tcg -m 512 -smp 1 -nographic -no-reboot -monitor none \
  -kernel "$kernel_image" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 panic=-1 quiet loglevel=3 8250.nr_uarts=4" \
  -serial "file:$console" \
  -chardev "serial,id=uart,path=$uart_pty" -serial chardev:uart \
  -device qemu-xhci,id=xhci \
  -chardev "serial,id=usb,path=$usb_pty" -device usb-serial,id=usbpty,bus=xhci.0,chardev=usb,serial=corv-pty \
  -device qemu-xhci,id=xhci2 \
  -chardev "socket,id=cts,path=$work/cts.sock" -device usb-serial,bus=xhci2.0,chardev=cts,serial=corv-cts \
  -trace usb_serial_set_data -trace usb_serial_set_baud -trace serial_update_parameters \
  -chardev "pipe,id=mon,path=$work/mon" -mon chardev=mon,mode=readline \
  -D "$trace" </dev/null >"$work/qemu.out" 2>&1 &
qemu=$!
pids+=("$qemu")  # waited for in the background, so that a signal ends it at once
# The guest asks on its console for a power cycle of the adapter's unit, and
# for the adapter to be pulled out and put back; each request once.
asked() {  # asked WHAT: how often the guest has asked for it
  local n
  n=$(grep -ac "^=== $1 COM1" "$console" 2>/dev/null) || true
  echo "${n:-0}"
}
(
  cycles=0 unplugs=0 replugs=0
  while kill -0 "$qemu" 2>/dev/null; do
    n=$(asked power-cycle)
    if [ "$n" -gt "$cycles" ]; then
      cycles=$n; echo "realtty: power-cycling the unit on the adapter"; kill -USR1 "$usb_sim"
    fi
    n=$(asked unplug)
    if [ "$n" -gt "$unplugs" ]; then
      unplugs=$n; echo "realtty: pulling the adapter out"; echo "device_del usbpty" >&9
    fi
    n=$(asked replug)
    if [ "$n" -gt "$replugs" ]; then
      replugs=$n; echo "realtty: putting the adapter back"
      echo "device_add usb-serial,id=usbpty,bus=xhci.0,chardev=usb,serial=corv-pty" >&9
    fi
    sleep 0.2
  done
) &
pids+=($!)
wait "$qemu" || status=$?
guest_time=$(($(date +%s) - guest_start))
cat "$console"
[ -s "$work/qemu.out" ] && sed 's/^/qemu: /' "$work/qemu.out"
echo "realtty: guest wall time ${guest_time} s"

# --- the verdict -------------------------------------------------------------
passed=0
failed=0
host_check() {  # host_check NAME COMMAND...: passes when the command does
  local name=$1
  shift
  if "$@" >/dev/null 2>&1; then passed=$((passed + 1)); echo "PASS: $name"
  else failed=$((failed + 1)); echo "FAIL: $name"; fi
}
# The guest marks its even-parity run with the rates 300 before and 600 after
# on COM1's adapter (bus 0); the driver must have set 8 data bits, even parity
# and two stop bits between them.
even_parity_marked() {
  awk '/usb_serial_set_baud dev 0:/ { if ($NF == 300) on = 1; else if ($NF == 600) on = 0 }
       on && /usb_serial_set_data dev 0:[0-9]* parity E, data bits 8, stop bits 2/ { found = 1 }
       END { exit !found }' "$trace"
}
host_check "usb: even parity (8E2) reaches QEMU's FTDI device during the -p1 run" even_parity_marked
# The bridge heard the adapter's rounding of the programming rates.
host_check "cts: the bridge set 921600 (QEMU traced 923076)" grep -q 'rate 921600 (traced 923076) 8N2' "$bridge_out"
host_check "cts: the bridge set 128000 (QEMU traced 127659)" grep -q 'rate 128000 (traced 127659) 8N2' "$bridge_out"
echo "realtty: rates the bridge set (count, rate):"
sed -n 's/.* rate \([0-9]*\) (traced.*/\1/p' "$bridge_out" | sort -n | uniq -c | sed 's/^/  /'
grep -E 'connected' "$bridge_out" | sed 's/^/  bridge: /'
if [ "$status" -ne 0 ]; then
  echo "realtty: QEMU ended with status $status (124: the guest ran past ${limit} s)" >&2
fi
summary=$(grep -aE '^[0-9]+ passed, [0-9]+ failed' "$console" | tail -1 || true)
if [ -z "$summary" ]; then
  echo "realtty: no verdict from the guest" >&2
  failed=$((failed + 1))
else
  passed=$((passed + ${summary%% passed*}))
  rest=${summary#*, }
  failed=$((failed + ${rest%% failed*}))
fi
echo "realtty: $passed passed, $failed failed; stage time $(($(date +%s) - stage_start)) s"
[ "$status" -eq 0 ] && [ "$failed" -eq 0 ]
