"""The screen on a real terminal: a window that shrinks and grows, a stop
and a continue from the shell, and a terminal that stops reading."""

import os
import select
import shutil
import signal
import termios
import time
import unittest

from harness import BIN, SIM, Session, ViewScreen, program_folder
from test_startup import BANNER
from test_upload import program_lines

PROMPT = "Which PC COM port (1-256, Esc key to end) ["
BOX_TOP = "┌" + "─" * 78 + "┐"
BOX_BOTTOM = "└" + "─" * 78 + "┘"


def picture(screen):
    """Every cell's character and colours, row by row."""
    return [[(c.data, c.fg, c.bg, c.bold) for c in (screen.buffer[y][x] for x in range(screen.columns))]
            for y in range(screen.lines)]


def cursor_row(s):
    """The text of the row the cursor is on (none while it is off the screen)."""
    row = s.cursor()[0]
    return s.row(row) if row <= s.screen.lines else ""


def progress_screen_whole(s, lines):
    """The progress screen as the program has it: title, counter, the box
    with its bar, the line being sent, nothing below."""
    rows = [s.row(r) for r in range(1, 25)]
    bar = rows[3]
    return (rows[0] == "Uploading QRV1.BAS to KTX or RVB..." and rows[1].startswith("Line: ")
            and rows[2] == BOX_TOP and rows[4] == BOX_BOTTOM
            and len(bar) == 80 and bar[0] + bar[-1] == "││" and bar[1] == "█"
            and any(line.startswith(rows[5]) for line in lines) and not any(rows[6:]))


