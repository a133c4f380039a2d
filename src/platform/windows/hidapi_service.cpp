// HID on Windows: hidapi's Windows backend, its writes through the project's hid_write_timeout.

#include "windows/hid_write_timeout.h"
#include "windows/windows_backends.h"

#include <windows.h>

#include <cwchar>
#include <mutex>

namespace platform::windows_backend {
namespace {

hid_device* fromHandle(HidDevice* device)
{
    return reinterpret_cast<hid_device*>(device);
}

std::wstring hidapiText(const wchar_t* text)
{
    // hidapi says "Success" when nothing has failed; the service reports that as no error.
    if (!text || std::wcscmp(text, L"Success") == 0)
        return {};
    return text;
}

class HidapiService : public HidService {
public:
    HidDevice* open(uint16_t vendorId, uint16_t productId) override
    {
        std::lock_guard<std::mutex> lock(m_openMutex);
        m_openError.clear();
        hid_device* handle = hid_open(vendorId, productId, nullptr);
        if (!handle) {
            m_openError = hidapiText(hid_error(nullptr));
            if (m_openError.empty())
                m_openError = L"No HID device with the requested vendor and product id";
            return nullptr;
        }
        return reinterpret_cast<HidDevice*>(handle);
    }

    int read(HidDevice* device, uint8_t* buffer, size_t length, int timeoutMs) override
    {
        if (!device)
            return -1;
        return hid_read_timeout(fromHandle(device), buffer, length, timeoutMs);
    }

    int write(HidDevice* device, const uint8_t* data, size_t length, int timeoutMs) override
    {
        if (!device)
            return -1;
        return hid_write_timeout(fromHandle(device), data, length, timeoutMs);
    }

    std::wstring lastError(HidDevice* device) override
    {
        if (!device) {
            std::lock_guard<std::mutex> lock(m_openMutex);
            return m_openError;
        }
        return hidapiText(hid_error(fromHandle(device)));
    }

    void close(HidDevice* device) override
    {
        if (device)
            hid_close(fromHandle(device));
    }

    void shutdown() override { hid_exit(); }

private:
    std::mutex m_openMutex;
    std::wstring m_openError;
};

} // namespace

HidService& hidapiService()
{
    static HidapiService service;
    return service;
}

std::string systemErrorText(const char* operation, unsigned long code)
{
    wchar_t text[640];
    const size_t length = tarvel_hid_error_text(text, sizeof text / sizeof text[0], operation, code);
    std::string out;
    for (size_t i = 0; i < length; ++i)
        out.push_back(text[i] < 0x80 ? char(text[i]) : '?');
    return out;
}

} // namespace platform::windows_backend
