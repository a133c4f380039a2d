#!/usr/bin/env python3
"""The stand-in device's frame codec against the worked frames of the application link."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from standin import frames  # noqa: E402
from standin.device import ccitt_false  # noqa: E402


def hexbytes(text):
    return bytes.fromhex(text.replace(" ", ""))


class FramesTest(unittest.TestCase):
    def test_check_values(self):
        self.assertEqual(frames.crc16(b"123456789"), 0x31C3)
        self.assertEqual(frames.crc16(b"\x06"), 0x60C6)
        self.assertEqual(ccitt_false(b"123456789"), 0x29B1)

    def test_encoding_escapes_code_and_crc(self):
        self.assertEqual(frames.encode(b"\x06")[:5], hexbytes("01 06 C6 60 04"))
        self.assertEqual(frames.encode(b"\x01")[:7], hexbytes("01 10 01 21 10 10 04"))
        self.assertEqual(len(frames.encode(b"\x06")), 64)

    def test_decoding_host_frames(self):
        self.assertEqual(frames.decode(hexbytes("01 3A 19 97 04") + b"\xff" * 59), b"\x3a")
        self.assertEqual(frames.decode(hexbytes("01 0E 34 12 A0 86 10 01 00 C1 0B 04")),
                         hexbytes("0E 34 12 A0 86 01 00"))
        # junk before the start of the frame is dropped; a wrong CRC is no frame
        self.assertEqual(frames.decode(hexbytes("55 66 01 06 C6 60 04")), b"\x06")
        self.assertIsNone(frames.decode(hexbytes("01 06 C6 61 04")))
        self.assertIsNone(frames.decode(hexbytes("01 06 C6")))

    def test_text_line_ends_with_zero_before_crc(self):
        report = frames.text("NRF VERSION: 2.13.33.26")
        self.assertEqual(report[1], 0x0A)
        self.assertEqual(report[2:report.index(b"\0", 2)], b"NRF VERSION: 2.13.33.26")
        self.assertEqual(frames.decode(report), b"\x0aNRF VERSION: 2.13.33.26\0")

    def test_long_frame_refused(self):
        with self.assertRaises(ValueError):
            frames.encode(b"\x0a" + b"x" * 70)


if __name__ == "__main__":
    unittest.main()
