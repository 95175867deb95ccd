"""Runs fixqrv.exe under Wine on a pseudo-terminal and reads its screen
through the pyte terminal emulator, as an operator would see it. Wine's
console shows the console's cells on the terminal and turns the bytes typed
into key events."""

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

EXE = os.environ.get("FIXQRV_EXE", "")
WINE = os.environ.get("WINE", "/usr/lib/wine/wine64")
PREFIX = os.environ.get("WINEPREFIX", "")
SIM = os.environ.get("FIXQRV_SIM", "")
EXAMPLES = os.environ.get("FIXQRV_EXAMPLES", "")


def wine_environment():
    return {**os.environ, "WINEPREFIX": PREFIX, "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml="}


def map_com_port(number, device_path):
    """Makes COM<number> of the Wine prefix the given device."""
    dosdevices = os.path.join(PREFIX, "dosdevices")
    os.makedirs(dosdevices, exist_ok=True)
    link = os.path.join(dosdevices, f"com{number}")
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(device_path, link)
    return link


class WineSession:
    def __init__(self, args=(), columns=80, rows=25, cwd=None):
        self.master, self.slave = os.openpty()
        fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        self.screen = pyte.Screen(columns, rows)
        self.stream = pyte.ByteStream(self.screen)
        self.own_workdir = cwd is None
        self.workdir = cwd or tempfile.mkdtemp(prefix="fixqrv-wine-")
        self.process = subprocess.Popen(
            [WINE, EXE, *args], stdin=self.slave, stdout=self.slave, stderr=self.slave,
            cwd=self.workdir, env=wine_environment(), start_new_session=True)

    def pump(self, seconds):
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

    def wait_for(self, predicate, timeout=30.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if predicate(self):
                return True
            self.pump(0.05)
        return predicate(self)

    def wait_for_text(self, text, timeout=30.0):
        return self.wait_for(lambda s: any(text in line for line in s.screen.display), timeout)

    def send(self, data):
        os.write(self.master, data if isinstance(data, bytes) else data.encode())

    def row(self, number):
        return self.screen.display[number - 1].rstrip()

    def cell(self, row, column):
        return self.screen.buffer[row - 1][column - 1]

    def wait_exit(self, timeout=30.0):
        end = time.monotonic() + timeout
        while self.process.poll() is None and time.monotonic() < end:
            self.pump(0.05)
        self.pump(0.2)
        return self.process.poll()

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        os.close(self.master)
        os.close(self.slave)
        if self.own_workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)


def is_yellow_on_blue(char):
    return char.fg == "brown" and char.bold and char.bg == "blue"
