#pragma once
// Input reports as a running device sends them: a frame of the application link in a 64-byte
// report, padded with zeros.

#include "scripted_hid.h"

#include <string>

namespace testsupport {

// A report holding the frame of body (code first).
Bytes frameReport(const Bytes& body);
// The READ_DEVICE_INFO echo: 0x06, raw id, major, minor, byte 4, byte 5.
Bytes deviceInfoReport(uint8_t rawId, uint8_t major, uint8_t minor);
// A text line frame (0x0A, the text, a zero byte).
Bytes textReport(const std::string& text);
// A report holding text as plain bytes from byte 0 (how some answers are judged).
Bytes rawTextReport(const std::string& text);

// Collects every logLine of the updater while alive; restores the previous log slot after.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::string text() const;
    bool contains(const std::string& part) const { return text().find(part) != std::string::npos; }
    size_t count(const std::string& part) const;
};

// Collects every status call while alive.
struct StatusRecord {
    int isComplete;
    std::string message; // "<none>" for none
    std::string detail;  // "<none>" for none
};
class StatusCapture {
public:
    StatusCapture();
    ~StatusCapture();
    std::vector<StatusRecord> calls() const;
    bool hasMessage(const std::string& message) const;
    bool hasDetail(const std::string& detail) const;
};

} // namespace testsupport
