"""The whole device: the face it shows on USB (application, flash bootloader, ROM bootloader),
its drive (a real folder), its wireless co-processor, and the bus events each change of face
makes. One condition guards all of it; the bus connections call in with it released."""
import os
import shutil
import struct
import sys
import threading
import time

from . import frames
from .bootloader import Bootloader

APP_VID, APP_PID = 0x2B29, 0x55
ROM_VID, ROM_PID = 0x15A2, 0x73
JAPANESE = 60
FONT_MAGIC = b"TRVLKNJ1"  # placeholder fonts begin with it and their own file name
# The fonts each model programs and the answer byte that confirms each one.
SUMMIT_FONTS = (("Kanji_19x19.bin", b"C"),)
SMALL_FONTS = (("Kanji_11x12.bin", b"A"), ("Kanji_18x18.bin", b"B"))
FONT_FAILED = b"D"


def ccitt_false(data):
    return frames.crc16(data, 0xFFFF)


class Device:
    def __init__(self, model, variant, major, minor, nrf, face, drive_dir, root):
        self.lock = threading.Condition()
        self.model, self.variant, self.major, self.minor = model, variant, major, minor
        self.nrf = nrf  # the dotted version text the wireless chip reports
        self.face = face
        self.drive_dir = drive_dir  # None: no drive
        self.root = root  # the drive's root as the client names it
        self.mounted = face == "application" and drive_dir is not None
        self.generation = 1  # handles opened on an earlier face are stale
        self.outgoing = []
        self.subscribers = []  # one event list per subscribed connection
        self.refuse_lock = False  # a drive whose volume lock always fails (held open elsewhere)
        self.bootloader = Bootloader(self.lock, self.restart_from_bootloader)
        self.bootloader.outgoing = self.outgoing
        self.say("starts in its %s face" % face)

    def say(self, what):
        print("standin: %s %s, firmware %d.%02d, wireless %s: %s"
              % ("model", self.model, self.major, self.minor, self.nrf, what), file=sys.stderr, flush=True)

    # What the bus sees -------------------------------------------------------------------
    def identity(self):
        if self.face == "application":
            return APP_VID, APP_PID
        if self.face == "bootloader":
            return APP_VID, self.model + self.variant
        if self.face == "rom":
            return ROM_VID, ROM_PID
        return None

    def usb(self):
        with self.lock:
            ident = self.identity()
            if not ident:
                return []
            return [{"vid": ident[0], "pid": ident[1], "hwid": "USB\\VID_%04X&PID_%04X&REV_0100" % ident}]

    def volumes(self):
        with self.lock:
            if not self.mounted:
                return []
            return [{"root": self.root, "label": "Tarvel", "fs": "FAT32", "removable": True}]

    def open(self, vid, pid):
        with self.lock:
            return self.generation if self.identity() == (vid, pid) else None

    def event(self, line):
        for queue in self.subscribers:
            queue.append(line)
        self.lock.notify_all()

    def leave(self):
        if self.mounted:
            self.mounted = False
            self.event({"event": "volume_removal", "root": self.root})
        self.face = "gone"
        self.generation += 1
        del self.outgoing[:]
        self.bootloader.incoming = None
        self.event({"event": "nodes_changed"})

    def arrive(self, face):
        self.face = face
        self.event({"event": "nodes_changed"})
        if face == "application" and self.drive_dir is not None:
            self.mounted = True
            self.event({"event": "volume_arrival", "root": self.root})
        self.say("arrives in its %s face" % face)

    # HID ---------------------------------------------------------------------------------
    def write(self, generation, data):
        with self.lock:
            if generation != self.generation:
                return False
            if self.face == "application":
                self.application_report(data[1:])
            else:
                self.bootloader.output_report(data)
            return True

    def read(self, generation, limit_ms):
        """The oldest report, or b"" when none came within the limit; None once stale."""
        with self.lock:
            if limit_ms != 0:
                self.lock.wait_for(lambda: self.outgoing or generation != self.generation,
                                   (min(limit_ms, 10000) if limit_ms > 0 else 10000) / 1000)
            if generation != self.generation:
                return None
            if not self.outgoing:
                return b""
            report = self.outgoing.pop(0)
            self.lock.notify_all()  # a restart may wait for the host to take its last reports
            return report

    def send(self, report):
        self.outgoing.append(report)
        self.lock.notify_all()

    def application_report(self, report):
        body = frames.decode(report)
        if not body:
            return
        code, args = body[0], body[1:]
        if code == 0x06:  # device information: identity, version, two spare bytes
            self.send(frames.encode(bytes([0x06, self.model + self.variant, self.major, self.minor, 0, 0])))
        elif code == 0x3A:
            self.send(frames.text("NRF VERSION: %s" % self.nrf))
        elif code == 0x07 and not args:  # erase the wireless chip's bonding keys, then restart
            self.say("bonding keys erased")
            for line in ("Erasing bonding keys", "Bonding keys erased", "Restarting"):
                self.send(frames.text(line))
            threading.Thread(target=self.restart_when_read, daemon=True).start()
        elif code == 0x40:
            if args:  # KANJI_PROGRAM_FLASH is a command without arguments
                self.say("font programming refused: the command carries arguments")
                self.send(frames.encode(FONT_FAILED))
            else:
                threading.Thread(target=self.program_fonts, args=(self.generation,), daemon=True).start()
        elif code == 0x09:  # into the flash bootloader
            self.leave()
            self.arrive("bootloader")
        elif code == 0x0D:  # factory reset: the disk is made anew, the rider's folder empty
            self.say("factory reset")
            if self.drive_dir is not None:
                shutil.rmtree(os.path.join(self.drive_dir, "Tarvel"), ignore_errors=True)
                os.makedirs(os.path.join(self.drive_dir, "Tarvel"))
            self.leave()
            self.arrive("application")
        elif code == 0x0E and len(args) >= 6:
            crc, length = struct.unpack("<HI", args[:6])
            self.wireless_update(crc, length)

    def wireless_update(self, crc, length):
        """Reads the staged package from the drive (which the host has taken offline first),
        checks it against the command's CRC and length, applies it and restarts."""
        image = b""
        if self.drive_dir is not None:
            try:
                with open(os.path.join(self.drive_dir, "nrf_update.bin"), "rb") as f:
                    image = f.read()
            except OSError:
                pass
        if self.mounted or len(image) != length or ccitt_false(image) != crc or image[:8] != b"TRVLNRF1":
            why = "drive still mounted" if self.mounted else "package does not match the command"
            self.say("wireless update refused: " + why)
            self.send(bytes([frames.SOH, 0x25]) + b"FAILED".ljust(62, b"\0"))
            return
        for _ in range(8):
            self.send(frames.text("*"))
        self.send(frames.text("complete"))
        self.nrf = image[8:32].rstrip(b"\0").decode("ascii", "replace")
        self.say("wireless update applied")
        threading.Thread(target=self.restart_when_read, daemon=True).start()

    def font_problem(self, name):
        """Why the font NAME on the drive cannot be programmed, or None when it can."""
        if self.drive_dir is None:
            return "no drive"
        try:
            with open(os.path.join(self.drive_dir, name), "rb") as f:
                data = f.read()
        except OSError:
            return "%s is not on the drive" % name
        if not data:
            return "%s is empty" % name
        if data.startswith(FONT_MAGIC) and data[8:24].rstrip(b"\0") != name.encode():
            return "%s holds another font" % name
        return None

    def program_fonts(self, generation):
        """Reads the model's fonts from the drive root one after the other, answering each one
        programmed, or the failure byte at the first that is missing or wrong (and for a device
        without the Japanese firmware)."""
        with self.lock:
            fonts = SUMMIT_FONTS if self.model in (11, 12) else SMALL_FONTS
            japanese = self.variant == JAPANESE
        for name, answer in fonts:
            time.sleep(0.05)  # programming one font
            with self.lock:
                if generation != self.generation:
                    return  # restarted or unplugged meanwhile
                why = self.font_problem(name) if japanese else "not a Japanese firmware"
                if why:
                    self.say("font programming failed: " + why)
                    self.send(frames.encode(FONT_FAILED))
                    return
                self.say("font %s programmed" % name)
                self.send(frames.encode(answer))

    def restart_when_read(self):
        """The chip restarts the device once the host has read the end of the update; a host
        that reads nothing for a second is not waited for (the device restarts regardless)."""
        with self.lock:
            generation = self.generation
            left = len(self.outgoing)
            deadline = time.monotonic() + 1.0
            while self.outgoing and generation == self.generation and time.monotonic() < deadline:
                self.lock.wait(timeout=max(0.0, deadline - time.monotonic()))
                if len(self.outgoing) < left:
                    left = len(self.outgoing)
                    deadline = time.monotonic() + 1.0
            if generation == self.generation:
                self.leave()
                self.arrive("application")

    def restart_from_bootloader(self):
        record = self.bootloader.image_record()
        face = self.face
        self.leave()
        if record and 4 <= record[0] <= 16 and record[1] in (0, 60):
            self.model, self.variant, self.major, self.minor = record
            self.arrive("application")
        else:
            self.say("no application in flash")
            self.arrive(face)

    # Drive -------------------------------------------------------------------------------
    def volume_step(self, root, step):
        with self.lock:
            if root != self.root or (step in ("lock", "dismount") and not self.mounted):
                return False
            if step == "lock" and self.refuse_lock:
                self.say("drive refuses to lock")
                return False
            if step == "dismount":
                self.mounted = False
                self.event({"event": "volume_removal", "root": self.root})
            return step in ("lock", "dismount", "allow_removal", "eject")
