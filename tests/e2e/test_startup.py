import signal
import unittest

from harness import Session, is_yellow_on_blue

BANNER = {
    2: (4, "*** QRV.BAS PROGRAM FIX UPLOAD to KTX or RVB ***"),
    3: (21, "Version 1.62"),
    7: (4, "RESTRICTION:"),
    9: (6, "KTX or RVB must be connected to PC RS232 COM port 1-256."),
}


class StartScreen(unittest.TestCase):
    def setUp(self):
        self.session = None

    def tearDown(self):
        if self.session:
            self.session.close()

    def test_banner_rows_and_columns_in_yellow_on_blue(self):
        s = self.session = Session()
        self.assertTrue(s.wait_for_text("RESTRICTION:"))
        s.wait_exit()
        for row, (column, text) in BANNER.items():
            self.assertEqual(s.row(row), " " * (column - 1) + text, f"row {row}")
        self.assertEqual(s.row(4).find(s.row(4).strip()), 9)
        self.assertEqual(s.row(5).find(s.row(5).strip()), 11)
        for row in (1, 6, 8, 10, 24):
            self.assertEqual(s.row(row), "", f"row {row}")
        for row in range(1, 25):
            for column in (1, 40, 80):
                self.assertTrue(is_yellow_on_blue(s.cell(row, column)), f"cell {row},{column}")

    def test_syntax_error_waits_for_enter_and_restores_the_terminal(self):
        s = self.session = Session(["012"])
        self.assertTrue(s.wait_for(lambda s: s.row(3) == "Press Enter."))
        self.assertEqual(s.row(1), "")
        self.assertEqual(s.row(2), "FixQRV Command Line SYNTAX Error Detected.")
        self.assertTrue(is_yellow_on_blue(s.cell(2, 1)))
        self.assertIsNone(s.process.poll())
        s.send("\r")
        self.assertEqual(s.wait_exit(), 0)
        self.assertEqual(s.modes_now(), s.modes_before)
        self.assertEqual(s.row(2), "")

    def test_ctrl_c_is_a_key_not_a_signal(self):
        s = self.session = Session(["X"])
        self.assertTrue(s.wait_for_text("Press Enter."))
        s.send("\x03")
        s.pump(0.3)
        self.assertIsNone(s.process.poll())
        s.send("\r")
        self.assertEqual(s.wait_exit(), 0)

    def test_terminate_signal_restores_the_terminal(self):
        s = self.session = Session(["X"])
        self.assertTrue(s.wait_for_text("Press Enter."))
        self.assertNotEqual(s.modes_now(), s.modes_before)
        s.process.send_signal(signal.SIGTERM)
        self.assertEqual(s.wait_exit(), -signal.SIGTERM)
        self.assertEqual(s.modes_now(), s.modes_before)
        self.assertFalse(s.screen.cursor.hidden)


if __name__ == "__main__":
    unittest.main()
