"""Runs the real fixqrv binary on a pseudo-terminal and reads its screen
through the pyte terminal emulator, as an operator would see it."""

import fcntl
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time

import pyte
from pyte import modes

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


class ViewScreen(pyte.Screen):
    """A terminal that notes each place the program addresses or draws
    outside it (`outside`) and the lowest row it addresses. What the program
    wrote for the old size may still be on its way after a resize: that
    counts from the program's next clearing of the whole display on."""

    def __init__(self, columns, lines):
        self.outside = []
        self.lowest_addressed = 0
        self.settled = True
        super().__init__(columns, lines)
        self.lowest_addressed = 0

    def resize(self, lines=None, columns=None):
        super().resize(lines, columns)
        self.settled = False

    def erase_in_display(self, how=0, *args, **kwargs):
        if how == 2:
            self.settled = True
        super().erase_in_display(how, *args, **kwargs)

    def cursor_position(self, line=None, column=None):
        self.lowest_addressed = max(self.lowest_addressed, line or 1)
        if self.settled and ((line or 1) > self.lines or (column or 1) > self.columns):
            self.outside.append(("cursor to", line, column, "on", self.lines, self.columns))
        super().cursor_position(line, column)

    def set_margins(self, top=None, bottom=None, *args, **kwargs):
        if self.settled and (bottom or 0) > self.lines:
            self.outside.append(("scrolling region to", bottom, "on", self.lines))
        super().set_margins(top, bottom, *args, **kwargs)

    def draw(self, data):
        # Characters past the right edge wrap to the next row.
        if self.settled and modes.DECAWM in self.mode and self.cursor.x + len(data) > self.columns:
            self.outside.append(("wrapped", self.cursor.y + 1, data))
        super().draw(data)


class Session:
    """The program on a pseudo-terminal. With job_control, as a shell's job:
    the terminal is its controlling terminal, it runs in the foreground
    process group, stop signals stop it and resizes signal it."""

    def __init__(self, args=(), columns=80, rows=25, cwd=None, env=None, program=None, screen=None,
                 job_control=False):
        self.master, self.slave = os.openpty()
        fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        self.modes_before = termios.tcgetattr(self.slave)
        self.stty_before = self.stty()
        self.screen = screen or pyte.Screen(columns, rows)
        self.stream = pyte.ByteStream(self.screen)
        self.own_workdir = cwd is None
        self.workdir = cwd or tempfile.mkdtemp(prefix="fixqrv-e2e-")
        self.job_control = job_control
        # The upload log goes to a folder of the session's own, never to the
        # log of whoever runs the tests.
        self.state_home = tempfile.mkdtemp(prefix="fixqrv-e2e-state-")
        self.upload_log = os.path.join(self.state_home, "fixqrv", "uploads.csv")
        command = [program or BIN, *args]
        if job_control:
            command = [sys.executable, os.path.join(HERE, "job_shell.py"), *command]
        self.process = subprocess.Popen(
            command, stdin=self.slave, stdout=self.slave, stderr=self.slave,
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

    def stty(self):
        """The terminal's modes as `stty -g` gives them."""
        return subprocess.run(["stty", "-g"], stdin=self.slave, capture_output=True, text=True,
                              check=True).stdout.strip()

    def descendants(self):
        found, todo = [], [self.process.pid]
        while todo:
            pid = todo.pop()
            found.append(pid)
            try:
                for task in os.listdir(f"/proc/{pid}/task"):
                    with open(f"/proc/{pid}/task/{task}/children") as f:
                        todo.extend(int(child) for child in f.read().split())
            except OSError:
                pass
        return found

    def program_pid(self, timeout=10.0):
        """The FixQRV process, started directly or by the simulator."""
        name = os.path.basename(BIN)[:15]
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            for pid in self.descendants():
                try:
                    with open(f"/proc/{pid}/comm") as f:
                        if f.read().strip() == name:
                            return pid
                except OSError:
                    pass
            time.sleep(0.02)
        raise AssertionError("no FixQRV process")

    def stopped(self, pid):
        try:
            with open(f"/proc/{pid}/stat") as f:
                return f.read().rsplit(")", 1)[1].split()[0] == "T"
        except OSError:
            return False

    def resize(self, columns, rows):
        """The window made that size, as a terminal emulator does it."""
        self.screen.resize(rows, columns)
        fcntl.ioctl(self.master, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        if not self.job_control:  # no controlling terminal to signal it
            os.kill(self.program_pid(), signal.SIGWINCH)

    def close(self):
        if self.process.poll() is None:
            for pid in reversed(self.descendants()):
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
            self.process.wait()
        os.close(self.master)
        os.close(self.slave)
        if self.own_workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)
        shutil.rmtree(self.state_home, ignore_errors=True)


def is_yellow_on_blue(char):
    return char.fg == "brown" and char.bold and char.bg == "blue"
