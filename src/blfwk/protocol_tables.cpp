#include "blfwk/protocol_tables.h"

#include <cstdio>
#include <stdexcept>

namespace blfwk {

const std::array<command_entry_t, kCommandCount> commandTable = { {
    { 0x01, 0x00001, "flash-erase-all" },
    { 0x02, 0x00002, "flash-erase-region" },
    { 0x03, 0x00004, "read-memory" },
    { 0x04, 0x00008, "write-memory" },
    { 0x05, 0x00010, "fill-memory" },
    { 0x06, 0x00020, "flash-security-disable" },
    { 0x07, 0x00040, "get-property" },
    { 0x08, 0x00080, "receive-sb-file" },
    { 0x09, 0x00100, "execute" },
    { 0x0A, 0x00200, "call" },
    { 0x0B, 0x00400, "reset" },
    { 0x0C, 0x00800, "set-property" },
    { 0x0D, 0x01000, "flash-erase-all-unsecure" },
    { 0x0E, 0x02000, "flash-program-once" },
    { 0x0F, 0x04000, "flash-read-once" },
    { 0x10, 0x08000, "flash-read-resource" },
    { 0x11, 0x10000, "configure-quadspi" },
} };

const std::array<property_t, kPropertyCount> propertyTable = { {
    { 0, "list-properties" },
    { 1, "current-version" },
    { 2, "available-peripherals" },
    { 3, "flash-start-address" },
    { 4, "flash-size-in-bytes" },
    { 5, "flash-sector-size" },
    { 6, "flash-block-count" },
    { 7, "available-commands" },
    { 8, "crc-check-status" },
    { 9, "reserved" },
    { 10, "verify-writes" },
    { 11, "max-packet-size" },
    { 12, "reserved-regions" },
    { 13, "validate-regions" },
    { 14, "ram-start-address" },
    { 15, "ram-size-in-bytes" },
    { 16, "system-device-id" },
    { 17, "flash-security-state" },
    { 18, "unique-device-id" },
    { 19, "flash-fac-support" },
    { 20, "flash-access-segment-size" },
    { 21, "flash-access-segment-count" },
    { 22, "flash-read-margin" },
    { 23, "qspi/otfad-init-status" },
    { 24, "target-version" },
    { 25, "external-memory-attributes" },
} };

const property_t kInvalidProperty = { 255, "invalid-property" };

const std::array<peripheral_entry_t, kPeripheralCount> peripheralTable = { {
    { 0x01, "UART" },
    { 0x02, "I2C Slave" },
    { 0x04, "SPI Slave" },
    { 0x08, "CAN" },
    { 0x10, "USB HID" },
    { 0x20, "USB CDC" },
    { 0x40, "USB DFU" },
} };

const std::array<status_message_t, kStatusMessageCount + 1> statusMessageTable = { {
    { 0, "Success." },
    { 1, "Failure." },
    { 2, "kStatus_ReadOnly" },
    { 3, "kStatus_OutOfRange" },
    { 4, "kStatus_InvalidArgument" },
    { 100, "kStatus_FlashSizeError" },
    { 101, "kStatus_FlashAlignmentError" },
    { 102, "kStatus_FlashAddressError" },
    { 103, "kStatus_FlashAccessError" },
    { 104, "kStatus_FlashProtectionViolation" },
    { 105, "kStatus_FlashCommandFailure" },
    { 106, "kStatus_FlashUnknownProperty" },
    { 108, "kStatus_FlashRegionExecuteOnly" },
    { 109, "kStatus_FlashExecuteInRamFunctionNotReady" },
    { 200, "I2C Slave TX Underrun error." },
    { 201, "I2C Slave RX Overrun error." },
    { 202, "I2C Arbitration Lost error." },
    { 300, "SPI Slave TX Underrun error." },
    { 301, "SPI Slave RX Overrun error." },
    { 400, "QSPI Flash Size error." },
    { 401, "QSPI Flash Alignment error." },
    { 402, "QSPI Flash Address error." },
    { 403, "QSPI Flash Command Failure." },
    { 404, "QSPI Flash Unknown Property." },
    { 405, "QSPI Not Configured." },
    { 406, "QSPI Command Not Supported." },
    { 407, "QSPI Command Timeout" },
    { 408, "QSPI Write Failure." },
    { 500, "OTFAD Security Violation." },
    { 501, "OTFAD Logically Disabled." },
    { 502, "OTFAD Invalid Key." },
    { 503, "OTFAD Invalid KeyBlob." },
    { 10000, "kStatus_UnknownCommand" },
    { 10001, "Command disallowed when security is enabled." },
    { 10002, "kStatus_AbortDataPhase" },
    { 10003, "kStatus_Ping" },
    { 10004, "No response packet from target device." },
    { 10005, "No response packet from target device was expected." },
    { 10100, "kStatusRomLdrSectionOverrun" },
    { 10101, "kStatusRomLdrSignature" },
    { 10102, "kStatusRomLdrSectionLength" },
    { 10103, "kStatusRomLdrUnencryptedOnly" },
    { 10104, "kStatusRomLdrEOFReached" },
    { 10105, "kStatusRomLdrChecksum" },
    { 10106, "kStatusRomLdrCrc32Error" },
    { 10107, "kStatusRomLdrUnknownCommand" },
    { 10108, "kStatusRomLdrIdNotFound" },
    { 10109, "kStatusRomLdrDataUnderrun" },
    { 10110, "kStatusRomLdrJumpReturned" },
    { 10111, "kStatusRomLdrCallFailed" },
    { 10112, "kStatusRomLdrKeyNotFound" },
    { 10113, "kStatusRomLdrSecureOnly" },
    { 10200, "kStatusMemoryRangeInvalid" },
    { 10201, "kStatusMemoryReadFailed" },
    { 10202, "kStatusMemoryWriteFailed" },
    { 10300, "Unknown property." },
    { 10301, "Property is read-only." },
    { 10302, "Invalid property value." },
    { 10400, "kStatus_AppCrcCheckPassed" },
    { 10401, "kStatus_AppCrcCheckFailed" },
    { 10402, "kStatus_AppCrcCheckInactive" },
    { 10403, "kStatus_AppCrcCheckInvalid" },
    { 10404, "kStatus_AppCrcCheckOutOfRange" },
    { 10500, "No response received for ping command." },
    { 10501, "Invalid packet type." },
    { 10502, "Invalid CRC value." },
    { 10503, "No response received for command." },
    { kStatusTableTerminator, "" },
} };

std::string statusMessage(status_t status)
{
    for (const status_message_t& row : statusMessageTable) {
        if (row.status == kStatusTableTerminator)
            break;
        if (row.status == status)
            return row.message;
    }
    char text[48];
    std::snprintf(text, sizeof text, "Unknown error code (%d)", status);
    return text;
}

const command_entry_t& commandRow(size_t index)
{
    if (index >= commandTable.size())
        throw std::out_of_range("invalid array<T, N> subscript");
    return commandTable[index];
}

const peripheral_entry_t& peripheralRow(size_t index)
{
    if (index >= peripheralTable.size())
        throw std::out_of_range("invalid array<T, N> subscript");
    return peripheralTable[index];
}

} // namespace blfwk
