"""The flash bootloader face: 36-byte numbered reports (1 command, 2 data out, 3 response,
4 data in), each a framing byte, a zero, a little-endian length and the packet. It answers
get-property (current-version, flash-size-in-bytes), flash-erase-region, write-memory (refused
over bytes that are not erased) and read-memory, each with its data phase, and reset; any other
command gets a generic response with status 10000 (unknown command). The caller holds the
device's lock around every call."""
import struct

FLASH_SIZE = 1 << 20
APP_BASE = 0xA000
PACKET = 32
STATUS_UNKNOWN_COMMAND = 10000
STATUS_UNKNOWN_PROPERTY = 10300
STATUS_OUT_OF_RANGE = 10200
STATUS_NOT_ERASED = 105


class Bootloader:
    """The device: its flash and the reports it has still to send, one lock for all."""

    def __init__(self, lock, on_reset):
        self.lock = lock
        # The bootloader's own pages are programmed; the rest is erased until written.
        self.flash = bytearray(b"\x00" * APP_BASE + b"\xff" * (FLASH_SIZE - APP_BASE))
        self.outgoing = []  # input reports (report ID first), oldest first
        self.incoming = None  # the write-memory data phase in progress: [address, left, status]
        self.on_reset = on_reset  # called, lock held, once the reset's response is queued

    def report(self, report_id, packet):
        body = bytes(packet)
        self.outgoing.append(bytes([report_id, 0]) + struct.pack("<H", len(body)) + body.ljust(PACKET, b"\0"))
        self.lock.notify_all()

    def respond(self, tag, *words):
        self.report(3, struct.pack("<BBBB", tag, 0, 0, len(words)) + b"".join(struct.pack("<I", w) for w in words))

    def generic(self, status, command):
        self.respond(0xA0, status, command)

    def output_report(self, data):
        if len(data) < 4:
            return
        report_id = data[0]
        length = struct.unpack("<H", data[2:4])[0]
        packet = data[4:4 + length]
        if report_id == 1:
            self.command(packet)
        elif report_id == 2:
            self.data(packet)

    def command(self, packet):
        if len(packet) < 4:
            return
        tag, flags, _, count = packet[:4]
        words = [struct.unpack("<I", packet[4 + 4 * i:8 + 4 * i])[0] for i in range(min(count, (len(packet) - 4) // 4))]
        words += [0] * (4 - len(words))
        if tag == 0x07:  # get-property
            values = {1: 0x4B020100, 4: FLASH_SIZE}
            if words[0] in values:
                self.respond(0xA7, 0, values[words[0]])
            else:
                self.respond(0xA7, STATUS_UNKNOWN_PROPERTY)
        elif tag == 0x02:  # flash-erase-region
            start, size = words[0], words[1]
            if start + size > FLASH_SIZE:
                self.generic(STATUS_OUT_OF_RANGE, tag)
            else:
                self.flash[start:start + size] = b"\xff" * size
                self.generic(0, tag)
        elif tag == 0x04:  # write-memory, the data phase follows
            start, size = words[0], words[1]
            if start + size > FLASH_SIZE:
                self.generic(STATUS_OUT_OF_RANGE, tag)
            else:
                self.incoming = [start, size, 0]
                self.generic(0, tag)
        elif tag == 0x03:  # read-memory
            start, size = words[0], words[1]
            if start + size > FLASH_SIZE:
                self.respond(0xA3, STATUS_OUT_OF_RANGE, 0)
                return
            self.respond(0xA3, 0, size)
            for at in range(start, start + size, PACKET):
                self.report(4, self.flash[at:min(at + PACKET, start + size)])
            self.generic(0, tag)
        elif tag == 0x0B:  # reset: answered, then the device restarts
            self.generic(0, tag)
            self.on_reset()
        else:
            self.generic(STATUS_UNKNOWN_COMMAND, tag)

    def data(self, packet):
        if not self.incoming:
            return
        address, left, status = self.incoming
        chunk = packet[:left]
        if status == 0 and any(b != 0xFF for b in self.flash[address:address + len(chunk)]):
            status = STATUS_NOT_ERASED
        if status == 0:
            self.flash[address:address + len(chunk)] = chunk
        self.incoming = [address + len(chunk), left - len(chunk), status]
        if self.incoming[1] <= 0:
            self.incoming = None
            self.generic(status, 0x04)

    def image_record(self):
        """(type, variant, major, minor) of the image programmed at the application's base, or
        None when the flash there holds none."""
        at = APP_BASE + 0x200
        if self.flash[at:at + 8] != b"TRVLIMG1":
            return None
        return struct.unpack("<IIII", self.flash[at + 8:at + 24])
