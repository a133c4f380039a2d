// The two bootloader faces: command, response and data packets in numbered 36-byte reports,
// over the flash model. The flash bootloader protects its own 40 KB; the ROM bootloader
// leaves the whole flash open.

#include "device.h"

#include "firmware/asset_records.h"

namespace devsim {

using namespace bl;
using firmware_records::readLe32;

namespace {

void appendLe32(Bytes& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(v >> (8 * i)));
}

Bytes responseHeader(uint8_t tag, uint8_t count)
{
    return Bytes { tag, 0, 0, count };
}

// Bit (tag - 1) for every command this bootloader carries out.
constexpr uint32_t kCommandsCarriedOut = 1u << (kFlashEraseAll - 1) | 1u << (kFlashEraseRegion - 1)
    | 1u << (kReadMemory - 1) | 1u << (kWriteMemory - 1) | 1u << (kFillMemory - 1) | 1u << (kGetProperty - 1)
    | 1u << (kReset - 1) | 1u << (kSetProperty - 1) | 1u << (kFlashEraseAllUnsecure - 1);

} // namespace

void Device::bootloaderReportLocked(const Bytes& report)
{
    size_t length = size_t(report[2]) | size_t(report[3]) << 8;
    if (length > kMaxPacket)
        return; // no packet fits: the report is dropped
    const uint8_t* packet = report.data() + 4;
    if (report[0] == kReportDataOut)
        dataPacketLocked(packet, length);
    else
        commandPacketLocked(packet, length);
}

struct Device::CommandPacket {
    uint8_t tag = 0;
    size_t count = 0;   // parameters the packet carries
    uint32_t p[7] = {}; // the first seven of them, the rest zero
    uint32_t protectedEnd = 0;
    // True when the packet carries at least n parameters; answers kInvalidArgument otherwise.
    bool needs(Device& device, size_t n) const
    {
        if (count >= n)
            return true;
        device.genericResponseLocked(kInvalidArgument, tag);
        return false;
    }
};

void Device::commandPacketLocked(const uint8_t* packet, size_t length)
{
    // The commands this bootloader carries out, each with its handler; any other tag is
    // answered kUnknownCommand.
    struct CommandHandler {
        uint8_t tag;
        void (Device::*handle)(const CommandPacket&);
    };
    static const CommandHandler kHandlers[] = {
        { kFlashEraseAll, &Device::eraseAllLocked },
        { kFlashEraseAllUnsecure, &Device::eraseAllLocked },
        { kFlashEraseRegion, &Device::eraseRegionLocked },
        { kWriteMemory, &Device::writeMemoryLocked },
        { kReadMemory, &Device::readMemoryCommandLocked },
        { kFillMemory, &Device::fillMemoryLocked },
        { kGetProperty, &Device::getPropertyLocked },
        { kSetProperty, &Device::setPropertyCommandLocked },
        { kReset, &Device::resetCommandLocked },
    };
    m_dataRefused = false;
    if (length == 0) {
        m_phase = DataPhase(); // the host abandons the exchange
        return;
    }
    // A command in the middle of a data phase ends that phase.
    m_phase = DataPhase();
    if (length < 4) {
        genericResponseLocked(kInvalidArgument, packet[0]);
        return;
    }
    CommandPacket command;
    command.tag = packet[0];
    command.count = packet[3];
    if (4 + 4 * command.count > length) {
        genericResponseLocked(kInvalidArgument, command.tag);
        return;
    }
    for (size_t i = 0; i < command.count && i < 7; ++i)
        command.p[i] = readLe32(packet + 4 + 4 * i);
    if (injectedCommandFaultLocked(command))
        return;
    command.protectedEnd = protectedEndLocked();
    for (const CommandHandler& handler : kHandlers) {
        if (handler.tag == command.tag) {
            (this->*handler.handle)(command);
            return;
        }
    }
    genericResponseLocked(kUnknownCommand, command.tag);
}

// A fault the test armed for this command: silence, or a status in place of the answer.
bool Device::injectedCommandFaultLocked(const CommandPacket& command)
{
    if (takeFaultLocked(FaultKind::Silence))
        return true;
    uint32_t injected = 0;
    if (!takeFaultLocked(FaultKind::CommandStatus, [&](const Fault& f) {
            if (f.commandTag >= 0 && f.commandTag != command.tag)
                return false;
            injected = f.status;
            return true;
        }))
        return false;
    if (command.tag == kGetProperty) {
        Bytes response = responseHeader(kGetPropertyResponse, 1);
        appendLe32(response, injected);
        sendPacketLocked(kReportResponse, response);
    } else {
        genericResponseLocked(injected, command.tag);
    }
    return true;
}

void Device::eraseAllLocked(const CommandPacket& command)
{
    if (command.tag == kFlashEraseAll && command.count >= 1 && command.p[0] != 0) {
        genericResponseLocked(kInvalidArgument, command.tag); // only the internal flash exists
        return;
    }
    genericResponseLocked(m_flash.eraseAll(command.protectedEnd), command.tag);
}

