"""What operators ordinarily do to a run: keys typed ahead or at odd
moments, no keyboard at all, a closed standard input, a small terminal."""

import os
import shutil
import tempfile
import unittest

from harness import BIN, SIM, Session, ViewScreen, program_folder
from test_upload import program_lines

PROMPT = "Which PC COM port (1-256, Esc key to end) ["


def shell_run(redirect):
    """fixqrv 3 with its standard input redirected, started by the simulator."""
    return ["/bin/sh", "-c", 'exec "$0" 3 ' + redirect, BIN]


class OperatorInput(unittest.TestCase):
    def setUp(self):
        self.dir = program_folder("fixqrv-keys-")
        self.received = os.path.join(self.dir, "received.txt")
        self.log = os.path.join(self.dir, "log.txt")
        self.session = None

    def tearDown(self):
        if self.session:
            self.session.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def run_sim(self, sim_options, command=(BIN, "3"), **session_options):
        self.session = Session(["--received", self.received, "--log", self.log, *sim_options, "--", *command],
                               cwd=self.dir, program=SIM, **session_options)
        return self.session

    def received_lines(self):
        if not os.path.exists(self.received):
            return []
        with open(self.received, "rb") as f:
            return f.read().split(b"\r\n")[:-1]

    def assert_ends_by_itself(self, s, within):
        self.assertEqual(s.wait_exit(within), 0, "\n".join(s.screen.display))
        self.assertEqual(s.modes_now(), s.modes_before)
        self.assertLess(os.path.getsize(self.log), 20000, "the controller was sent endless bytes")

    def test_esc_typed_ahead_stops_before_the_first_line(self):
        s = self.run_sim([])
        self.assertTrue(s.wait_for_text("Uploading QRV1.BAS to KTX or RVB...", 60))
        s.send("\x1b")
        self.assertTrue(s.wait_for_text("ZIDURAD Terminated by Operator before Completion.", 20),
                        "\n".join(s.screen.display))
        self.assertEqual(s.wait_exit(20), 0)
        self.assertEqual(self.received_lines(), [])

    def test_esc_in_the_middle_of_the_upload_stops_it_there(self):
        s = self.run_sim(["--baud-pacing"])
        self.assertTrue(s.wait_for(lambda s: len(self.received_lines()) >= 3, 60))
        s.send("\x1b")
        self.assertTrue(s.wait_for_text("ZIDURAD Terminated by Operator before Completion.", 20),
                        "\n".join(s.screen.display))
        self.assertEqual(s.wait_exit(20), 0)
        stored = len(self.received_lines())
        self.assertLess(stored, len(program_lines(os.path.join(self.dir, "QRV1.BAS"))))

    def test_password_prompt_without_keyboard_ends_by_itself(self):
        s = self.run_sim(["--asleep", "--password", "1234"], shell_run("</dev/null"))
        self.assert_ends_by_itself(s, 90)

    def test_password_input_running_out_after_a_wrong_password(self):
        typed = os.path.join(self.dir, "typed.txt")
        with open(typed, "wb") as f:
            f.write(b"wrong\r")
        s = self.run_sim(["--asleep", "--password", "1234"], shell_run("<" + typed))
        self.assert_ends_by_itself(s, 90)

    def test_closed_standard_input_still_uploads(self):
        s = self.run_sim([], shell_run("<&-"))
        self.assertTrue(s.wait_for_text("QRV.BAS Upload Completed.", 120), "\n".join(s.screen.display))
        self.assertEqual(s.wait_exit(30), 0)
        self.assertEqual(self.received_lines(), program_lines(os.path.join(self.dir, "QRV1.BAS")))

    def test_every_echo_spoiled_without_keyboard_ends_by_itself(self):
        s = self.run_sim(["--corrupt-line", "2", "--corrupt-always"], shell_run("</dev/null"))
        self.assert_ends_by_itself(s, 120)
        self.assertLessEqual(len(self.received_lines()), 3 * 2)


class SmallTerminal(unittest.TestCase):
    def test_80_by_20_never_addresses_a_row_past_the_screen(self):
        screen = ViewScreen(80, 20)
        with tempfile.TemporaryDirectory() as d:
            s = Session([], columns=80, rows=20, cwd=d, screen=screen)
            try:
                self.assertTrue(s.wait_for_text(PROMPT, 10), "\n".join(s.screen.display))
                s.send("7")
                self.assertTrue(s.wait_for_text(PROMPT + "]? 7"))
                self.assertLessEqual(screen.lowest_addressed, 20)
                # Made larger, the screen is drawn again from the program's grid.
                s.resize(80, 24)
                self.assertTrue(s.wait_for(lambda s: screen.lowest_addressed > 20))
                self.assertTrue(s.wait_for_text(PROMPT + "]? 7"))
                self.assertEqual(screen.outside, [])
                s.send("\x1b")
                self.assertEqual(s.wait_exit(), 0)
                self.assertEqual(s.modes_now(), s.modes_before)
            finally:
                s.close()


if __name__ == "__main__":
    unittest.main()
