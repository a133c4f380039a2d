#include "linux/hidapi_backend.h"

#include "linux/hid_report_descriptor.h"
#include "linux/timed_writer.h"

#include <hidapi/hidapi.h>

#include <linux/hidraw.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace platform::linux_backend {
namespace {

std::wstring widen(const std::string& text)
{
    // The texts are strerror's and our own: one wide character per byte is enough.
    std::wstring out;
    out.reserve(text.size());
    for (unsigned char c : text)
        out.push_back(wchar_t(c));
    return out;
}

struct LinuxHidDevice {
    hid_device* handle = nullptr;
    std::vector<uint8_t> descriptor;
    std::unique_ptr<TimedWriter> writer;
    std::wstring writeError;
    bool writeErrorIsLatest = false;
};

LinuxHidDevice* fromHandle(HidDevice* device)
{
    return reinterpret_cast<LinuxHidDevice*>(device);
}

// Reads the report descriptor of an open hidraw node; empty when the node will not say.
std::vector<uint8_t> readDescriptor(int fd)
{
    int size = 0;
    if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0 || size <= 0 || size > HID_MAX_DESCRIPTOR_SIZE)
        return {};
    hidraw_report_descriptor raw {};
    raw.size = uint32_t(size);
    if (::ioctl(fd, HIDIOCGRDESC, &raw) < 0)
        return {};
    return std::vector<uint8_t>(raw.value, raw.value + size);
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
        hid_device_info* list = hid_enumerate(vendorId, productId);
        if (!list) {
            m_openError = hidapiText(hid_error(nullptr));
            if (m_openError.empty())
                m_openError = L"No HID device with the requested vendor and product id";
            return nullptr;
        }
        const std::string path = list->path ? list->path : "";
        hid_free_enumeration(list);

        hid_device* handle = hid_open_path(path.c_str());
        if (!handle) {
            m_openError = hidapiText(hid_error(nullptr));
            return nullptr;
        }
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            m_openError = hidErrorText("open", errno);
            hid_close(handle);
            return nullptr;
        }
        auto* device = new LinuxHidDevice;
        device->handle = handle;
        device->descriptor = readDescriptor(fd);
        device->writer = std::make_unique<TimedWriter>(fd);
        return reinterpret_cast<HidDevice*>(device);
    }

    int read(HidDevice* device, uint8_t* buffer, size_t length, int timeoutMs) override
    {
        LinuxHidDevice* d = fromHandle(device);
        if (!d)
            return -1;
        const int n = hid_read_timeout(d->handle, buffer, length, timeoutMs);
        if (n < 0)
            d->writeErrorIsLatest = false;
        return n;
    }

    int write(HidDevice* device, const uint8_t* data, size_t length, int timeoutMs) override
    {
        return hid_write_timeout(device, data, length, timeoutMs);
    }

    std::wstring lastError(HidDevice* device) override
    {
        if (!device) {
            std::lock_guard<std::mutex> lock(m_openMutex);
            return m_openError;
        }
        LinuxHidDevice* d = fromHandle(device);
        if (d->writeErrorIsLatest)
            return d->writeError;
        return hidapiText(hid_error(d->handle));
    }

    void close(HidDevice* device) override
    {
        LinuxHidDevice* d = fromHandle(device);
        if (!d)
            return;
        // A write stuck in the kernel does not hold up the close: the writer's thread closes
        // its descriptor when the kernel lets it go.
        d->writer.reset();
        hid_close(d->handle);
        delete d;
    }

    void shutdown() override { hid_exit(); }

private:
    std::mutex m_openMutex;
    std::wstring m_openError;
};

} // namespace

std::wstring hidErrorText(const char* call, int error)
{
    char text[256];
    std::snprintf(text, sizeof text, "%s failed with error %d: %s", call, error, std::strerror(error));
    return widen(text);
}

HidService& hidapiService()
{
    static HidapiService service;
    return service;
}

int hid_write_timeout(HidDevice* device, const unsigned char* data, size_t length, int milliseconds)
{
    LinuxHidDevice* d = fromHandle(device);
    if (!d || !data || length == 0) {
        if (d) {
            d->writeError = hidErrorText("write", EINVAL);
            d->writeErrorIsLatest = true;
        }
        return -1;
    }
    const size_t reportLength = outputReportLength(d->descriptor.data(), d->descriptor.size(), data[0]);
    std::vector<uint8_t> report = padOutputReport(data, length, reportLength);

    const TimedWriter::Result result = d->writer->write(std::move(report), milliseconds);
    if (result.count < 0) {
        d->writeError = hidErrorText("write", result.error);
        d->writeErrorIsLatest = true;
        return -1;
    }
    d->writeErrorIsLatest = false;
    return int(result.count);
}

} // namespace platform::linux_backend