void Device::eraseRegionLocked(const CommandPacket& command)
{
    if (command.needs(*this, 2))
        genericResponseLocked(m_flash.eraseRegion(command.p[0], command.p[1], command.protectedEnd), command.tag);
}

void Device::writeMemoryLocked(const CommandPacket& command)
{
    if (!command.needs(*this, 2))
        return;
    const uint32_t status = m_flash.checkWrite(command.p[0], command.p[1], command.protectedEnd);
    genericResponseLocked(status, command.tag);
    if (status == kSuccess && command.p[1] > 0) {
        m_phase.active = true;
        m_phase.toDevice = true;
        m_phase.address = command.p[0];
        m_phase.remaining = command.p[1];
        m_phase.done = 0;
    }
}

void Device::readMemoryCommandLocked(const CommandPacket& command)
{
    if (command.needs(*this, 2))
        readMemoryLocked(command.p[0], command.p[1]);
}

void Device::fillMemoryLocked(const CommandPacket& command)
{
    if (!command.needs(*this, 3))
        return;
    uint32_t status = m_flash.checkWrite(command.p[0], command.p[1], command.protectedEnd);
    if (status == kSuccess && command.p[1] > 0) {
        Bytes bytes(command.p[1]);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = uint8_t(command.p[2] >> (8 * (i % 4)));
        status = m_flash.write(command.p[0], bytes.data(), bytes.size());
    }
    genericResponseLocked(status, command.tag);
}

void Device::getPropertyLocked(const CommandPacket& command)
{
    if (!command.needs(*this, 1))
        return;
    std::vector<uint32_t> values;
    const uint32_t status = propertyLocked(command.p[0], command.count >= 2 ? command.p[1] : 0, values);
    Bytes response = responseHeader(kGetPropertyResponse, uint8_t(1 + values.size()));
    appendLe32(response, status);
    for (uint32_t v : values)
        appendLe32(response, v);
    sendPacketLocked(kReportResponse, response);
}

void Device::setPropertyCommandLocked(const CommandPacket& command)
{
    if (command.needs(*this, 2))
        genericResponseLocked(setPropertyLocked(command.p[0], command.p[1]), command.tag);
}

void Device::resetCommandLocked(const CommandPacket& command)
{
    genericResponseLocked(kSuccess, command.tag);
    scheduleLocked([this] { restartJob(200, nullptr); });
}

void Device::dataPacketLocked(const uint8_t* packet, size_t length)
{
    if (!m_phase.active || !m_phase.toDevice || length == 0)
        return; // a data packet outside a data phase is dropped
    const uint32_t done = m_phase.done;
    auto crosses = [&](const Fault& f) { return done + length > f.afterBytes; };
    Fault fault;
    if (takeFaultLocked(FaultKind::DisconnectInDataPhase, crosses, &fault)) {
        bool comesBack = fault.comesBack;
        leaveLocked();
        scheduleLocked([this, comesBack] {
            if (comesBack && nap(m_timings.away)) {
                Face next;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    next = bootFaceLocked();
                }
                arriveAndMount(next);
            }
        });
        return;
    }
    if (takeFaultLocked(FaultKind::AbortDataPhase, crosses)) {
        // The device stalls its data endpoint: this report and the rest of the phase are
        // refused, and the abort status is the answer the host reads at the phase's end.
        m_phase = DataPhase();
        m_dataRefused = true;
        genericResponseLocked(kAbortDataPhase, kWriteMemory);
        return;
    }
    uint32_t n = std::min<uint32_t>(uint32_t(length), m_phase.remaining);
    // A marginal cell: the packet is taken and acknowledged, but one of its bytes is stored
    // with a bit flipped. Erased flash takes any value, so the flipped byte programs as well.
    Bytes stored(packet, packet + n);
    auto covers = [&](const Fault& f) { return f.offset >= done && f.offset < done + n; };
    if (takeFaultLocked(FaultKind::CorruptWrite, covers, &fault))
        stored[fault.offset - done] ^= 0x10;
    uint32_t status = m_flash.write(m_phase.address + m_phase.done, stored.data(), n);
    if (status != kSuccess) {
        m_phase = DataPhase();
        genericResponseLocked(status, kWriteMemory);
        return;
    }
    m_phase.done += n;
    m_phase.remaining -= n;
    if (m_phase.remaining == 0) {
        m_phase = DataPhase();
        genericResponseLocked(kSuccess, kWriteMemory);
    }
}

