"""Whole runs through the port prompt, the wake-up and the password
dialogue, against the bundled controller simulator."""

import os
import shutil
import subprocess
import tempfile
import unittest

from harness import BIN, SIM, Session, program_folder

PROMPT = "Which PC COM port (1-256, Esc key to end) ["


class Dialogue(unittest.TestCase):
    def setUp(self):
        self.dir = program_folder("fixqrv-dialogue-")
        self.session = None

    def tearDown(self):
        if self.session:
            self.session.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def run_sim(self, sim_options=(), fixqrv_args=()):
        self.session = Session(["--received", os.path.join(self.dir, "received.txt"), *sim_options,
                                "--", BIN, *fixqrv_args], cwd=self.dir, program=SIM)
        return self.session

    def assert_completed(self, s):
        self.assertTrue(s.wait_for_text("QRV.BAS Upload Completed.", 240), "\n".join(s.screen.display))
        self.assertEqual(s.wait_exit(30), 0)
        self.assertEqual(s.modes_now(), s.modes_before)

    def test_no_arguments_banner_prompt_and_upload(self):
        s = self.run_sim()
        self.assertTrue(s.wait_for(lambda s: s.row(11) == PROMPT + "]?"))
        self.assertEqual(s.row(2).strip(), "*** QRV.BAS PROGRAM FIX UPLOAD to KTX or RVB ***")
        self.assertEqual(s.cursor(), (11, len(PROMPT) + 4))
        s.send("3\r")
        self.assertTrue(s.wait_for_text("Checking for READY > Prompt..."))
        self.assert_completed(s)
        with open(os.path.join(self.dir, "COMMPORT.NUM"), "rb") as f:
            self.assertEqual(f.read(), b"3\r\n")

    def test_remembered_port_with_c(self):
        with open(os.path.join(self.dir, "COMMPORT.NUM"), "wb") as f:
            f.write(b"3\r\n")
        s = self.run_sim(fixqrv_args=["c"])
        self.assertTrue(s.wait_for_text("Checking for READY > Prompt..."))
        self.assert_completed(s)

    def test_esc_at_the_prompt_ends_at_once(self):
        s = self.run_sim()
        self.assertTrue(s.wait_for_text(PROMPT))
        s.send("\x1b")
        self.assertEqual(s.wait_exit(), 0)
        self.assertEqual(s.modes_now(), s.modes_before)
        self.assertFalse(any(line.strip() for line in s.screen.display))

    def test_asleep_controller_is_woken(self):
        s = self.run_sim(["--asleep"], ["3"])
        self.assertTrue(s.wait_for_text("Waking the KTX.  Please wait...", 30))
        self.assert_completed(s)

    def test_password_then_security_answered(self):
        s = self.run_sim(["--asleep", "--password", "K7x!", "--security"], ["3"])
        self.assertTrue(s.wait_for_text("Password: ", 40))
        s.send("K7x!\r")
        self.assert_completed(s)

    def test_wrong_passwords_end_with_invalid_password(self):
        s = self.run_sim(["--asleep", "--password", "right", "--password-tries", "2"], ["3"])
        self.assertTrue(s.wait_for_text("Password: ", 40))
        s.send("wrong\r")
        self.assertTrue(s.wait_for_text("Password: wrong Unknown!"))
        self.assertTrue(s.wait_for(lambda s: sum(l.startswith("Password: ") for l in s.screen.display) == 2))
        s.send("again\r")
        self.assertTrue(s.wait_for_text("Invalid Password!", 20))
        self.assertEqual(s.wait_exit(), 0)
        self.assertEqual(s.modes_now(), s.modes_before)
        self.assertTrue(any("Invalid Password!" in line for line in s.screen.display))  # kept

    def test_silent_controller_fails_three_times(self):
        s = self.run_sim(["--silent"], ["3"])
        self.assertTrue(s.wait_for_text(
            "QRV.BAS UPLOAD FAILED!  KTX or RVB not responding, not connected, or", 120))
        self.assertEqual(sum("KTX or RVB NOT PROPERLY RESPONDING!" in l for l in s.screen.display), 3)
        self.assertTrue(s.wait_for_text("Press Enter."))
        s.send("\r")
        self.assertEqual(s.wait_exit(), 0)
        self.assertEqual(s.modes_now(), s.modes_before)


class NoKeyboard(unittest.TestCase):
    def test_end_of_input_at_the_prompt_ends_the_run(self):
        with tempfile.TemporaryDirectory() as d:
            done = subprocess.run([BIN], cwd=d, stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
            self.assertEqual(done.returncode, 0)
            piped = subprocess.run([BIN, "X"], cwd=d, input=b"", capture_output=True, timeout=20)
            self.assertEqual(piped.returncode, 0)


if __name__ == "__main__":
    unittest.main()
