"""The USB-adapter tier: a small QEMU guest (software emulation) with an xHCI
controller and QEMU's usb-serial device, an emulated FTDI chip that the
guest kernel's own ftdi_sio driver makes /dev/ttyUSB0. The chip's line is
wired by QEMU's serial character device to fixqrv-sim on a host
pseudo-terminal. FixQRV runs in the guest, its screen (the guest's ttyS0)
read through the pyte terminal emulator.

QEMU's trace events log every control request the driver sends to the chip;
they are counted over the upload, from the first program line the
simulator stored to the last. The adapter is also pulled mid-upload
(device_del over QMP).

Exit code 77 (skipped) when QEMU, busybox or a kernel cannot be had, unless
FIXQRV_USB_REQUIRED is set (CI)."""

import collections
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "../e2e"))
sys.path.insert(0, os.path.join(HERE, "../qemu"))
from guest import (fetch_kernel, initramfs, main, module_bytes, module_load_order, program_lines,  # noqa: E402
                   qemu, read_report, run)
from harness import EXAMPLES, SIM, Session  # noqa: E402

WORK = os.path.abspath(os.environ.get("FIXQRV_USB_WORK", os.path.join(HERE, "../../build/tests/usb")))
STATIC_BIN = os.environ.get("FIXQRV_STATIC_BIN", "")
LEAST_TIME = os.environ.get("FIXQRV_LEAST_TIME", "")
MODULES = ("usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio")

# The chip's vendor requests as QEMU's trace numbers them (request type
# << 8 | request), under the names of FTDI's documents.
REQUESTS = {0x4000: "RESET", 0x4001: "SET_MODEM_CTRL", 0x4002: "SET_FLOW_CTRL", 0x4003: "SET_BAUD_RATE",
            0x4004: "SET_DATA", 0xC005: "GET_MODEM_STATUS", 0x4006: "SET_EVENT_CHAR",
            0x4007: "SET_ERROR_CHAR", 0x4009: "SET_LATENCY_TIMER", 0xC00A: "GET_LATENCY_TIMER"}
CONTROL = re.compile(r"^\d+@(\d+\.\d+):usb_serial_handle_control .* got control 0x([0-9a-f]+), value 0x([0-9a-f]+)")


def kernel_and_modules():
    """Debian's standard kernel (the cloud kernel has no USB) and the
    modules the guest loads, in load order."""
    members = ("lib/modules/*/kernel/drivers/usb/*",)
    vmlinuz = fetch_kernel(WORK, "linux-image-amd64", members)
    return vmlinuz, module_load_order(os.path.join(WORK, "kernel/lib/modules"), MODULES)


def control_requests(trace):
    """(wall time, request name, value) of every control request in QEMU's trace."""
    requests = []
    with open(trace) as f:
        for line in f:
            match = CONTROL.match(line)
            if match:
                code = int(match.group(2), 16)
                requests.append((float(match.group(1)), REQUESTS.get(code, hex(code)), int(match.group(3), 16)))
    return requests


def program_times(log):
    """Simulator times (seconds since it started) of the program lines it stored."""
    with open(log) as f:
        return [float(words[0]) for words in map(str.split, f) if words[1:2] == ["program"]]


def progress_line(session):
    """The line number the progress box shows, 0 before it does."""
    match = re.match(r"Line: (\d+)", session.row(2))
    return int(match.group(1)) if match else 0


def error_report(session):
    """The general error report's row ("ERROR: " and the number), if shown."""
    return next((row for row in session.screen.display if re.match(r"ERROR: +\d+ ", row)), None)


def process_ticks(answer):
    """Guest uptime and FixQRV's processor time in 10 ms ticks (None once
    it has ended) from an answer to "ticks"."""
    uptime, *ticks = answer["ticks"].split()
    return float(uptime), sum(map(int, ticks)) if len(ticks) == 2 else None


def child_ticks(times):
    """Processor time in 10 ms ticks from the children's half of `times`."""
    return sum(round(int(m) * 6000 + float(s) * 100) for m, s in re.findall(r"(\d+)m([\d.]+)s", times))


