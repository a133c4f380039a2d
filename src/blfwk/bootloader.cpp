#include "blfwk/bootloader.h"

#include "blfwk/memory_commands.h"
#include "blfwk/property_commands.h"
#include "blfwk/usb_hid_packetizer.h"
#include "blfwk/usb_hid_peripheral.h"

#include "platform/clock.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace blfwk {

namespace {

[[noreturn]] void throwStatus(status_t status)
{
    throw std::runtime_error(statusMessage(status));
}

status_t firstValue(const Command& cmd)
{
    const uint32_vector_t* values = cmd.responseValues();
    return values->empty() ? kStatus_NoResponse : status_t(values->front());
}

} // namespace

Bootloader::Bootloader(const PeripheralConfig& config)
{
    if (!Log::getLogger()) {
        // Lives for the rest of the process as the process-wide logger.
        m_logger = new FileLogger("bootloader.log");
        m_logger->setFilterLevel(Logger::Trace);
        Log::setLogger(m_logger);
    }

    switch (config.peripheralKind) {
    case PeripheralConfig::PeripheralUsbHid: {
        auto* peripheral = new UsbHidPeripheral(config.usbVendorId, config.usbProductId);
        m_packetizer = new UsbHidPacketizer(peripheral, uint32_t(config.packetTimeoutMs));
        break;
    }
    case PeripheralConfig::PeripheralUart:
    case PeripheralConfig::PeripheralBusPalUart:
        // The serial transports are not built yet; they join here, each followed by the
        // initial ping when pingOnOpen asks for it ("Error: Initial ping failure: %s").
    default: {
        char text[64];
        std::snprintf(text, sizeof text, "Error: Unsupported peripheral type(%d).", config.peripheralKind);
        throw std::runtime_error(text);
    }
    }
}

Bootloader::~Bootloader()
{
    flush();
    delete m_packetizer;
    m_packetizer = nullptr;
}

void Bootloader::inject(Command& cmd)
{
    const auto start = platform::now();
    cmd.sendTo(*m_packetizer);
    const auto ticks = std::chrono::duration_cast<std::chrono::milliseconds>(platform::now() - start).count();
    Log::debug("  - took %2.3f seconds\n", double(ticks) / 1000.0);
}

void Bootloader::flush()
{
    if (m_packetizer)
        m_packetizer->finalize();
}

void Bootloader::ping(int retries, unsigned int delay, int comSpeed)
{
    (void)retries;
    (void)delay;
    (void)comSpeed;
    flush();
    // Only a serial packetizer pings; a USB-HID connection has nothing to do.
}

void Bootloader::execute(uint32_t entry_point, uint32_t param, uint32_t stack_pointer)
{
    Execute cmd(entry_point, param, stack_pointer);
    Log::info("Inject command '%s'\n", cmd.name().c_str());
    inject(cmd);
    if (const status_t status = firstValue(cmd))
        throwStatus(status);
}

void Bootloader::reset()
{
    Reset cmd;
    Log::info("Inject command '%s'\n", cmd.name().c_str());
    inject(cmd);
    if (const status_t status = firstValue(cmd))
        throwStatus(status);
}

uint32_t Bootloader::getPropertyWord(uint8_t propertyValue)
{
    GetProperty cmd(propertyByValue(propertyValue));
    Log::info("inject command '%s'\n", cmd.name().c_str());
    inject(cmd);
    if (const status_t status = firstValue(cmd))
        throwStatus(status);
    const uint32_vector_t* values = cmd.responseValues();
    if (values->size() < 2)
        throw std::out_of_range("invalid vector<T> subscript");
    return (*values)[1];
}

uint32_t Bootloader::getCurrentVersion()
{
    return getPropertyWord(1);
}
uint32_t Bootloader::getSecurityState()
{
    return getPropertyWord(17);
}

} // namespace blfwk
