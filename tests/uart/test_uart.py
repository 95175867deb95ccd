"""The real-UART tier: a small QEMU guest (software emulation) whose ttyS1 is
the kernel's 8250/16550 driver, wired by QEMU's serial character device to
fixqrv-sim on a host pseudo-terminal. FixQRV runs in the guest, its screen
(the guest's ttyS0) read through the pyte terminal emulator.

Exit code 77 (skipped) when QEMU, busybox or a kernel cannot be had, unless
FIXQRV_UART_REQUIRED is set (CI)."""

import glob
import gzip
import os
import shutil
import struct
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "../e2e"))
from harness import EXAMPLES, SIM, Session  # noqa: E402

WORK = os.environ.get("FIXQRV_UART_WORK", os.path.join(HERE, "../../build/uart"))
STATIC_BIN = os.environ.get("FIXQRV_STATIC_BIN", "")
PROBE_BIN = os.environ.get("FIXQRV_UART_PROBE", "")
SKIPPED = 77
LOW_LATENCY = 0x2000  # ASYNC_LOW_LATENCY in the driver's port flags


class Unavailable(Exception):
    pass


def run(command, **kwargs):
    return subprocess.run(command, check=True, capture_output=True, text=True, **kwargs)


def kernel():
    """A Debian cloud kernel, fetched once into the build folder."""
    found = glob.glob(os.path.join(WORK, "kernel/boot/vmlinuz-*"))
    if found:
        return found[0]
    os.makedirs(WORK, exist_ok=True)
    try:
        depends = run(["apt-cache", "depends", "linux-image-cloud-amd64"]).stdout
        names = [line.split(":", 1)[1].strip() for line in depends.splitlines()
                 if line.strip().startswith("Depends:") and "linux-image-" in line]
        if not names:
            raise Unavailable("no kernel package behind linux-image-cloud-amd64")
        for stale in glob.glob(os.path.join(WORK, "*.deb")):
            os.remove(stale)
        run(["apt-get", "download", names[0]], cwd=WORK)
        run(["dpkg", "-x", glob.glob(os.path.join(WORK, "*.deb"))[0], os.path.join(WORK, "kernel")])
    except (OSError, IndexError, subprocess.CalledProcessError) as error:
        raise Unavailable("kernel: %s" % error)
    found = glob.glob(os.path.join(WORK, "kernel/boot/vmlinuz-*"))
    if not found:
        raise Unavailable("the kernel package holds no vmlinuz")
    return found[0]


def needs_interpreter(path):
    """Whether a 64-bit ELF file names a dynamic loader (a PT_INTERP header)."""
    with open(path, "rb") as f:
        elf = f.read()
    offset, size, count = struct.unpack_from("<Q", elf, 32)[0], *struct.unpack_from("<HH", elf, 54)
    return any(struct.unpack_from("<I", elf, offset + i * size)[0] == 3 for i in range(count))


def initramfs():
    """busybox, the static fixqrv and probe, the sample programs, the init."""
    busybox = "/bin/busybox"
    if not os.path.exists(busybox) or shutil.which("cpio") is None:
        raise Unavailable("busybox-static or cpio missing")
    if needs_interpreter(busybox):  # a dynamic busybox finds no libraries in the guest
        raise Unavailable("busybox is not the static one (busybox-static)")
    root = os.path.join(WORK, "root")
    shutil.rmtree(root, ignore_errors=True)
    for folder in ("bin", "dev", "proc", "sys", "run", "tmp", "work"):
        os.makedirs(os.path.join(root, folder))
    shutil.copy(busybox, os.path.join(root, "bin/busybox"))
    shutil.copy(STATIC_BIN, os.path.join(root, "bin/fixqrv"))
    shutil.copy(PROBE_BIN, os.path.join(root, "bin/uart_probe"))
    shutil.copy(os.path.join(HERE, "init.sh"), os.path.join(root, "init"))
    for name in ("QRV1.BAS", "QRV2.BAS"):
        shutil.copy(os.path.join(EXAMPLES, name), os.path.join(root, "work"))
    listing = run(["find", "."], cwd=root).stdout
    archive = subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=listing.encode(),
                             capture_output=True, check=True).stdout
    path = os.path.join(WORK, "initramfs.cpio.gz")
    with gzip.open(path, "wb", compresslevel=1) as out:
        out.write(archive)
    return path


def program_lines(path):
    with open(path, "rb") as f:
        data = f.read().split(b"\x1a")[0]
    lines = data.replace(b"\r\n", b"\r").split(b"\r")
    return lines[:-1] if lines and lines[-1] == b"" else lines


class RealUart(unittest.TestCase):
    def setUp(self):
        qemu = shutil.which("qemu-system-x86_64")
        if qemu is None:
            raise Unavailable("qemu-system-x86_64 missing")
        self.vmlinuz = kernel()
        self.initrd = initramfs()
        self.qemu = qemu
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

    def guest_results(self):
        report = {}
        with open(self.results, "rb") as f:
            for line in f.read().decode(errors="replace").replace("\r", "").splitlines():
                key, _, value = line.partition(" ")
                report.setdefault(key, []).append(value)
        return report

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
        report = self.guest_results()
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
    try:
        suite = unittest.defaultTestLoader.loadTestsFromTestCase(RealUart)
        result = unittest.TextTestRunner(verbosity=2).run(suite)
    except Unavailable as reason:
        print("skipped:", reason)
        sys.exit(1 if os.environ.get("FIXQRV_UART_REQUIRED") else SKIPPED)
    unavailable = [e for _, e in result.errors if "Unavailable" in e]
    if unavailable and not os.environ.get("FIXQRV_UART_REQUIRED") and len(unavailable) == len(result.errors) \
            and not result.failures:
        print("skipped:", unavailable[0].strip().splitlines()[-1])
        sys.exit(SKIPPED)
    sys.exit(0 if result.wasSuccessful() else 1)
