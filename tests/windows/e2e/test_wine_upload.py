import csv
import os
import shutil
import subprocess
import tempfile
import termios
import unittest

from wine_session import EXAMPLES, PREFIX, SEND_CONSOLE_EVENT, SIM, WINE, WineSession, map_com_port


def local_app_data():
    """%LOCALAPPDATA% of the Wine prefix, as a path on this side."""
    shown = subprocess.run([WINE, "cmd", "/c", "echo %LOCALAPPDATA%"], capture_output=True, text=True, timeout=60,
                           env={**os.environ, "WINEPREFIX": PREFIX, "WINEDEBUG": "-all"}).stdout.strip()
    drive, _, rest = shown.partition(":\\")
    assert drive.upper() == "C" and rest, shown
    return os.path.join(PREFIX, "drive_c", *rest.split("\\"))


def upload_log_rows():
    """The rows of the upload log under %LOCALAPPDATA%, the header first."""
    path = os.path.join(local_app_data(), "FixQRV", "uploads.csv")
    if not os.path.exists(path):
        return []
    with open(path, newline="") as f:
        return list(csv.reader(f))


@unittest.skipUnless(SIM and os.access(SIM, os.X_OK), "no fixqrv-sim from a native build")
class UploadUnderWine(unittest.TestCase):
    """A whole run against the controller simulator, its pseudo-terminal
    reached as COM12 ("\\\\.\\COM12") through the Wine prefix."""

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="fixqrv-wine-upload-")
        for name in ("QRV1.BAS", "QRV2.BAS"):
            shutil.copy(os.path.join(EXAMPLES, name), self.workdir)
        self.received = os.path.join(self.workdir, "received.txt")
        self.sim = subprocess.Popen(
            [SIM, "--print-path", "--variant", " 2", "--received", self.received],
            stdout=subprocess.PIPE, text=True)
        self.link = map_com_port(12, self.sim.stdout.readline().strip())
        self.session = None

    def tearDown(self):
        if self.session:
            self.session.close()
        self.sim.kill()
        self.sim.wait()
        os.remove(self.link)
        shutil.rmtree(self.workdir, ignore_errors=True)

    def port_speed(self):
        fd = os.open(os.readlink(self.link), os.O_RDWR | os.O_NOCTTY)
        try:
            return termios.tcgetattr(fd)[4]
        finally:
            os.close(fd)

    def test_port_12_uploads_the_variant_the_controller_asks_for(self):
        found_speed = self.port_speed()
        rows_before = upload_log_rows()
        s = self.session = WineSession(["12"], cwd=self.workdir)
        self.assertTrue(s.wait_for_text("QRV.BAS Upload Completed.", timeout=240), s.screen.display)
        self.assertEqual(s.row(1), "Uploading QRV2.BAS to KTX or RVB...")
        self.assertIn("Percent Complete: 100", s.row(2))
        self.assertEqual(s.row(4), "\u2502" + "\u2588" * 78 + "\u2502")
        self.assertEqual(s.wait_exit(timeout=30), 0)
        with open(os.path.join(self.workdir, "QRV2.BAS"), "rb") as f:
            program = f.read()
        with open(self.received, "rb") as f:
            self.assertEqual(f.read(), program)
        # The driver keeps a port's settings after closing: the next program
        # must find the port at its rate, not at the upload's 19200.
        self.assertEqual(self.port_speed(), found_speed)
        # One row more in the upload log under %LOCALAPPDATA%.
        rows = upload_log_rows()
        self.assertEqual(len(rows), max(len(rows_before), 1) + 1)
        self.assertEqual(rows[0][:3], ["start", "end", "port"])
        row = dict(zip(rows[0], rows[-1]))
        lines = str(program.count(b"\r"))
        self.assertEqual([row[k] for k in ("port", "device", "variant answer", "file", "file size", "lines verified",
                                           "lines in file", "passes started", "outcome", "error", "message")],
                         ["\\\\.\\COM12", "", " 2", "QRV2.BAS", str(len(program)), lines, lines, "1", "completed", "",
                          "QRV.BAS Upload Completed."])

    @unittest.skipUnless(SEND_CONSOLE_EVENT, "no send_console_event of the Windows build")
    def test_closing_the_window_mid_upload_puts_the_port_back(self):
        found_speed = self.port_speed()
        rows_before = upload_log_rows()
        s = self.session = WineSession(["12"], cwd=self.workdir)
        self.assertTrue(s.wait_for_text("Percent Complete", timeout=120), s.screen.display)
        self.assertNotEqual(self.port_speed(), found_speed)
        # What the system does when the window is closed: the control
        # routine runs on a thread of the program's own, then it ends.
        subprocess.run([WINE, SEND_CONSOLE_EVENT, "fixqrv.exe", "2"], timeout=60,
                       env={**os.environ, "WINEPREFIX": PREFIX, "WINEDEBUG": "-all"})
        self.assertIsNotNone(s.wait_exit(timeout=30), "the program went on")
        self.assertEqual(self.port_speed(), found_speed)
        # The handler's row: the run did not end by itself.
        rows = upload_log_rows()
        self.assertEqual(len(rows), max(len(rows_before), 1) + 1)
        row = dict(zip(rows[0], rows[-1]))
        self.assertEqual((row["file"], row["outcome"], row["message"]), ("QRV2.BAS", "signal", "CTRL_CLOSE_EVENT"))


if __name__ == "__main__":
    unittest.main()
