#!/usr/bin/env python3
"""A second, independent device on the virtual USB bus, served on loopback TCP and written
from the bus contract and the device's protocols alone, so that the programs are tried
against a server that is not the project's simulator.

    vbus_standin.py --tcp 127.0.0.1:0 [--token TEXT] [--model N] [--variant japanese]
                    [--version MAJOR.MINOR] [--nrf-version TEXT]
                    [--face application|bootloader|rom] [--drive-dir DIR [--root-map DIR/=ROOT]]
                    [--rider-data] [--refuse-lock]

Prints TARVEL_VBUS=tcp:HOST:PORT/TOKEN on its first line and serves until SIGTERM (exit 0).
Without options it is a Summit GPS sitting in its flash bootloader with no drive. Its state
changes are written to standard error, ending with the firmware it runs.
"""
import argparse
import os
import secrets
import signal
import socket
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from standin.bus import serve  # noqa: E402
from standin.device import Device  # noqa: E402


def rider_data(drive_dir):
    """A rider's folder with rides and settings of varied sizes and bytes."""
    folder = os.path.join(drive_dir, "Tarvel")
    os.makedirs(os.path.join(folder, "Rides"), exist_ok=True)
    for n in range(3):
        with open(os.path.join(folder, "Rides", "ride%02d.fit" % n), "wb") as f:
            f.write(bytes((i * (n + 3) + n) & 0xFF for i in range(1000 + 7000 * n)))
    with open(os.path.join(folder, "settings.ini"), "w") as f:
        f.write("units=metric\nname=Rider\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tcp", required=True)
    parser.add_argument("--token")
    parser.add_argument("--model", type=int, default=11)
    parser.add_argument("--variant", choices=("standard", "japanese"), default="standard")
    parser.add_argument("--version", default="7.63")
    parser.add_argument("--nrf-version", default="1.10.31.39")
    parser.add_argument("--face", choices=("application", "bootloader", "rom"))
    parser.add_argument("--drive-dir")
    parser.add_argument("--root-map", default="")
    parser.add_argument("--rider-data", action="store_true")
    parser.add_argument("--refuse-lock", action="store_true", help="the drive's volume lock always fails")
    args = parser.parse_args()
    host, _, port = args.tcp.rpartition(":")
    if host not in ("127.0.0.1", "localhost"):
        print("vbus_standin: listens on 127.0.0.1 only", file=sys.stderr)
        return 2
    major, _, minor = args.version.partition(".")
    root = None
    if args.drive_dir:
        drive = os.path.join(os.path.abspath(args.drive_dir), "")
        linux, _, client = args.root_map.partition("=")
        root = client + drive[len(linux):] if linux and drive.startswith(linux) else drive
        if args.rider_data:
            rider_data(args.drive_dir)
    face = args.face or ("application" if args.drive_dir else "bootloader")
    device = Device(args.model, 60 if args.variant == "japanese" else 0, int(major), int(minor),
                    args.nrf_version, face, args.drive_dir, root)
    device.refuse_lock = args.refuse_lock
    token = args.token or secrets.token_hex(16)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", int(port)))
    listener.listen(16)

    def stop(*_):
        with device.lock:
            device.say("stops")
        os._exit(0)
    signal.signal(signal.SIGTERM, stop)
    print("TARVEL_VBUS=tcp:127.0.0.1:%d/%s" % (listener.getsockname()[1], token), flush=True)
    while True:
        conn, _ = listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=serve, args=(conn, device, token), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
