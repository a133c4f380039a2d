#pragma once
// Reading a HID report descriptor far enough to know how long each output report is, and
// extending a short output buffer to that length. Kept apart from the hidraw calls (and
// header-only) so that it can be checked with descriptors built by hand.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace platform::linux_backend {

// hidraw never moves more than this in one report; anything longer is a broken descriptor.
constexpr size_t kMaxReportBytes = 16384;

// Length in bytes of the output report with this id as written to hidraw, including the
// leading report-id byte (which is 0x00 for a device without numbered reports). Returns 0
// when the descriptor declares no output report with that id, or when it is malformed.
inline size_t outputReportLength(const uint8_t* descriptor, size_t descriptorLength, uint8_t reportId)
{
    struct Globals {
        uint32_t reportSize = 0, reportCount = 0;
        uint8_t reportId = 0;
    };
    constexpr size_t kMaxPush = 16;
    Globals stack[kMaxPush];
    size_t depth = 0;
    Globals g;
    bool numbered = false, seen = false;
    uint64_t bits = 0;

    size_t i = 0;
    while (i < descriptorLength) {
        const uint8_t prefix = descriptor[i];
        if (prefix == 0xFE) { // long item: size, tag, data
            if (descriptorLength - i < 3)
                return 0;
            const size_t size = descriptor[i + 1];
            if (descriptorLength - i - 3 < size)
                return 0;
            i += 3 + size;
            continue;
        }
        const size_t size = (prefix & 0x03) == 3 ? 4 : (prefix & 0x03);
        if (descriptorLength - i - 1 < size)
            return 0;
        uint32_t value = 0;
        for (size_t b = 0; b < size; ++b)
            value |= uint32_t(descriptor[i + 1 + b]) << (8 * b);
        const uint8_t type = (prefix >> 2) & 0x03;
        const uint8_t tag = prefix >> 4;
        i += 1 + size;

        if (type == 1) { // global
            switch (tag) {
            case 7:
                g.reportSize = value;
                break;
            case 9:
                g.reportCount = value;
                break;
            case 8:
                if (value == 0 || value > 0xFF)
                    return 0; // report id 0 is reserved
                g.reportId = uint8_t(value);
                numbered = true;
                break;
            case 10:
                if (depth == kMaxPush)
                    return 0;
                stack[depth++] = g;
                break;
            case 11:
                if (depth == 0)
                    return 0;
                g = stack[--depth];
                break;
            default:
                break;
            }
        } else if (type == 0 && tag == 9) { // main: Output
            if (g.reportId == reportId) {
                seen = true;
                bits += uint64_t(g.reportSize) * g.reportCount;
                if (bits > uint64_t(kMaxReportBytes) * 8)
                    return 0;
            }
        }
    }
    if (!seen || (numbered && reportId == 0))
        return 0;
    const size_t bytes = size_t((bits + 7) / 8) + 1;
    return bytes > kMaxReportBytes ? 0 : bytes;
}

inline std::vector<uint8_t> padOutputReport(const uint8_t* data, size_t length, size_t reportLength)
{
    std::vector<uint8_t> out(length < reportLength ? reportLength : length, 0);
    if (length)
        std::memcpy(out.data(), data, length);
    return out;
}

} // namespace platform::linux_backend