class Guest:
    """The guest's side lines: QMP for the monitor, and ttyS2 for questions."""

    def __init__(self, folder, session):
        self.session = session
        self.qmp = self.connect(os.path.join(folder, "qmp.sock"))
        self.qmp_in = self.qmp.makefile("r")
        json.loads(self.qmp_in.readline())  # the greeting
        self.command("qmp_capabilities")
        self.ask_socket = self.connect(os.path.join(folder, "ask.sock"))
        self.ask_in = self.ask_socket.makefile("r")

    def connect(self, path, timeout=30):
        """A line to QEMU's socket, there as soon as QEMU has started."""
        end = time.monotonic() + timeout
        while True:
            s = socket.socket(socket.AF_UNIX)
            s.settimeout(60)  # a guest that stops answering fails the test, not the run
            try:
                s.connect(path)
                return s
            except OSError:
                s.close()
                if self.session.process.poll() is not None or time.monotonic() > end:
                    self.session.pump(0.5)
                    raise AssertionError("QEMU did not start:\n" + "\n".join(self.session.screen.display))
                time.sleep(0.1)

    def command(self, name, **arguments):
        self.qmp.sendall(json.dumps({"execute": name, "arguments": arguments}).encode() + b"\n")
        while True:
            reply = json.loads(self.qmp_in.readline())
            if "return" in reply or "error" in reply:
                return reply

    def ask(self, question):
        """The guest's answer, as a dictionary of its lines."""
        self.ask_socket.sendall(question.encode() + b"\n")
        answer = {}
        for line in self.ask_in:
            line = line.strip()
            if line == "done":
                return answer
            key, _, value = line.partition(" ")
            answer[key] = value
        return answer

    def close(self):
        for s in (self.qmp, self.ask_socket):
            s.close()


