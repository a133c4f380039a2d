#include "devlink/frame_codec.h"

#include "crc/app_crc.h"

#include <cstring>

namespace {

bool needsEscape(uint8_t byte)
{
    return byte == kSoh || byte == kEot || byte == kDle;
}

} // namespace

size_t commandBody(uint8_t code, uint8_t* out)
{
    out[0] = code;
    return kCommandBodyLength;
}

size_t commandWithArgsBody(uint8_t code, uint16_t argumentA, uint32_t argumentB, uint8_t* out)
{
    out[0] = code;
    out[1] = uint8_t(argumentA);
    out[2] = uint8_t(argumentA >> 8);
    for (int i = 0; i < 4; ++i)
        out[3 + i] = uint8_t(argumentB >> (8 * i));
    return kCommandWithArgsBodyLength;
}

size_t encodeFrame(const uint8_t* body, size_t bodyLength, uint8_t* out, size_t outCapacity)
{
    if (!body || !out)
        return 0;
    const uint16_t crc = appCrc16(body, bodyLength);
    const uint8_t crcBytes[2] = { uint8_t(crc), uint8_t(crc >> 8) };

    size_t needed = 2; // SOH, EOT
    for (size_t i = 0; i < bodyLength; ++i)
        needed += needsEscape(body[i]) ? 2 : 1;
    for (uint8_t b : crcBytes)
        needed += needsEscape(b) ? 2 : 1;
    if (needed > outCapacity)
        return 0;

    size_t n = 0;
    out[n++] = kSoh;
    auto put = [&](uint8_t b) {
        if (needsEscape(b))
            out[n++] = kDle;
        out[n++] = b;
    };
    for (size_t i = 0; i < bodyLength; ++i)
        put(body[i]);
    put(crcBytes[0]);
    put(crcBytes[1]);
    out[n++] = kEot;
    return n;
}

bool packReport(const uint8_t* frame, size_t frameLength, uint8_t* report)
{
    if (!frame || !report || frameLength > kOutputReportSize - 1)
        return false;
    std::memset(report, kReportFill, kOutputReportSize);
    report[0] = 0x00;
    std::memcpy(report + 1, frame, frameLength);
    return true;
}

DecodedFrame decodeFrame(const uint8_t* report, size_t reportLength, uint8_t* reply)
{
    DecodedFrame result;
    if (!report || !reply)
        return result;
    bool escaped = false;
    size_t& length = result.length;
    // A report longer than the reply buffer could otherwise store past its end; what does
    // not fit is dropped (an input report is 64 bytes, so a real one always fits).
    auto store = [&](uint8_t c) {
        if (length < kReplyBufferSize)
            reply[length++] = c;
        escaped = false;
    };
    for (size_t i = 0; i < reportLength && !result.complete; ++i) {
        const uint8_t c = report[i];
        if (escaped) {
            store(c);
            continue;
        }
        switch (c) {
        case kSoh:
            length = 0;
            break;
        case kEot:
            if (length >= 2) {
                const uint16_t received = uint16_t(reply[length - 2] | (reply[length - 1] << 8));
                if (length > 2 && appCrc16(reply, length - 2) == received)
                    result.complete = true;
            }
            break;
        case kDle:
            escaped = true;
            break;
        default:
            store(c);
            break;
        }
    }
    return result;
}
