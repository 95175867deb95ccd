"""The real-UART tier: a small QEMU guest (software emulation) whose ttyS1 is
the kernel's 8250/16550 driver, wired by QEMU's serial character device to
fixqrv-sim on a host pseudo-terminal. FixQRV runs in the guest, its screen
(the guest's ttyS0) read through the pyte terminal emulator.

Exit code 77 (skipped) when QEMU, busybox or a kernel cannot be had, unless
FIXQRV_UART_REQUIRED is set (CI)."""

import os
import shutil
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "../e2e"))
sys.path.insert(0, os.path.join(HERE, "../qemu"))
from guest import fetch_kernel, initramfs, main, program_lines, qemu, read_report  # noqa: E402
from harness import EXAMPLES, SIM, Session  # noqa: E402

WORK = os.environ.get("FIXQRV_UART_WORK", os.path.join(HERE, "../../build/uart"))
STATIC_BIN = os.environ.get("FIXQRV_STATIC_BIN", "")
PROBE_BIN = os.environ.get("FIXQRV_UART_PROBE", "")
LOW_LATENCY = 0x2000  # ASYNC_LOW_LATENCY in the driver's port flags


class RealUart(unittest.TestCase):
    def setUp(self):
        self.qemu = qemu()
        # A Debian cloud kernel: 8250 built in, no modules needed.
        self.vmlinuz = fetch_kernel(WORK, "linux-image-cloud-amd64")
        self.initrd = initramfs(WORK, os.path.join(HERE, "init.sh"),
                                {"bin/fixqrv": STATIC_BIN, "bin/uart_probe": PROBE_BIN})
        self.dir = os.path.join(WORK, "run")
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.received = os.path.join(self.dir, "received.txt")
        self.log = os.path.join(self.dir, "sim-log.txt")
        self.results = os.path.join(self.dir, "guest-results.txt")
        self.sim = subprocess.Popen([SIM, "--print-path", "--received", self.received, "--log", self.log],
                                    stdout=subprocess.PIPE, text=True)
        self.pty = self.sim.stdout.readline().strip()
        self.session = None

    def tearDown(self):
        if self.session:
            self.session.close()
        self.sim.terminate()
        self.sim.wait()

    def boot(self):
        return Session([
            "-accel", "tcg", "-m", "256", "-display", "none", "-monitor", "none", "-no-reboot",
            "-kernel", self.vmlinuz, "-initrd", self.initrd,
            "-append", "console=ttyS0 quiet loglevel=0 panic=-1",
            "-serial", "stdio",
            "-chardev", "serial,id=line,path=" + self.pty, "-serial", "chardev:line",
            "-serial", "file:" + self.results,
        ], cwd=self.dir, program=self.qemu)

    def test_whole_upload_through_the_kernel_uart(self):
        started = time.monotonic()
        s = self.session = self.boot()
        self.assertTrue(s.wait_for_text("Uploading QRV1.BAS to KTX or RVB...", 120),
                        "\n".join(s.screen.display))
        self.assertTrue(s.wait_for_text("QRV.BAS Upload Completed.", 240), "\n".join(s.screen.display))
        self.assertEqual(s.row(6), "QRV.BAS Upload Completed.")
        self.assertEqual(s.wait_exit(60), 0, "the guest did not power off")
        print("guest run took %.1f s" % (time.monotonic() - started))

        with open(self.results, "rb") as f:
            print(f.read().decode(errors="replace"))
        report = read_report(self.results)
        self.assertEqual(report.get("exit"), ["0"])
        self.assertIn("end", report)
        with open(self.received, "rb") as f:
            received = f.read().split(b"\r\n")[:-1]
        self.assertEqual(received, program_lines(os.path.join(EXAMPLES, "QRV1.BAS")))

        # The switch to 19200 as the host side of the line saw it.
        with open(self.log) as f:
            rates = [line.split()[2] for line in f if line.split()[1:2] == ["rate"]]
        print("line rates seen by the simulator:", rates)
        self.assertIn("19200", rates)

        # The port as it was found: settings, DTR down, latency flag back.
        self.assertEqual(report.get("stty-same"), ["yes"])
        self.assertIn("DTR", report["line-during"][0])
        self.assertNotIn("DTR", report["line-after"][0])
        flags = {k: int(report[k][0], 16) for k in ("flags-before", "flags-during", "flags-after")}
        self.assertFalse(flags["flags-before"] & LOW_LATENCY)
        self.assertTrue(flags["flags-during"] & LOW_LATENCY)
        self.assertEqual(flags["flags-after"], flags["flags-before"])
        # A second opener refused; the lock gone at the end.
        self.assertEqual(report.get("second-open"), ["69"])
        self.assertNotIn("LCK..ttyS1", report["lock-after"][0])


if __name__ == "__main__":
    main(RealUart, "FIXQRV_UART_REQUIRED")
