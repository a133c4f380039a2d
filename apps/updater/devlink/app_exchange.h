#pragma once
// Talking to the running device through the HID service: opening it, sending one command
// frame, and the command/echo exchange.

#include "devlink/frame_codec.h"

#include <cstdint>

namespace platform {
struct HidDevice;
}

// Time limits and tolerance of the exchange
constexpr int kWriteTimeoutMs = -1; // the write waits until the report is out
constexpr int kReplyReadTimeoutMs = 10000;
constexpr int kUnexpectedRepliesTolerated = 2; // the third one ends the exchange

// Opens the running device (0x2B29 / 0x55, first match, no serial number); nullptr if absent.
platform::HidDevice* openAppDevice();

// Sends one command frame in one output report (write without time limit); true when the
// write reported bytes written. Reads nothing.
bool sendCommand(uint8_t code, platform::HidDevice* device);
bool sendCommandWithArgs(uint8_t code, platform::HidDevice* device, uint16_t argumentA, uint32_t argumentB);

// Opens the device, sends a command-only frame and waits for the device to echo the code,
// passing text lines from the device to the log (never to standard output) meanwhile; closes
// the device. True when the echo arrived: reply (kReplyBufferSize bytes) then holds the decoded
// frame, code at byte 0 and payload from byte 1.
bool transactCommand(uint8_t code, uint8_t* reply);
