#pragma once
// The fixed vocabulary of the bootloader protocol: command names and tags, response tags,
// command flags, property tags, peripheral bits and status codes with their texts.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace blfwk {

using status_t = int32_t;

// Status codes the host itself produces or examines.
enum : status_t {
    kStatus_Success = 0,
    kStatus_Fail = 1,
    kStatus_ReadOnly = 2,
    kStatus_OutOfRange = 3,
    kStatus_InvalidArgument = 4,
    kStatus_Timeout = 5,
    kStatus_UnknownCommand = 10000,
    kStatus_SecurityViolation = 10001,
    kStatus_AbortDataPhase = 10002,
    kStatus_Ping = 10003,
    kStatus_NoResponse = 10004,
    kStatus_NoResponseExpected = 10005,
    kStatus_NoPingResponse = 10500,
    kStatus_InvalidPacketType = 10501,
    kStatus_InvalidCRC = 10502,
    kStatus_NoCommandResponse = 10503,
};

enum : uint8_t {
    kCommandTag_FlashEraseAll = 0x01,
    kCommandTag_FlashEraseRegion = 0x02,
    kCommandTag_ReadMemory = 0x03,
    kCommandTag_WriteMemory = 0x04,
    kCommandTag_FillMemory = 0x05,
    kCommandTag_FlashSecurityDisable = 0x06,
    kCommandTag_GetProperty = 0x07,
    kCommandTag_ReceiveSbFile = 0x08,
    kCommandTag_Execute = 0x09,
    kCommandTag_Call = 0x0A,
    kCommandTag_Reset = 0x0B,
    kCommandTag_SetProperty = 0x0C,
    kCommandTag_FlashEraseAllUnsecure = 0x0D,
    kCommandTag_FlashProgramOnce = 0x0E,
    kCommandTag_FlashReadOnce = 0x0F,
    kCommandTag_FlashReadResource = 0x10,
    kCommandTag_ConfigureQuadSpi = 0x11,

    kCommandTag_GenericResponse = 0xA0,
    kCommandTag_ReadMemoryResponse = 0xA3,
    kCommandTag_GetPropertyResponse = 0xA7,
    kCommandTag_FlashReadOnceResponse = 0xAF,
    kCommandTag_FlashReadResourceResponse = 0xB0,
};

enum : uint8_t { kCommandFlag_HasDataPhase = 0x01 };

struct command_entry_t {
    uint8_t tag;
    uint32_t mask; // bit of the "available-commands" property
    const char* name;
};

struct property_t {
    uint8_t value;
    const char* name;
};

struct peripheral_entry_t {
    uint32_t mask; // bit of the "available-peripherals" property
    const char* name;
};

struct status_message_t {
    status_t status;
    const char* message;
};

inline constexpr size_t kCommandCount = 17;
inline constexpr size_t kPropertyCount = 26;
inline constexpr size_t kPeripheralCount = 7;
inline constexpr size_t kStatusMessageCount = 67; // rows before the terminator
inline constexpr status_t kStatusTableTerminator = 0x7FFFFFFF;

extern const std::array<command_entry_t, kCommandCount> commandTable; // row i has tag i + 1
extern const std::array<property_t, kPropertyCount> propertyTable;
extern const property_t kInvalidProperty; // value 255, "invalid-property": what a failed lookup yields
extern const std::array<peripheral_entry_t, kPeripheralCount> peripheralTable;
extern const std::array<status_message_t, kStatusMessageCount + 1> statusMessageTable; // with terminator

// The message of a status code, or "Unknown error code (%d)".
std::string statusMessage(status_t status);

// Row access for the bits of the availability properties; a row beyond the table throws
// std::out_of_range("invalid array<T, N> subscript").
const command_entry_t& commandRow(size_t index);
const peripheral_entry_t& peripheralRow(size_t index);

} // namespace blfwk