class ScreenOnATerminal(unittest.TestCase):
    def setUp(self):
        self.dir = program_folder("fixqrv-terminal-")
        self.received = os.path.join(self.dir, "received.txt")
        self.sessions = []

    def tearDown(self):
        for s in self.sessions:
            s.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def upload(self, sim_options=("--baud-pacing",), columns=80, rows=24, **options):
        if os.path.exists(self.received):
            os.remove(self.received)
        s = Session(["--received", self.received, "--log", os.path.join(self.dir, "log.txt"), *sim_options,
                     "--", BIN, "3"], columns=columns, rows=rows, cwd=self.dir, program=SIM,
                    screen=ViewScreen(columns, rows), **options)
        self.sessions.append(s)
        return s

    def lines_received(self):
        if not os.path.exists(self.received):
            return 0
        with open(self.received, "rb") as f:
            return f.read().count(b"\r\n")

    def expected_lines(self):
        return program_lines(os.path.join(self.dir, "QRV1.BAS"))

    def completed_picture(self, s):
        self.assertTrue(s.wait_for_text("QRV.BAS Upload Completed.", 120), "\n".join(s.screen.display))
        return picture(s.screen)

    def test_shrinking_and_growing_mid_upload_leaves_the_screen_as_without(self):
        reference = self.upload(sim_options=())  # the same screen at the end, sooner
        expected = self.completed_picture(reference)
        self.assertEqual(reference.wait_exit(30), 0)
        s = self.upload()
        self.assertTrue(s.wait_for(lambda s: self.lines_received() >= 20, 60))
        s.resize(60, 15)
        self.assertTrue(s.wait_for(lambda s: s.row(3) == BOX_TOP[:60], 5), "\n".join(s.screen.display))
        s.pump(0.5)
        s.resize(80, 24)
        self.assertLess(self.lines_received(), len(self.expected_lines()), "the upload ended while shrunk")
        got = self.completed_picture(s)
        for row in range(24):
            self.assertEqual(got[row], expected[row], f"row {row + 1}:\n" + "\n".join(s.screen.display))
        self.assertEqual(s.screen.outside, [])
        self.assertEqual(s.wait_exit(30), 0)

    def test_the_prompt_and_the_digits_typed_stay_in_sight_on_a_small_terminal(self):
        s = Session([], columns=80, rows=24, cwd=self.dir, screen=ViewScreen(80, 24),
                    env={"FIXQRV_COM12": os.path.join(self.dir, "no-such-port")})
        self.sessions.append(s)
        self.assertTrue(s.wait_for_text(PROMPT))
        s.send("12")
        self.assertTrue(s.wait_for_text("]? 12"))
        s.resize(40, 10)
        self.assertTrue(s.wait_for(lambda s: cursor_row(s).endswith("]? 12"), 5), "\n".join(s.screen.display))
        s.send("\r")
        self.assertTrue(s.wait_for(lambda s: cursor_row(s).endswith("end) []?")), "\n".join(s.screen.display))
        with open(os.path.join(self.dir, "COMMPORT.NUM"), "rb") as f:
            self.assertEqual(f.read(), b"12\r\n")
        s.resize(80, 24)
        self.assertTrue(s.wait_for(lambda s: s.row(2).strip() == BANNER[2][1], 5), "\n".join(s.screen.display))
        for row, (column, text) in BANNER.items():
            self.assertEqual(s.row(row), " " * (column - 1) + text, f"row {row}")
        self.assertEqual(s.row(11), PROMPT + "]? 12")
        self.assertEqual(s.row(12), "Problem with COM port or port number!")
        self.assertEqual(s.row(13), PROMPT + "]?")
        self.assertEqual(s.screen.outside, [])
        s.send("\x1b")
        self.assertEqual(s.wait_exit(), 0)

    def test_a_terminal_narrower_than_the_screen_from_the_start(self):
        s = self.upload(columns=60, rows=25)
        self.assertTrue(s.wait_for(lambda s: self.lines_received() >= 5, 60))
        # Shown as far as it fits: the box's rows are cut, not wrapped onto
        # the rows below.
        clipped = lambda s: (s.row(3) == BOX_TOP[:60] and s.row(5) == BOX_BOTTOM[:60]
                             and s.row(4).startswith("│█") and "│" not in s.row(4)[1:])
        self.assertTrue(s.wait_for(clipped, 10), "\n".join(s.screen.display))
        s.resize(80, 24)
        self.assertTrue(s.wait_for(lambda s: s.row(3) == BOX_TOP and s.row(5) == BOX_BOTTOM, 5),
                        "\n".join(s.screen.display))
        self.assertEqual(s.row(4)[-1], "│")
        self.assertLess(self.lines_received(), len(self.expected_lines()), "the upload ended before the check")
        self.assertEqual(s.screen.outside, [])
        self.assertTrue(s.wait_for_text("QRV.BAS Upload Completed.", 120))
        self.assertEqual(s.wait_exit(30), 0)

    def test_stopped_from_the_shell_and_continued(self):
        s = self.upload(job_control=True)
        self.assertTrue(s.wait_for(lambda s: self.lines_received() >= 20, 60))
        self.assertNotEqual(s.stty(), s.stty_before)
        pid = s.program_pid()
        os.kill(pid, signal.SIGTSTP)
        self.assertTrue(s.wait_for(lambda s: s.stopped(pid), 5))
        # While it is stopped the terminal is the shell's, as it was found.
        self.assertEqual(s.stty(), s.stty_before)
        s.pump(0.2)
        self.assertFalse(s.screen.cursor.hidden)
        os.write(s.slave, b"$ ")  # the shell's prompt
        s.pump(0.2)
        row, column = s.cursor()
        shell = s.cell(row, column - 2)
        self.assertEqual((shell.data, shell.fg, shell.bg), ("$", "default", "default"))
        os.kill(pid, signal.SIGCONT)
        self.assertTrue(s.wait_for(lambda s: progress_screen_whole(s, self.decoded_lines()), 5),
                        "\n".join(s.screen.display))
        modes = termios.tcgetattr(s.slave)
        self.assertEqual(modes[3] & (termios.ICANON | termios.ECHO | termios.ISIG), 0)
        s.send("\x03")
        self.assertTrue(s.wait_for_text("ZIDURAD Terminated by Operator before Completion.", 20),
                        "\n".join(s.screen.display))
        self.assertEqual(s.wait_exit(20), 0)
        self.assertEqual(s.stty(), s.stty_before)

    def decoded_lines(self):
        return [line.decode("ascii") for line in self.expected_lines()]

    def test_a_terminal_that_stops_reading_never_holds_up_the_line(self):
        # A longer program, so that the upload outlasts the stop, with box
        # pieces in its remarks (each a glyph of three bytes on the terminal),
        # so that the terminal's buffer fills early.
        lines = [b"%d REM " % (10 * i) + bytes(65 + (i + k) % 26 if k % 2 else 0xC4 for k in range(30 + i % 35))
                 for i in range(1, 601)]
        program = b"".join(line + b"\r\n" for line in lines)
        for name in ("QRV1.BAS", "QRV2.BAS"):
            with open(os.path.join(self.dir, name), "wb") as f:
                f.write(program)
        s = self.upload()
        self.assertTrue(s.wait_for(lambda s: self.lines_received() >= 10, 60))
        start = time.monotonic()
        full_at = None
        while time.monotonic() - start < 10:
            time.sleep(0.1)
            if full_at is None and not select.select([], [s.slave], [], 0)[1]:
                full_at, stored = time.monotonic(), self.lines_received()
        self.assertIsNotNone(full_at, "the terminal's buffer never filled")
        self.assertLess(full_at - start, 7, "the terminal's buffer filled late")
        # From then on the terminal takes nothing; the simulated line still
        # takes 1920 characters a second.
        sent = sum(len(line) + 1 for line in lines[stored:self.lines_received()])
        self.assertGreater(sent, 0.5 * 1920 * (time.monotonic() - full_at), "the upload was held up")
        self.assertLess(self.lines_received(), len(lines), "the upload ended before reading resumed")
        shown = [line.decode("cp437") for line in lines]
        self.assertTrue(s.wait_for(lambda s: progress_screen_whole(s, shown), 1.0), "\n".join(s.screen.display))
        self.assertTrue(s.wait_for_text("QRV.BAS Upload Completed.", 120), "\n".join(s.screen.display))
        self.assertEqual(s.wait_exit(30), 0)
        with open(self.received, "rb") as f:
            self.assertEqual(f.read(), program)


if __name__ == "__main__":
    unittest.main()
