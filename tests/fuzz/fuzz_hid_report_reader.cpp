// The USB-HID bootloader report reader (UsbHidPacketizer::readPacket) over any sequence of
// input reports: the input is cut into reports by a length byte before each. A packet it
// delivers must lie inside the report it came from.
#include "blfwk/usb_hid_packetizer.h"

#include "platform/hid.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Script : platform::HidService {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t offset = 0;

    platform::HidDevice* open(uint16_t, uint16_t) override
    {
        return reinterpret_cast<platform::HidDevice*>(this);
    }
    int read(platform::HidDevice*, uint8_t* buffer, size_t length, int) override
    {
        if (offset >= size)
            return 0; // silence
        size_t count = data[offset++];
        if (count == 0xFF)
            return -1; // a failed read
        count %= 40;
        if (count > size - offset)
            count = size - offset;
        if (count > length)
            count = length;
        std::memcpy(buffer, data + offset, count);
        offset += count;
        return int(count);
    }
    int write(platform::HidDevice*, const uint8_t*, size_t length, int) override { return int(length); }
    std::wstring lastError(platform::HidDevice*) override { return L""; }
    void close(platform::HidDevice*) override { }
    void shutdown() override { }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Script* script = [] {
        auto* s = new Script;
        platform::setHidService(s);
        return s;
    }();
    script->data = data;
    script->size = size;
    script->offset = 0;
    blfwk::UsbHidPacketizer packetizer(new blfwk::UsbHidPeripheral(0x15A2, 0x0073), 0);
    // As a command exchange and a data phase use it: a write, then reads of both kinds.
    const uint8_t command[] = { 0x07, 0x00, 0x00, 0x00 };
    packetizer.writePacket(command, sizeof command, blfwk::PacketType::Command);
    for (int i = 0; i < 8 && script->offset < size; ++i) {
        uint8_t* packet = nullptr;
        uint32_t length = 0;
        const auto type = i % 2 ? blfwk::PacketType::Data : blfwk::PacketType::Command;
        if (packetizer.readPacket(&packet, &length, type) == blfwk::kStatus_Success) {
            if (length > blfwk::UsbHidPacketizer::kReportSize - blfwk::UsbHidPacketizer::kReportHeaderSize)
                std::abort();
            volatile uint8_t sum = 0;
            for (uint32_t k = 0; k < length; ++k)
                sum = uint8_t(sum + packet[k]);
        }
    }
    return 0;
}
