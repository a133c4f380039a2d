#include "blfwk/bootloader.h"

#include "blfwk/bus_pal.h"
#include "blfwk/memory_commands.h"
#include "blfwk/property_commands.h"
#include "blfwk/serial_packetizer.h"
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
    case PeripheralConfig::PeripheralBusPalUart: {
        const bool bridge = config.peripheralKind == PeripheralConfig::PeripheralBusPalUart;
        UartPeripheral* peripheral = bridge
            ? new BusPalUartPeripheral(config.portName.c_str(), config.baudRate, config.busPal)
            : new UartPeripheral(config.portName.c_str(), config.baudRate);
        m_packetizer = new SerialPacketizer(peripheral, uint32_t(config.packetTimeoutMs));
        if (config.pingOnOpen) {
            try {
                // A bridge gives the target a few tries; a UART line waits for the answer's
                // bytes at its own speed.
                if (bridge)
                    ping(3, 0, 0);
                else
                    ping(0, 0, config.baudRate);
            } catch (const std::exception& e) {
                delete m_packetizer;
                m_packetizer = nullptr;
                char text[320];
                std::snprintf(text, sizeof text, "Error: Initial ping failure: %s", e.what());
                throw std::runtime_error(text);
            }
        }
        break;
    }
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
    flush();
    // Only a serial packetizer pings; a USB-HID connection has nothing to do.
    auto* serial = dynamic_cast<SerialPacketizer*>(m_packetizer);
    if (!serial)
        return;
    const status_t status = serial->ping(retries, delay, nullptr, comSpeed);
    if (status != kStatus_Success) {
        flush();
        throwStatus(status);
    }
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