void Device::readMemoryLocked(uint32_t address, uint32_t count)
{
    uint32_t status = m_flash.checkRead(address, count);
    if (status != kSuccess) {
        genericResponseLocked(status, kReadMemory);
        return;
    }
    Bytes response = responseHeader(kReadMemoryResponse, 2);
    appendLe32(response, kSuccess);
    appendLe32(response, count);
    sendPacketLocked(kReportResponse, response);
    const uint64_t epoch = m_epoch;
    for (uint32_t done = 0; done < count;) {
        uint32_t n = std::min<uint32_t>(count - done, uint32_t(kMaxPacket));
        auto crosses = [&](const Fault& f) { return done + n > f.afterBytes; };
        Fault fault;
        if (takeFaultLocked(FaultKind::DisconnectInDataPhase, crosses, &fault)) {
            leaveLocked();
            bool comesBack = fault.comesBack;
            scheduleLocked([this, comesBack] {
                if (comesBack && nap(m_timings.away)) {
                    Face next;
                    {
                        std::lock_guard<std::mutex> lock(m_mutex);
                        next = bootFaceLocked();
                    }
                    arriveAndMount(next);
                }
            });
            return;
        }
        if (takeFaultLocked(FaultKind::AbortDataPhase, crosses)) {
            sendPacketLocked(kReportDataIn, {});
            genericResponseLocked(kAbortDataPhase, kReadMemory);
            return;
        }
        Bytes data(n);
        m_flash.read(address + done, data.data(), n);
        sendPacketLocked(kReportDataIn, data);
        done += n;
    }
    if (m_epoch == epoch)
        genericResponseLocked(kSuccess, kReadMemory);
}

uint32_t Device::propertyLocked(uint32_t property, uint32_t memoryId, std::vector<uint32_t>& values) const
{
    const bool rom = m_face == Face::Rom;
    switch (property) {
    case kCurrentVersion:
        values = { rom ? 0x4B010100u : 0x4B020100u }; // K1.1.0 in ROM, K2.1.0 in flash
        return kSuccess;
    case kAvailablePeripherals:
        values = { rom ? 0x17u : 0x10u }; // ROM: UART, I2C, SPI, USB HID; flash: USB HID
        return kSuccess;
    case kFlashStartAddress:
        values = { kFlashStart };
        return kSuccess;
    case kFlashSizeInBytes:
        values = { kFlashSize };
        return kSuccess;
    case kFlashSectorSize:
        values = { kSectorSize };
        return kSuccess;
    case kFlashBlockCount:
        values = { 2 };
        return kSuccess;
    case kAvailableCommands:
        values = { kCommandsCarriedOut };
        return kSuccess;
    case kCrcCheckStatus:
        values = { kAppCrcCheckInactive };
        return kSuccess;
    case kVerifyWrites:
        values = { m_verifyWrites };
        return kSuccess;
    case kMaxPacketSize:
        values = { uint32_t(kMaxPacket) };
        return kSuccess;
    case kReservedRegions:
        if (rom)
            values = { 0, 0, kRamStart, kRamStart + 0x1FFF };
        else
            values = { kFlashStart, kApplicationBase - 1, kRamStart, kRamStart + 0x3FFF };
        return kSuccess;
    case kValidateRegions:
        values = { 1 };
        return kSuccess;
    case kRamStartAddress:
        values = { kRamStart };
        return kSuccess;
    case kRamSizeInBytes:
        values = { kRamSize };
        return kSuccess;
    case kSystemDeviceId:
        values = { 0x26A30084u };
        return kSuccess;
    case kFlashSecurityState:
        values = { 0 };
        return kSuccess;
    case kUniqueDeviceId:
        values = { 0x0037FFFFu, 0xFFFFFFFFu, 0x4E453235u, 0x2000001Du + uint32_t(m_config.model) };
        return kSuccess;
    case kFlashFacSupport:
        values = { 0 };
        return kSuccess;
    case kFlashAccessSegmentSize:
        values = { 0x8000 };
        return kSuccess;
    case kFlashAccessSegmentCount:
        values = { kFlashSize / 0x8000 };
        return kSuccess;
    case kFlashReadMargin:
        values = { m_readMargin };
        return kSuccess;
    case kQspiInitStatus:
        values = { kQspiNotConfigured };
        return kSuccess;
    case kTargetVersion:
        values = { 0x54010000u }; // T1.0.0
        return kSuccess;
    case kExternalMemoryAttributes:
        return memoryId == 1 ? uint32_t(kQspiNotConfigured) : uint32_t(kInvalidArgument);
    default:
        return kUnknownProperty;
    }
}

uint32_t Device::setPropertyLocked(uint32_t property, uint32_t value)
{
    switch (property) {
    case kVerifyWrites:
        if (value > 1)
            return kInvalidPropertyValue;
        m_verifyWrites = value;
        return kSuccess;
    case kFlashReadMargin:
        if (value > 2)
            return kInvalidPropertyValue;
        m_readMargin = value;
        return kSuccess;
    default: {
        std::vector<uint32_t> ignored;
        return propertyLocked(property, 0, ignored) == kUnknownProperty ? uint32_t(kUnknownProperty)
                                                                        : uint32_t(kReadOnlyProperty);
    }
    }
}

} // namespace devsim
