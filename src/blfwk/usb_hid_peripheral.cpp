#include "blfwk/usb_hid_peripheral.h"

#include "blfwk/logger.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace blfwk {

namespace {

// Each piece is its own log call: the updater's progress display counts them.
void traceBytes(const char* open, const uint8_t* bytes, int count, const char* close)
{
    Log::trace("%s", open);
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            Log::trace(" ");
        Log::trace("%02x", bytes[i]);
    }
    Log::trace("%s", close);
}

std::string narrow(const std::wstring& wide)
{
    std::string text;
    text.reserve(wide.size());
    for (wchar_t c : wide) {
        char buffer[MB_LEN_MAX];
        const int n = std::wctomb(buffer, c);
        if (n > 0)
            text.append(buffer, size_t(n));
        else
            text.push_back('?');
    }
    return text;
}

} // namespace

UsbHidPeripheral::UsbHidPeripheral(uint16_t vendorId, uint16_t productId)
    : m_vendorId(vendorId)
    , m_productId(productId)
    , m_hid(platform::hidService())
{
    m_device = m_hid.open(vendorId, productId);
    if (!m_device) {
        char text[128];
        std::snprintf(text, sizeof text,
            "Error: UsbHidPeripheral() cannot open USB HID device (vid=0x%04x, pid=0x%04x).", vendorId,
            productId);
        // The service's own words say what went wrong: no bus, no answer, another device.
        const std::string reason = narrow(m_hid.lastError(nullptr));
        throw std::runtime_error(reason.empty() ? std::string(text) : std::string(text) + " " + reason);
    }
}

UsbHidPeripheral::~UsbHidPeripheral()
{
    if (m_device) {
        m_hid.close(m_device);
        m_hid.shutdown();
    }
}

status_t UsbHidPeripheral::read(
    uint8_t* buffer, uint32_t requestedBytes, int32_t* actualBytes, uint32_t timeoutMs)
{
    if (!buffer)
        return kStatus_InvalidArgument;
    const int count = m_hid.read(m_device, buffer, requestedBytes, int(timeoutMs));
    if (actualBytes)
        *actualBytes = count;
    if (Log::traceEnabled())
        traceBytes("<", buffer, count, ">\n");
    if (count >= 4)
        return kStatus_Success;
    if (count == -1)
        return kStatus_Fail;
    return kStatus_Timeout;
}

status_t UsbHidPeripheral::write(const uint8_t*, uint32_t)
{
    return kStatus_Success;
}

status_t UsbHidPeripheral::write(const uint8_t* buffer, uint32_t byteCount, uint32_t timeoutMs)
{
    if (!buffer)
        return kStatus_InvalidArgument;
    if (Log::traceEnabled())
        traceBytes("[", buffer, int(byteCount), "]\n");
    const int result = m_hid.write(m_device, buffer, byteCount, int(timeoutMs));
    if (result >= 0)
        return kStatus_Success;
    const std::wstring error = m_hid.lastError(m_device);
    if (!error.empty())
        Log::error("%s", narrow(error).c_str());
    return kStatus_Fail;
}

} // namespace blfwk
