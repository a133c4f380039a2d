"""The application face's frames: SOH, escaped code and payload, CRC-16/XMODEM low byte first,
EOT, one frame per 64-byte report."""
SOH, EOT, DLE, TEXT = 0x01, 0x04, 0x10, 0x0A
REPORT = 64


def crc16(data, crc=0):
    """CRC-16 with polynomial 0x1021: XMODEM from 0, CCITT-FALSE from 0xFFFF."""
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021 if crc & 0x8000 else crc << 1) & 0xFFFF
    return crc


def encode(body):
    """One input report holding the frame of BODY (code first), zero-filled."""
    body = bytes(body)
    crc = crc16(body)
    out = bytearray([SOH])
    for b in body + bytes([crc & 0xFF, crc >> 8]):
        if b in (SOH, EOT, DLE):
            out.append(DLE)
        out.append(b)
    out.append(EOT)
    if len(out) > REPORT:
        raise ValueError("frame longer than one report")
    return bytes(out.ljust(REPORT, b"\0"))


def text(line):
    """A text line from the device: code 0x0A, the text, its zero byte."""
    return encode(bytes([TEXT]) + line.encode("ascii") + b"\0")


def decode(report):
    """The code and payload of the host's frame in an output report (report ID removed), or
    None when it holds no whole frame with a matching CRC."""
    body, escaped, started = bytearray(), False, False
    for b in report:
        if escaped:
            body.append(b)
            escaped = False
        elif b == SOH:
            body, started = bytearray(), True
        elif b == DLE:
            escaped = True
        elif b == EOT and started:
            if len(body) >= 3 and crc16(body[:-2]) == body[-2] | body[-1] << 8:
                return bytes(body[:-2])
            return None
        else:
            body.append(b)
    return None
