#!/bin/busybox sh
# The guest's first process: mounts, loads the serial modules in the order the
# host resolved them, makes the machine folder and runs the checks, then powers
# the machine off (the host sees QEMU end).
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
chmod 1777 /tmp
while read -r m; do
  insmod "/lib/modules/$m" || echo "insmod $m failed"
done </lib/modules/load.order
i=0
while [ $i -lt 300 ] && ! { [ -e /dev/ttyUSB0 ] && [ -e /dev/ttyUSB1 ]; }; do usleep 100000; i=$((i + 1)); done
dmesg >/tmp/dmesg.txt
# The two adapters by the serial number the host gave them: the pty-wired one
# is COM1, the socket-wired one (CTS high, behind the host's bridge) COM3.
mkdir -p /corv
for d in /sys/bus/usb-serial/devices/ttyUSB*; do
  case "$(cat "$d/../../serial" 2>/dev/null)" in
    corv-pty) ln -s "/dev/${d##*/}" /corv/com1 ;;
    corv-cts) ln -s "/dev/${d##*/}" /corv/com3 ;;
  esac
done
ln -s /dev/ttyS1 /corv/com2
chmod 777 /corv /opt/corv/bin/LogFiles
echo "=== checks start"
sh /checks.sh
echo "=== checks end"
sync
poweroff -f
