#!/usr/bin/env python3
"""A second, independent device on the virtual USB bus: a flash bootloader (device type 11,
USB 0x2B29:0x0B) served on loopback TCP, written from the bus contract and the bootloader's
packet format alone, so that the programs are tried against a server that is not the
project's simulator.

    vbus_standin.py --tcp 127.0.0.1:0 [--token TEXT]

Prints TARVEL_VBUS=tcp:HOST:PORT/TOKEN on its first line and serves until killed. What the
bootloader answers: get-property (current-version, flash-size-in-bytes), flash-erase-region,
write-memory (refused over bytes that are not erased) and read-memory, each with its data
phase; any other command gets a generic response with status 10000 (unknown command).
"""
import argparse
import json
import secrets
import socket
import struct
import sys
import threading

VENDOR, PRODUCT = 0x2B29, 0x0B
FLASH_SIZE = 1 << 20
PACKET = 32
STATUS_UNKNOWN_COMMAND = 10000
STATUS_UNKNOWN_PROPERTY = 10300
STATUS_OUT_OF_RANGE = 10200
STATUS_NOT_ERASED = 105


class Bootloader:
    """The device: its flash and the reports it has still to send, one lock for all."""

    def __init__(self):
        self.lock = threading.Condition()
        self.flash = bytearray(b"\x00" * FLASH_SIZE)  # programmed until erased
        self.outgoing = []  # input reports (report ID first), oldest first
        self.incoming = None  # the write-memory data phase in progress: [address, left]

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
        with self.lock:
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

    def input_report(self, limit_ms):
        # Only what the device has to send: an empty queue stays empty until the host writes,
        # so a short wait answers as a full one would.
        with self.lock:
            if not self.outgoing and limit_ms != 0:
                self.lock.wait(min(limit_ms if limit_ms > 0 else 50, 50) / 1000)
            return self.outgoing.pop(0) if self.outgoing else b""


def serve(conn, device, token):
    handles = set()
    next_handle = [1]
    admitted = not token
    buffer = b""
    with conn:
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                return
            buffer += chunk
            while b"\n" in buffer:
                line, buffer = buffer.split(b"\n", 1)
                try:
                    request = json.loads(line)
                    if not isinstance(request, dict):
                        raise ValueError
                except ValueError:
                    conn.sendall(b'{"ok":false,"error":"malformed request"}\n')
                    continue
                op = request.get("op")
                if not admitted:
                    if op == "hello" and request.get("token") == token:
                        admitted = True
                    else:
                        conn.sendall(b'{"ok":false,"error":"token required"}\n')
                        return
                response = {"ok": True}
                if op == "hello":
                    response.update(bus="tarvel-vbus", version=1)
                elif op == "list":
                    response.update(usb=[{"vid": VENDOR, "pid": PRODUCT,
                                          "hwid": "USB\\VID_%04X&PID_%04X&REV_0100" % (VENDOR, PRODUCT)}], volumes=[])
                elif op == "open":
                    if request.get("vid") == VENDOR and request.get("pid") == PRODUCT:
                        handles.add(next_handle[0])
                        response["handle"] = next_handle[0]
                        next_handle[0] += 1
                    else:
                        response = {"ok": False, "error": "no such device"}
                elif op in ("write", "read", "close") and request.get("handle") not in handles:
                    response = {"ok": False, "error": "bad handle"}
                elif op == "write":
                    data = bytes.fromhex(request.get("data", ""))
                    device.output_report(data)
                    response["written"] = len(data)
                elif op == "read":
                    report = device.input_report(int(request.get("timeout_ms", 0)))
                    response["data"] = report[:int(request.get("max", len(report)))].hex()
                elif op == "close":
                    handles.discard(request["handle"])
                elif op == "subscribe":
                    conn.sendall(b'{"ok":true}\n')
                    conn.recv(1)  # no events: the line stays open until the client goes
                    return
                elif op == "volume":
                    response = {"ok": False, "error": "no such volume"}
                else:
                    response = {"ok": False, "error": "unknown op"}
                conn.sendall(json.dumps(response, separators=(",", ":")).encode() + b"\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tcp", required=True)
    parser.add_argument("--token")
    args = parser.parse_args()
    host, _, port = args.tcp.rpartition(":")
    if host not in ("127.0.0.1", "localhost"):
        print("vbus_standin: listens on 127.0.0.1 only", file=sys.stderr)
        return 2
    token = args.token or secrets.token_hex(16)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", int(port)))
    listener.listen(16)
    print("TARVEL_VBUS=tcp:127.0.0.1:%d/%s" % (listener.getsockname()[1], token), flush=True)
    device = Bootloader()
    while True:
        conn, _ = listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=serve, args=(conn, device, token), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
