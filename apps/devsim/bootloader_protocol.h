#pragma once
// The bootloader side of the protocol: packet tags, status codes, property tags and the
// 36-byte report layout (report id, padding, little-endian length, up to 32 packet bytes).

#include <cstddef>
#include <cstdint>

namespace devsim::bl {

constexpr uint8_t kReportCommand = 1; // host to device
constexpr uint8_t kReportDataOut = 2; // host to device
constexpr uint8_t kReportResponse = 3; // device to host
constexpr uint8_t kReportDataIn = 4; // device to host
constexpr size_t kReportSize = 36;
constexpr size_t kMaxPacket = 32;

enum CommandTag : uint8_t {
    kFlashEraseAll = 0x01,
    kFlashEraseRegion = 0x02,
    kReadMemory = 0x03,
    kWriteMemory = 0x04,
    kFillMemory = 0x05,
    kFlashSecurityDisable = 0x06,
    kGetProperty = 0x07,
    kReceiveSbFile = 0x08,
    kExecute = 0x09,
    kCall = 0x0A,
    kReset = 0x0B,
    kSetProperty = 0x0C,
    kFlashEraseAllUnsecure = 0x0D,
};

constexpr uint8_t kGenericResponse = 0xA0;
constexpr uint8_t kReadMemoryResponse = 0xA3;
constexpr uint8_t kGetPropertyResponse = 0xA7;

enum Status : uint32_t {
    kSuccess = 0,
    kFail = 1,
    kReadOnly = 2,
    kOutOfRange = 3,
    kInvalidArgument = 4,
    kFlashSizeError = 100,
    kFlashAlignmentError = 101,
    kFlashAddressError = 102,
    kFlashAccessError = 103,
    kFlashProtectionViolation = 104,
    kFlashCommandFailure = 105,
    kUnknownCommand = 10000,
    kAbortDataPhase = 10002,
    kMemoryRangeInvalid = 10200,
    kMemoryWriteFailed = 10202,
    kUnknownProperty = 10300,
    kReadOnlyProperty = 10301,
    kInvalidPropertyValue = 10302,
    kAppCrcCheckInactive = 10402,
    kQspiNotConfigured = 405,
};

enum Property : uint32_t {
    kCurrentVersion = 1,
    kAvailablePeripherals = 2,
    kFlashStartAddress = 3,
    kFlashSizeInBytes = 4,
    kFlashSectorSize = 5,
    kFlashBlockCount = 6,
    kAvailableCommands = 7,
    kCrcCheckStatus = 8,
    kVerifyWrites = 10,
    kMaxPacketSize = 11,
    kReservedRegions = 12,
    kValidateRegions = 13,
    kRamStartAddress = 14,
    kRamSizeInBytes = 15,
    kSystemDeviceId = 16,
    kFlashSecurityState = 17,
    kUniqueDeviceId = 18,
    kFlashFacSupport = 19,
    kFlashAccessSegmentSize = 20,
    kFlashAccessSegmentCount = 21,
    kFlashReadMargin = 22,
    kQspiInitStatus = 23,
    kTargetVersion = 24,
    kExternalMemoryAttributes = 25,
};

// The memory map of the part: 1 MB of flash from 0 in 4 KB sectors, the flash bootloader in
// its first 40 KB, the application from 0xA000; 256 KB of RAM.
constexpr uint32_t kFlashStart = 0x00000000;
constexpr uint32_t kFlashSize = 0x00100000;
constexpr uint32_t kSectorSize = 0x1000;
constexpr uint32_t kProgramUnit = 8;
constexpr uint32_t kApplicationBase = 0xA000;
constexpr uint32_t kRamStart = 0x1FFF0000;
constexpr uint32_t kRamSize = 0x00040000;

} // namespace devsim::bl
