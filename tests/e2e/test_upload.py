"""Whole runs of fixqrv against the bundled controller simulator on a
pseudo-terminal, the screen read through the pyte terminal emulator."""

import os
import shutil
import unittest

from harness import BIN, SIM, Session, program_folder


def program_lines(path):
    with open(path, "rb") as f:
        data = f.read()
    data = data.split(b"\x1a")[0]
    lines = data.replace(b"\r\n", b"\r").split(b"\r")
    if lines and lines[-1] == b"":
        lines.pop()
    return lines


class Upload(unittest.TestCase):
    def setUp(self):
        self.dir = program_folder("fixqrv-upload-")
        self.received = os.path.join(self.dir, "received.txt")
        self.session = None

    def tearDown(self):
        if self.session:
            self.session.close()
        if os.environ.get("FIXQRV_KEEP_E2E"):
            print("kept", self.dir)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)

    def run_sim(self, sim_options, fixqrv_args=("3",)):
        self.session = Session(
            ["--received", self.received, "--log", os.path.join(self.dir, "log.txt"), *sim_options,
             "--", BIN, *fixqrv_args],
            cwd=self.dir, program=SIM)
        return self.session

    def received_lines(self):
        with open(self.received, "rb") as f:
            return f.read().split(b"\r\n")[:-1]

    def assert_completed(self, s, variant):
        self.assertTrue(s.wait_for_text("Uploading %s to KTX or RVB..." % variant, 60))
        self.assertTrue(s.wait_for_text("QRV.BAS Upload Completed.", 240), "\n".join(s.screen.display))
        self.assertEqual(s.row(6), "QRV.BAS Upload Completed.")
        self.assertEqual(s.wait_exit(30), 0)
        self.assertEqual(s.modes_now(), s.modes_before)

    def test_both_variants_complete_with_every_line_in_order(self):
        for answer, variant in ((" 1", "QRV1.BAS"), ("2", "QRV2.BAS")):
            with self.subTest(variant=variant):
                if os.path.exists(self.received):
                    os.remove(self.received)
                s = self.run_sim(["--variant", answer])
                self.assertTrue(s.wait_for(lambda s: s.row(2).startswith("Line:"), 60))
                box = s.row(3)
                self.assertEqual(box[0] + box[-1], "┌┐")
                self.assertEqual(set(box[1:-1]), {"─"})
                self.assert_completed(s, variant)
                self.assertEqual(self.received_lines(), program_lines(os.path.join(self.dir, variant)))
                s.close()
                self.session = None

    def test_corrupted_echo_shows_mismatch_then_a_complete_second_pass(self):
        s = self.run_sim(["--corrupt-line", "3"])
        self.assertTrue(s.wait_for_text("ERROR:  ECHOED LINE", 60))  # the rest wraps
        self.assertTrue(s.wait_for_text("Press Enter."))
        expected = program_lines(os.path.join(self.dir, "QRV1.BAS"))
        # The report wraps past the last column; the line sent still starts a row of its own.
        self.assertIn(expected[2].decode("ascii"), [row.rstrip() for row in s.screen.display])
        s.send("\r")
        self.assert_completed(s, "QRV1.BAS")
        self.assertEqual(self.received_lines(), expected[:3] + expected)

    def test_xoff_pacing_from_a_small_buffer_still_completes(self):
        s = self.run_sim(["--buffer", "24", "--process-cps", "3000"])
        self.assert_completed(s, "QRV1.BAS")
        self.assertEqual(self.received_lines(), program_lines(os.path.join(self.dir, "QRV1.BAS")))
        with open(os.path.join(self.dir, "log.txt")) as f:
            self.assertIn("XOFF", f.read())

    def test_line_dropped_mid_upload_ends_with_a_report(self):
        s = self.run_sim(["--drop-after", "600"])
        self.assertTrue(s.wait_for_text("ERROR:", 90), "\n".join(s.screen.display))
        self.assertEqual(s.wait_exit(60), 0)
        self.assertEqual(s.modes_now(), s.modes_before)


if __name__ == "__main__":
    unittest.main()
