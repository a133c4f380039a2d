#pragma once
// The application link's frames: SOH, DLE-escaped code, payload and CRC (low byte first),
// EOT, one frame per HID report. The encoder and decoder are pure and serve either peer; the
// operations that talk to the running device are in app_exchange.h.

#include <cstddef>
#include <cstdint>

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