class UsbAdapter(unittest.TestCase):
    def setUp(self):
        self.started = time.monotonic()
        self.qemu = qemu()
        self.vmlinuz, modules = kernel_and_modules()
        order = [os.path.basename(m).split(".ko")[0] + ".ko" for m in modules]
        data = {"modules/" + name: module_bytes(path) for name, path in zip(order, modules)}
        data["modules/order"] = "\n".join(order).encode() + b"\n"
        self.initrd = initramfs(WORK, os.path.join(HERE, "init.sh"), {"bin/fixqrv": STATIC_BIN}, data)
        self.dir = os.path.join(WORK, "run-" + self._testMethodName)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.received = os.path.join(self.dir, "received.txt")
        self.log = os.path.join(self.dir, "sim-log.txt")
        self.results = os.path.join(self.dir, "guest-results.txt")
        self.trace = os.path.join(self.dir, "trace.txt")
        # The simulator's clock starts between these two wall times.
        self.sim_wall_before = time.time()
        self.sim = subprocess.Popen([SIM, "--print-path", "--baud-pacing", "--received", self.received,
                                     "--log", self.log], stdout=subprocess.PIPE, text=True)
        self.pty = self.sim.stdout.readline().strip()
        self.sim_wall_after = time.time()
        self.session = None
        self.guest = None

    def tearDown(self):
        if self.guest:
            self.guest.close()
        if self.session:
            if self.session.process.poll():
                print("QEMU ended with exit code %d" % self.session.process.returncode)
            self.session.close()
        self.sim.send_signal(signal.SIGCONT)
        self.sim.terminate()
        self.sim.wait()
        print("test took %.1f s" % (time.monotonic() - self.started))

    def boot(self):
        self.session = Session([
            "-accel", "tcg", "-m", "256", "-display", "none", "-monitor", "none", "-no-reboot",
            "-kernel", self.vmlinuz, "-initrd", self.initrd,
            "-append", "console=ttyS0 quiet loglevel=0 panic=-1",
            "-serial", "stdio", "-serial", "file:" + self.results,
            "-chardev", "socket,id=ask,path=ask.sock,server=on,wait=off", "-serial", "chardev:ask",
            "-qmp", "unix:qmp.sock,server=on,wait=off",
            "-chardev", "serial,id=line,path=" + self.pty,
            "-device", "qemu-xhci,id=xhci", "-device", "usb-serial,chardev=line,id=adapter",
            "-msg", "timestamp=on", "-trace", "enable=usb_serial_*,file=" + self.trace,
        ], cwd=self.dir, program=self.qemu)
        self.guest = Guest(self.dir, self.session)
        return self.session

    def wait_for_progress(self, line):
        s = self.session
        self.assertTrue(s.wait_for_text("Uploading QRV1.BAS to KTX or RVB...", 180), "\n".join(s.screen.display))
        self.assertTrue(s.wait_for(lambda s: progress_line(s) >= line, 120), "\n".join(s.screen.display))

    def test_whole_upload_through_ftdi_sio(self):
        s = self.boot()
        self.wait_for_progress(100)
        during = self.guest.ask("sample")
        self.assertTrue(s.wait_for_text("QRV.BAS Upload Completed.", 240), "\n".join(s.screen.display))
        self.assertEqual(s.row(6), "QRV.BAS Upload Completed.")
        self.assertEqual(s.wait_exit(60), 0, "the guest did not power off")

        with open(self.results, "rb") as f:
            print(f.read().decode(errors="replace"))
        report = read_report(self.results)
        self.assertEqual(report.get("exit"), ["0"])
        self.assertIn("end", report)
        lines = program_lines(os.path.join(EXAMPLES, "QRV1.BAS"))
        with open(self.received, "rb") as f:
            self.assertEqual(f.read().split(b"\r\n")[:-1], lines)

        # The driver's traffic over the upload. The simulator's clock is
        # placed on the wall clock as late and as early as it can be, so
        # that no request of the upload falls outside the stretch counted.
        times = program_times(self.log)
        first, last = self.sim_wall_before + times[0], self.sim_wall_after + times[-1]
        requests = [r for r in control_requests(self.trace) if first <= r[0] <= last]
        kinds = collections.Counter(name for _, name, _ in requests)
        print("control requests from the first program line to the last: %d over %d lines" %
              (len(requests), len(lines)))
        for name, count in sorted(kinds.items()):
            print("  %-18s %5d  (%.3f a line)" % (name, count, count / len(lines)))
        upload = times[-1] - times[0]
        least = float(run([LEAST_TIME, os.path.join(EXAMPLES, "QRV1.BAS")]).stdout) if LEAST_TIME else 0
        print("upload %.2f s, least at 19200 baud %.2f s%s" %
              (upload, least, ": %.2f x" % (upload / least) if least else ""))
        cpu = child_ticks(report["times-after"][0]) - child_ticks(report["times-before"][0])
        print("FixQRV's processor time in the guest over the whole run: %.2f s" % (cpu / 100))
        print("latency timer before %s, during %s, after %s" %
              (report["latency-before"][0], during.get("latency"), report["latency-after"][0]))
        print("lock during: %s; lock files after: %s" % (during.get("lock"), report["lock-after"][0] or "none"))

        self.assertLess(len(requests), len(lines) / 100, "a control request per line")
        # Low latency while FixQRV has the port, the port as found after.
        self.assertEqual(during.get("latency"), "1")
        self.assertEqual(report["latency-after"], report["latency-before"])
        self.assertEqual(report.get("stty-same"), ["yes"])
        self.assertTrue(during.get("lock", "").strip().isdigit(), during)
        self.assertNotIn("LCK..ttyUSB0", report["lock-after"][0])

    def test_adapter_pulled_mid_upload(self):
        s = self.boot()
        self.wait_for_progress(100)
        # QEMU 7.2 crashes when its chip gets bytes from the line while it
        # is being removed (it wakes the bus it has just left): the
        # simulator is held still from a moment before the pull until QEMU
        # has ended. FixQRV is then waiting for an echo, as it mostly is.
        self.sim.send_signal(signal.SIGSTOP)
        time.sleep(0.5)
        before = self.guest.ask("ticks")
        self.assertIn("LCK..ttyUSB0", before["locks"])
        pulled = time.monotonic()
        self.assertIn("return", self.guest.command("device_del", id="adapter"))
        self.assertTrue(s.wait_for(error_report, 5), "\n".join(s.screen.display))
        reported = time.monotonic() - pulled
        shown = "\n".join(row.rstrip() for row in s.screen.display).rstrip()
        # Most of a second of the wait for the controller's answer that
        # follows the report, the device gone: a wait that spins on it
        # would take all of the processor.
        waiting = [self.guest.ask("ticks")]
        time.sleep(0.8)
        waiting.append(self.guest.ask("ticks"))
        self.assertEqual(s.wait_exit(60), 0, "the guest did not power off")

        with open(self.results, "rb") as f:
            print(f.read().decode(errors="replace"))
        report = read_report(self.results)
        self.assertEqual(report.get("exit"), ["0"])
        pulled_at, ticks_before = process_ticks(before)
        ended = float(report["exit-at"][0]) - pulled_at
        ending = child_ticks(report["times-after"][0]) - child_ticks(report["times-before"][0]) - ticks_before
        (first_at, first), (second_at, second) = map(process_ticks, waiting)
        print("the screen %.2f s after the adapter was pulled:\n%s" % (reported, shown))
        print("FixQRV ended %.2f s after the adapter was pulled, with %d processor ticks (10 ms) in between;"
              " %s ticks in %.2f s of its wait" % (ended, ending, second - first, second_at - first_at))
        print("lock files before: %s; after: %s" % (before["locks"], report["lock-after"][0] or "none"))
        self.assertLess(ended, 6)
        self.assertIsNotNone(second, "FixQRV ended before its wait was measured")
        self.assertLessEqual(second - first, 10)
        self.assertNotIn("LCK..ttyUSB0", report["lock-after"][0])


if __name__ == "__main__":
    main(UsbAdapter, "FIXQRV_USB_REQUIRED")
