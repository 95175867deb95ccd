"""Runs fixqrv.exe under Wine on a pseudo-terminal and reads its screen
through the pyte terminal emulator, as an operator would see it. Wine's
console shows the console's cells on the terminal and turns the bytes typed
into key events."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../e2e"))
from harness import Session, is_yellow_on_blue  # noqa: E402,F401

EXE = os.environ.get("FIXQRV_EXE", "")
WINE = os.environ.get("WINE", "/usr/lib/wine/wine64")
PREFIX = os.environ.get("WINEPREFIX", "")
SIM = os.environ.get("FIXQRV_SIM", "")
EXAMPLES = os.environ.get("FIXQRV_EXAMPLES", "")
SEND_CONSOLE_EVENT = os.environ.get("SEND_CONSOLE_EVENT", "")


def map_com_port(number, device_path):
    """Makes COM<number> of the Wine prefix the given device."""
    dosdevices = os.path.join(PREFIX, "dosdevices")
    os.makedirs(dosdevices, exist_ok=True)
    link = os.path.join(dosdevices, f"com{number}")
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(device_path, link)
    return link


class WineSession(Session):
    """The harness's session with the program started by Wine; the screen
    timeouts are longer, since Wine starts slowly."""

    def __init__(self, args=(), columns=80, rows=25, cwd=None):
        super().__init__([EXE, *args], columns, rows, cwd,
                         env={"WINEPREFIX": PREFIX, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="},
                         program=WINE)

    def wait_for(self, predicate, timeout=30.0):
        return super().wait_for(predicate, timeout)

    def wait_for_text(self, text, timeout=30.0):
        return super().wait_for_text(text, timeout)

    def wait_exit(self, timeout=30.0):
        return super().wait_exit(timeout)
