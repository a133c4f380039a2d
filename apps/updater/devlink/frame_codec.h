#pragma once
// The application link's frames: SOH, DLE-escaped code, payload and CRC (low byte first),
// EOT, one frame per HID report. The encoder and decoder are pure and serve either peer;
// the send and exchange operations talk to the running device through the HID service.

#include <cstddef>
#include <cstdint>

namespace platform {
struct HidDevice;
}

// Frame bytes
constexpr uint8_t kSoh = 0x01;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kDle = 0x10;
constexpr uint8_t kTextMessageCode = 0x0A; // first frame byte of a text line from the device

// Reports
constexpr size_t kOutputReportSize = 65; // report id 0x00, then 64 frame bytes
constexpr size_t kInputReportSize = 64; // report id already removed by the HID layer
constexpr size_t kReplyBufferSize = 65;
constexpr uint8_t kReportFill = 0xFF; // output report bytes after the frame

// Time limits and tolerance of the exchange
constexpr int kWriteTimeoutMs = -1; // the write waits until the report is out
constexpr int kReplyReadTimeoutMs = 10000;
constexpr int kUnexpectedRepliesTolerated = 2; // the third one ends the exchange

// Host bodies: code only, or code + argument A (u16 LE) + argument B (u32 LE).
constexpr size_t kCommandBodyLength = 1;
constexpr size_t kCommandWithArgsBodyLength = 7;
constexpr size_t kMaxCommandFrameLength = 8; // every byte escaped
constexpr size_t kMaxCommandWithArgsFrameLength = 20; // every byte escaped

// Writes the body shapes into out (at least 1 or 7 bytes); returns the body length.
size_t commandBody(uint8_t code, uint8_t* out);
size_t commandWithArgsBody(uint8_t code, uint16_t argumentA, uint32_t argumentB, uint8_t* out);

// Encodes a body as a frame into out: SOH, the escaped body and its appCrc16 (low byte
// first), EOT. Returns the frame length, or 0 when it does not fit into outCapacity (out is
// then left untouched) or body is missing.
size_t encodeFrame(const uint8_t* body, size_t bodyLength, uint8_t* out, size_t outCapacity);

// Packs a frame into a 65-byte output report: 0x00, the frame, 0xFF up to the end.
// Returns false (report untouched) when the frame is longer than 64 bytes.
bool packReport(const uint8_t* frame, size_t frameLength, uint8_t* report);

struct DecodedFrame {
    size_t length = 0; // bytes written to the reply buffer from index 0
    bool complete = false; // an EOT with a matching CRC ended the frame
};

// Decodes one input report into reply (kReplyBufferSize bytes). Bytes before the last SOH
// are dropped; an EOT whose CRC does not match does not end the frame. The reply buffer is
// not cleared: bytes past the returned length keep what they held. Never reads past
// reportLength nor writes past the reply buffer, whatever the report holds.
DecodedFrame decodeFrame(const uint8_t* report, size_t reportLength, uint8_t* reply);

// Opens the running device (0x2B29 / 0x55, first match, no serial number); nullptr if absent.
platform::HidDevice* openAppDevice();

// Sends one command frame in one output report (write without time limit); true when the
// write reported bytes written. Reads nothing.
bool sendCommand(uint8_t code, platform::HidDevice* device);
bool sendCommandWithArgs(uint8_t code, platform::HidDevice* device, uint16_t argumentA, uint32_t argumentB);

// Opens the device, sends a command-only frame and waits for the device to echo the code,
// passing text lines from the device to standard output and the log meanwhile; closes the
// device. True when the echo arrived: reply (kReplyBufferSize bytes) then holds the decoded
// frame, code at byte 0 and payload from byte 1.
bool transactCommand(uint8_t code, uint8_t* reply);
