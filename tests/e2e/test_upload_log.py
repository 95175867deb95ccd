"""The upload log after real runs against the controller simulator, read
back with Python's csv module as a spreadsheet would read it."""

import csv
import datetime
import os
import re
import shutil
import signal
import subprocess
import tempfile
import unittest

from harness import BIN, SIM, Session, program_folder
from test_upload import program_lines

HEADER = ["start", "end", "port", "device", "variant answer", "file", "file size", "lines verified",
          "lines in file", "passes started", "outcome", "error", "message", "version"]


class UploadLog(unittest.TestCase):
    def setUp(self):
        self.dir = program_folder("fixqrv-log-")
        self.state = tempfile.mkdtemp(prefix="fixqrv-log-state-")
        self.log = os.path.join(self.state, "fixqrv", "uploads.csv")
        self.session = None
        self.sim = None

    def tearDown(self):
        if self.session:
            self.session.close()
        if self.sim:
            self.sim.kill()
            self.sim.wait()
        shutil.rmtree(self.dir, ignore_errors=True)
        shutil.rmtree(self.state, ignore_errors=True)

    def run_sim(self, sim_options=()):
        if self.session:
            self.session.close()
        self.session = Session([*sim_options, "--", BIN, "3"], cwd=self.dir, program=SIM,
                               env={"XDG_STATE_HOME": self.state})
        return self.session

    def rows(self):
        with open(self.log, newline="") as f:
            text = f.read()
        self.assertTrue(text.endswith("\r\n"))
        self.assertNotIn("\n", text.replace("\r\n", ""))  # one line per row
        rows = list(csv.reader(text.splitlines(keepends=True)))
        self.assertEqual(rows[0], HEADER)
        return [dict(zip(HEADER, row)) for row in rows[1:]]

    def assert_times(self, row):
        start = datetime.datetime.fromisoformat(row["start"])
        end = datetime.datetime.fromisoformat(row["end"])
        self.assertRegex(row["start"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$")
        self.assertLessEqual(start, end)
        self.assertLess(end - start, datetime.timedelta(minutes=10))
        self.assertEqual(start.utcoffset(), datetime.datetime.now().astimezone().utcoffset())

    def test_a_completed_upload_and_an_operator_stop_each_add_a_row(self):
        before = sorted(os.listdir(self.dir))
        s = self.run_sim(["--variant", "2"])
        self.assertTrue(s.wait_for_text("QRV.BAS Upload Completed.", 240), "\n".join(s.screen.display))
        self.assertEqual(s.wait_exit(30), 0)

        s = self.run_sim(["--baud-pacing"])  # slow enough for Esc to come mid-upload
        self.assertTrue(s.wait_for(lambda s: re.match(r"Line: (\d\d)", s.row(2)), 60), "\n".join(s.screen.display))
        s.send("\x1b")
        self.assertTrue(s.wait_for_text("ZIDURAD Terminated by Operator before Completion."))
        self.assertEqual(s.wait_exit(30), 0)

        completed, stopped = self.rows()
        qrv2 = os.path.join(self.dir, "QRV2.BAS")
        lines = str(len(program_lines(qrv2)))
        self.assertEqual(completed["port"], "COM3")
        self.assertRegex(completed["device"], r"^/dev/pts/\d+$")
        self.assertEqual({k: completed[k] for k in HEADER[4:]}, {
            "variant answer": "2", "file": "QRV2.BAS", "file size": str(os.path.getsize(qrv2)),
            "lines verified": lines, "lines in file": lines, "passes started": "1", "outcome": "completed",
            "error": "", "message": "QRV.BAS Upload Completed.", "version": completed["version"]})
        self.assertRegex(completed["version"], r"^\d+\.\d+")

        qrv1 = os.path.join(self.dir, "QRV1.BAS")
        self.assertEqual(stopped["variant answer"], " 1")
        self.assertEqual(stopped["file"], "QRV1.BAS")
        self.assertEqual(stopped["lines in file"], str(len(program_lines(qrv1))))
        self.assertGreaterEqual(int(stopped["lines verified"]), 9)
        self.assertLess(int(stopped["lines verified"]), int(stopped["lines in file"]))
        self.assertEqual((stopped["passes started"], stopped["outcome"], stopped["error"], stopped["message"]),
                         ("1", "operator-stop", "", "ZIDURAD Terminated by Operator before Completion."))
        for row in (completed, stopped):
            self.assert_times(row)
        # Nothing new in the working directory but the remembered port.
        self.assertEqual(sorted(os.listdir(self.dir)), sorted(before + ["COMMPORT.NUM"]))

    def test_a_hang_up_mid_upload_leaves_a_signal_row(self):
        self.sim = subprocess.Popen([SIM, "--print-path", "--baud-pacing"], stdout=subprocess.PIPE, text=True)
        path = self.sim.stdout.readline().strip()
        s = self.session = Session(["3"], cwd=self.dir,
                                   env={"XDG_STATE_HOME": self.state, "FIXQRV_COM3": path})
        self.assertTrue(s.wait_for(lambda s: re.match(r"Line: (\d\d)", s.row(2)), 60), "\n".join(s.screen.display))
        s.process.send_signal(signal.SIGHUP)
        self.assertEqual(s.wait_exit(), -signal.SIGHUP)
        (row,) = self.rows()
        self.assert_times(row)
        self.assertEqual((row["port"], row["device"], row["file"]), ("COM3", path, "QRV1.BAS"))
        self.assertGreaterEqual(int(row["lines verified"]), 9)
        self.assertEqual((row["passes started"], row["outcome"], row["error"], row["message"]),
                         ("1", "signal", "", "SIGHUP"))


if __name__ == "__main__":
    unittest.main()
