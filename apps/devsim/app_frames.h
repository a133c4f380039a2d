#pragma once
// The device's side of the application link: frames of SOH, DLE-escaped code, payload and
// CRC, EOT, one per 64-byte report.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace devsim {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kSoh = 0x01;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kDle = 0x10;
constexpr size_t kAppReportSize = 64; // input and output report, without the report id
constexpr size_t kAppOutputWriteSize = 65; // what the host writes: report id 0 and the report

// Escaped frame for body (code and payload), with the CRC appended.
Bytes encodeFrame(const Bytes& body);
// The same with a given CRC (a device that corrupts its frames).
Bytes encodeFrameWithCrc(const Bytes& body, uint16_t crc);

// Finds the first complete frame in report bytes and unescapes it. False unless an SOH, an
// EOT and a CRC over the body that matches were found; body then holds code and payload.
bool decodeFrame(const uint8_t* data, size_t length, Bytes& body);

// A 64-byte input report carrying frame, zero-filled.
Bytes inputReport(const Bytes& frame);

// A text line frame body: code 0x0A, the text and its terminating zero.
Bytes textBody(const std::string& text);

} // namespace devsim
