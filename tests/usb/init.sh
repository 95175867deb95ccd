#!/bin/busybox sh
# The guest's init: FixQRV on the operator console (ttyS0) uploads through
# the kernel's ftdi_sio driver on /dev/ttyUSB0 (QEMU's emulated FTDI chip).
# What the port looked like before and after the run goes to ttyS1, which
# the host records in a file; ttyS2 answers the host's questions while the
# upload runs.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /run/lock /tmp
exec 3>/dev/ttyS1
stty -F /dev/ttyS1 raw -echo
stty -F /dev/ttyS2 raw -echo

# The USB stack and the adapter's driver, in the order the host worked out.
for module in $(cat /modules/order); do
    insmod "/modules/$module" || echo "insmod-failed $module" >&3
done
waited=0
while [ ! -e /dev/ttyUSB0 ] && [ $waited -lt 300 ]; do
    sleep 0.1
    waited=$((waited + 1))
done
latency=/sys/bus/usb-serial/devices/ttyUSB0/latency_timer
stty -a -F /dev/ttyUSB0 >/tmp/stty.before 2>/dev/null
echo "latency-before $(cat $latency)" >&3

cd /work
# FixQRV's processor time is what the children waited for have used after
# it, less what they had used before (`times` run by this shell itself: a
# subshell has no children of its own).
times >/tmp/times.before
echo "times-before $(tail -n 1 /tmp/times.before)" >&3
FIXQRV_COM7=/dev/ttyUSB0 /bin/fixqrv 7 </dev/ttyS0 >/dev/ttyS0 2>&1 &
fixqrv=$!

# FixQRV's user and system time in ticks (its name holds no blank).
ticks() {
    set -- $(cat /proc/$fixqrv/stat 2>/dev/null)
    [ $# -ge 15 ] && echo "${14} ${15}"
}
# Questions from the host, one a line; every answer ends with "done".
(
    while read -r question; do
        case "$question" in
            sample)
                echo "latency $(cat $latency 2>&1)"
                echo "lock $(cat /run/lock/LCK..ttyUSB0 2>&1)"
                ;;
            ticks)
                echo "ticks $(cut -d' ' -f1 /proc/uptime) $(ticks)"
                echo "locks $(ls /run/lock)"
                ;;
        esac
        echo done
    done
) </dev/ttyS2 >/dev/ttyS2 &
answerer=$!

wait $fixqrv
echo "exit $?" >&3
echo "exit-at $(cut -d' ' -f1 /proc/uptime)" >&3
times >/tmp/times.after
echo "times-after $(tail -n 1 /tmp/times.after)" >&3
kill $answerer

echo "latency-after $(cat $latency 2>&1)" >&3
echo "lock-after $(ls /run/lock)" >&3
stty -a -F /dev/ttyUSB0 >/tmp/stty.after 2>/dev/null
if cmp -s /tmp/stty.before /tmp/stty.after; then echo "stty-same yes" >&3; else echo "stty-same no" >&3; fi
sed 's/^/stty-before /' /tmp/stty.before >&3
sed 's/^/stty-after /' /tmp/stty.after >&3
echo "end" >&3
sync
poweroff -f
