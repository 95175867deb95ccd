import unittest

from wine_session import WineSession, is_yellow_on_blue


class StartUnderWine(unittest.TestCase):
    def setUp(self):
        self.session = None

    def tearDown(self):
        if self.session:
            self.session.close()

    def test_syntax_error_screen_then_enter_ends_with_code_0(self):
        s = self.session = WineSession(["012"])
        self.assertTrue(s.wait_for(lambda s: s.row(3) == "Press Enter."), s.screen.display)
        self.assertEqual(s.row(1), "")
        self.assertEqual(s.row(2), "FixQRV Command Line SYNTAX Error Detected.")
        for column in (1, 43, 80):
            self.assertTrue(is_yellow_on_blue(s.cell(2, column)), f"column {column}")
        self.assertTrue(is_yellow_on_blue(s.cell(24, 80)))
        s.send("x\x7f")
        s.pump(0.5)
        self.assertIsNone(s.process.poll())
        s.send("\r")
        self.assertEqual(s.wait_exit(), 0)
        self.assertEqual(s.row(2), "")

    def test_banner_then_esc_at_the_port_prompt_ends_with_code_0(self):
        s = self.session = WineSession()
        self.assertTrue(s.wait_for_text("Which PC COM port"), s.screen.display)
        self.assertEqual(s.row(2), "   *** QRV.BAS PROGRAM FIX UPLOAD to KTX or RVB ***")
        self.assertEqual(s.row(3), " " * 20 + "Version 1.62")
        self.assertEqual(s.row(9), "     KTX or RVB must be connected to PC RS232 COM port 1-256.")
        self.assertTrue(s.row(11).startswith("Which PC COM port (1-256, Esc key to end) ["))
        self.assertTrue(is_yellow_on_blue(s.cell(1, 1)))
        s.send("\x1b")
        self.assertEqual(s.wait_exit(), 0)


if __name__ == "__main__":
    unittest.main()
