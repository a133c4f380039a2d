#include "app_frames.h"

#include "crc/app_crc.h"

namespace devsim {

Bytes encodeFrame(const Bytes& body)
{
    return encodeFrameWithCrc(body, appCrc16(body.data(), body.size()));
}

Bytes encodeFrameWithCrc(const Bytes& body, uint16_t crc)
{
    Bytes raw;
    raw.reserve(body.size() + 2);
    raw.insert(raw.end(), body.begin(), body.end());
    raw.push_back(uint8_t(crc & 0xFF));
    raw.push_back(uint8_t(crc >> 8));
    Bytes frame;
    frame.reserve(2 * raw.size() + 2);
    frame.push_back(kSoh);
    for (uint8_t b : raw) {
        if (b == kSoh || b == kEot || b == kDle)
            frame.push_back(kDle);
        frame.push_back(b);
    }
    frame.push_back(kEot);
    return frame;
}

bool decodeFrame(const uint8_t* data, size_t length, Bytes& body)
{
    bool inFrame = false;
    bool escaped = false;
    Bytes raw;
    for (size_t i = 0; i < length; ++i) {
        uint8_t c = data[i];
        if (!inFrame) {
            if (c == kSoh) {
                inFrame = true;
                raw.clear();
            }
            continue;
        }
        if (escaped) {
            raw.push_back(c);
            escaped = false;
        } else if (c == kDle) {
            escaped = true;
        } else if (c == kSoh) {
            raw.clear(); // a new frame starts
        } else if (c == kEot) {
            if (raw.size() < 3)
                return false;
            uint16_t received = uint16_t(raw[raw.size() - 2] | raw[raw.size() - 1] << 8);
            if (appCrc16(raw.data(), raw.size() - 2) != received)
                return false;
            body.assign(raw.begin(), raw.end() - 2);
            return true;
        } else {
            raw.push_back(c);
        }
    }
    return false;
}

Bytes inputReport(const Bytes& frame)
{
    Bytes report(kAppReportSize, 0x00);
    for (size_t i = 0; i < frame.size() && i < kAppReportSize; ++i)
        report[i] = frame[i];
    return report;
}

Bytes textBody(const std::string& text)
{
    Bytes body;
    body.reserve(text.size() + 2);
    body.push_back(0x0A);
    body.insert(body.end(), text.begin(), text.end());
    body.push_back(0);
    return body;
}

} // namespace devsim
