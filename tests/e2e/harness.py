"""Runs the real fixqrv binary on a pseudo-terminal and reads its screen
through the pyte terminal emulator, as an operator would see it."""

import fcntl
import os
import select
import shutil
import struct
import subprocess
import tempfile
import termios
import time

import pyte

HERE = os.path.dirname(os.path.abspath(__file__))
BIN = os.environ.get("FIXQRV_BIN", os.path.join(HERE, "../../build/fixqrv"))
SIM = os.environ.get("FIXQRV_SIM", os.path.join(HERE, "../../build/tools/fixqrv-sim"))
EXAMPLES = os.path.join(HERE, "../../examples")


def program_folder(prefix):
    """A scratch folder holding the two sample programs, as FixQRV's working directory."""
    folder = tempfile.mkdtemp(prefix=prefix)
    for name in ("QRV1.BAS", "QRV2.BAS"):
        shutil.copy(os.path.join(EXAMPLES, name), folder)
    return folder


class Session:
    def __init__(self, args=(), columns=80, rows=25, cwd=None, env=None, program=None, screen=None):
        self.master, self.slave = os.openpty()
        fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        self.modes_before = termios.tcgetattr(self.slave)
        self.screen = screen or pyte.Screen(columns, rows)
        self.stream = pyte.ByteStream(self.screen)
        self.own_workdir = cwd is None
        self.workdir = cwd or tempfile.mkdtemp(prefix="fixqrv-e2e-")
        # The upload log goes to a folder of the session's own, never to the
        # log of whoever runs the tests.
        self.state_home = tempfile.mkdtemp(prefix="fixqrv-e2e-state-")
        self.upload_log = os.path.join(self.state_home, "fixqrv", "uploads.csv")
        self.process = subprocess.Popen(
            [program or BIN, *args], stdin=self.slave, stdout=self.slave, stderr=self.slave,
            cwd=self.workdir, env={**os.environ, "FIXQRV_LOG": "", "XDG_STATE_HOME": self.state_home, **(env or {})},
            start_new_session=True)

    def pump(self, seconds):
        """Feeds whatever the program writes within the given time to the emulator."""
        end = time.monotonic() + seconds
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return
            ready, _, _ = select.select([self.master], [], [], left)
            if ready:
                try:
                    data = os.read(self.master, 65536)
                except OSError:
                    return
                if not data:
                    return
                self.stream.feed(data)

    def wait_for(self, predicate, timeout=10.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if predicate(self):
                return True
            self.pump(0.05)
        return predicate(self)

    def wait_for_text(self, text, timeout=10.0):
        return self.wait_for(lambda s: any(text in line for line in s.screen.display), timeout)

    def send(self, data):
        os.write(self.master, data if isinstance(data, bytes) else data.encode())

    def row(self, number):
        return self.screen.display[number - 1].rstrip()

    def cell(self, row, column):
        return self.screen.buffer[row - 1][column - 1]

    def cursor(self):
        return self.screen.cursor.y + 1, self.screen.cursor.x + 1

    def wait_exit(self, timeout=10.0):
        end = time.monotonic() + timeout
        while self.process.poll() is None and time.monotonic() < end:
            self.pump(0.05)
        self.pump(0.1)
        return self.process.poll()

    def modes_now(self):
        return termios.tcgetattr(self.slave)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        os.close(self.master)
        os.close(self.slave)
        if self.own_workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)
        shutil.rmtree(self.state_home, ignore_errors=True)


def is_yellow_on_blue(char):
    return char.fg == "brown" and char.bold and char.bg == "blue"
