#!/usr/bin/env python3
"""The stand-in device's frame codec against the worked frames of the application link, and
its answers to the font programming and key erase commands."""
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from standin import frames  # noqa: E402
from standin.device import Device, ccitt_false  # noqa: E402


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


def font(name, size=3000):
    """A placeholder font as the updater stages it: its record, then glyph bytes."""
    return b"TRVLKNJ1" + name.encode().ljust(16, b"\0") + bytes(i & 0xFF for i in range(size))


class DeviceCommandsTest(unittest.TestCase):
    """The application face's answers, read back as the host reads them."""

    def setUp(self):
        self.drive = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.drive)

    def device(self, model=13, variant=60):
        device = Device(model, variant, 14, 51, "2.13.33.26", "application", self.drive, self.drive + "/")
        self.addCleanup(lambda: setattr(device, "generation", device.generation + 1))
        return device

    def stage(self, *names, **bodies):
        for name in names:
            with open(os.path.join(self.drive, name), "wb") as f:
                f.write(bodies.get(name.split(".")[0], font(name)))

    def command(self, device, body):
        """Sends one host frame (report ID 0 first) and returns the first bytes of every
        report that came within half a second of the last one."""
        device.write(device.generation, b"\0" + frames.encode(body))
        got = []
        while True:
            report = device.read(device.generation, 500)
            if not report:
                return got
            got.append(report)

    def answers(self, reports):
        return b"".join(r[1:2] for r in reports)

    def test_font_answers_are_unescaped_byte_one_of_a_whole_frame(self):
        self.stage("Kanji_11x12.bin", "Kanji_18x18.bin")
        reports = self.command(self.device(), b"\x40")
        self.assertEqual(self.answers(reports), b"AB")
        for report in reports:
            self.assertEqual(report[0], frames.SOH)
            self.assertEqual(len(report), 64)
            self.assertIn(frames.decode(report), (b"A", b"B"))

    def test_summit_models_program_the_large_font_alone(self):
        self.stage("Kanji_19x19.bin")
        self.assertEqual(self.answers(self.command(self.device(model=11), b"\x40")), b"C")
        self.assertEqual(self.answers(self.command(self.device(model=12), b"\x40")), b"C")

    def test_a_missing_or_wrong_font_is_a_failure_after_the_fonts_before_it(self):
        self.stage("Kanji_11x12.bin")
        self.assertEqual(self.answers(self.command(self.device(), b"\x40")), b"AD")
        self.stage("Kanji_18x18.bin", Kanji_18x18=font("Kanji_11x12.bin"))
        self.assertEqual(self.answers(self.command(self.device(), b"\x40")), b"AD")
        self.stage("Kanji_18x18.bin", Kanji_18x18=b"")
        self.assertEqual(self.answers(self.command(self.device(), b"\x40")), b"AD")
        # a summit model does not take the small fonts
        self.stage("Kanji_18x18.bin")
        self.assertEqual(self.answers(self.command(self.device(model=12), b"\x40")), b"D")

    def test_a_font_without_the_placeholder_record_is_taken_as_it_comes(self):
        self.stage("Kanji_19x19.bin", Kanji_19x19=bytes(range(256)) * 10)
        self.assertEqual(self.answers(self.command(self.device(model=11), b"\x40")), b"C")

    def test_refusals_of_the_font_command(self):
        self.stage("Kanji_11x12.bin", "Kanji_18x18.bin")
        # a standard firmware has no fonts to program
        self.assertEqual(self.answers(self.command(self.device(variant=0), b"\x40")), b"D")
        # the command carries no arguments: one with the argument shape is refused at once
        self.assertEqual(self.answers(self.command(self.device(), b"\x40\x00\x00\x00\x00\x00\x00")), b"D")
        # a frame whose CRC does not match is no command at all: nothing comes back
        device = self.device()
        bent = bytearray(frames.encode(b"\x40"))
        bent[2] ^= 0xFF
        device.write(device.generation, b"\0" + bytes(bent))
        self.assertEqual(device.read(device.generation, 300), b"")

    def test_a_restart_while_programming_stops_the_answers(self):
        self.stage("Kanji_11x12.bin", "Kanji_18x18.bin")
        device = self.device()
        generation = device.generation
        device.write(generation, b"\0" + frames.encode(b"\x40"))
        with device.lock:
            device.leave()
            device.arrive("application")
        self.assertIsNone(device.read(generation, 300))
        self.assertEqual(device.read(device.generation, 300), b"")

    def test_erasing_the_keys_talks_then_restarts(self):
        device = self.device(variant=0)
        events = []
        with device.lock:
            device.subscribers.append(events)
        generation = device.generation
        device.write(generation, b"\0" + frames.encode(b"\x07"))
        texts = []
        while True:
            report = device.read(generation, 2000)
            if not report:
                break
            texts.append(frames.decode(report))
        self.assertEqual(texts, [b"\x0aErasing bonding keys\0", b"\x0aBonding keys erased\0", b"\x0aRestarting\0"])
        with device.lock:
            device.lock.wait_for(lambda: device.generation != generation, 3)
            self.assertEqual(device.face, "application")
            self.assertIn({"event": "nodes_changed"}, events)
            self.assertIn({"event": "volume_arrival", "root": self.drive + "/"}, events)


if __name__ == "__main__":
    unittest.main()
