#!/bin/busybox sh
# The guest's init: FixQRV on the operator console (ttyS0) uploads through
# the kernel's 8250 driver on ttyS1; what the port looked like before, during
# and after the run goes to ttyS2, which the host records in a file.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /run/lock /tmp
exec 3>/dev/ttyS2
stty -F /dev/ttyS2 raw -echo
line1() { grep '^1:' /proc/tty/driver/serial; }

stty -a -F /dev/ttyS1 >/tmp/stty.before
echo "flags-before $(cat /sys/class/tty/ttyS1/flags)" >&3
echo "line-before $(line1)" >&3

# While the upload runs (a good part of the file sent): the driver's flags,
# the modem lines, the lock and a second opener.
(
    while [ ! -e /tmp/done ]; do
        tx=$(line1 | sed -n 's/.* tx:\([0-9]*\).*/\1/p')
        if [ "${tx:-0}" -gt 3000 ]; then
            echo "flags-during $(cat /sys/class/tty/ttyS1/flags)" >&3
            echo "line-during $(line1)" >&3
            echo "lock-during $(cat /run/lock/LCK..ttyS1 2>&1)" >&3
            echo "second-open $(/bin/uart_probe COM2)" >&3
            break
        fi
        sleep 0.3
    done
) &
watcher=$!

cd /work
/bin/fixqrv 2 </dev/ttyS0 >/dev/ttyS0 2>&1
echo "exit $?" >&3
touch /tmp/done
wait $watcher

echo "flags-after $(cat /sys/class/tty/ttyS1/flags)" >&3
echo "line-after $(line1)" >&3
echo "lock-after $(ls /run/lock)" >&3
stty -a -F /dev/ttyS1 >/tmp/stty.after
if cmp -s /tmp/stty.before /tmp/stty.after; then echo "stty-same yes" >&3; else echo "stty-same no" >&3; fi
sed 's/^/stty-before /' /tmp/stty.before >&3
sed 's/^/stty-after /' /tmp/stty.after >&3
echo "end" >&3
sync
poweroff -f
