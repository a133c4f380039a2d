#include "linux/hidapi_backend.h"

#include "linux/hid_report_descriptor.h"

#include <hidapi/hidapi.h>

#include <linux/hidraw.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace platform::linux_backend {
namespace {

using Clock = std::chrono::steady_clock;

std::wstring widen(const std::string& text)
{
    // The texts are strerror's and our own: one wide character per byte is enough.
    std::wstring out;
    out.reserve(text.size());
    for (unsigned char c : text)
        out.push_back(wchar_t(c));
    return out;
}

std::wstring systemError(const char* call, int error)
{
    char text[256];
    std::snprintf(text, sizeof text, "%s failed with error %d: %s", call, error, std::strerror(error));
    return widen(text);
}

// hidraw writes go to the USB stack synchronously and cannot be cancelled from user space.
// One thread per device performs them on its own descriptor, so that the caller can stop
// waiting after its time limit; a write still in the kernel then finishes unobserved.
struct WriteChannel {
    std::mutex mutex;
    std::condition_variable changed;
    int fd = -1;
    bool stop = false;
    bool pending = false; // a request waits for the thread
    bool busy = false;    // the thread is inside write()
    uint64_t issued = 0, completed = 0;
    std::vector<uint8_t> buffer;
    ssize_t result = 0;
    int error = 0;
};

void runWriter(std::shared_ptr<WriteChannel> channel)
{
    std::unique_lock<std::mutex> lock(channel->mutex);
    for (;;) {
        channel->changed.wait(lock, [&] { return channel->stop || channel->pending; });
        if (channel->stop)
            break; // a request not yet started is dropped with the device
        std::vector<uint8_t> buffer = std::move(channel->buffer);
        const uint64_t generation = channel->issued;
        channel->pending = false;
        channel->busy = true;
        lock.unlock();
        ssize_t n;
        do
            n = ::write(channel->fd, buffer.data(), buffer.size());
        while (n < 0 && errno == EINTR);
        const int error = n < 0 ? errno : 0;
        lock.lock();
        channel->busy = false;
        channel->result = n;
        channel->error = error;
        channel->completed = generation;
        channel->changed.notify_all();
    }
    ::close(channel->fd);
}

struct LinuxHidDevice {
    hid_device* handle = nullptr;
    std::vector<uint8_t> descriptor;
    std::shared_ptr<WriteChannel> channel;
    std::thread writer;
    std::wstring writeError;
    bool writeErrorIsLatest = false;
};

LinuxHidDevice* fromHandle(HidDevice* device) { return reinterpret_cast<LinuxHidDevice*>(device); }

// Reads the report descriptor of an open hidraw node; empty when the node will not say.
std::vector<uint8_t> readDescriptor(int fd)
{
    int size = 0;
    if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0 || size <= 0 || size > HID_MAX_DESCRIPTOR_SIZE)
        return {};
    hidraw_report_descriptor raw{};
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
            m_openError = systemError("open", errno);
            hid_close(handle);
            return nullptr;
        }
        auto* device = new LinuxHidDevice;
        device->handle = handle;
        device->descriptor = readDescriptor(fd);
        device->channel = std::make_shared<WriteChannel>();
        device->channel->fd = fd;
        device->writer = std::thread(runWriter, device->channel);
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
        {
            std::lock_guard<std::mutex> lock(d->channel->mutex);
            d->channel->stop = true;
            d->channel->changed.notify_all();
        }
        // A write stuck in the kernel must not hold up the close; the thread closes its
        // descriptor when the kernel lets it go.
        d->writer.detach();
        hid_close(d->handle);
        delete d;
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

int hid_write_timeout(HidDevice* device, const unsigned char* data, size_t length, int milliseconds)
{
    LinuxHidDevice* d = fromHandle(device);
    if (!d || !data || length == 0) {
        if (d) {
            d->writeError = systemError("write", EINVAL);
            d->writeErrorIsLatest = true;
        }
        return -1;
    }
    const size_t reportLength = outputReportLength(d->descriptor.data(), d->descriptor.size(), data[0]);
    std::vector<uint8_t> report = padOutputReport(data, length, reportLength);

    WriteChannel& ch = *d->channel;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds);
    std::unique_lock<std::mutex> lock(ch.mutex);
    auto waitFor = [&](auto ready) {
        if (milliseconds < 0) {
            ch.changed.wait(lock, ready);
            return true;
        }
        return ch.changed.wait_until(lock, deadline, ready);
    };
    auto fail = [&](const char* call, int error) {
        d->writeError = systemError(call, error);
        d->writeErrorIsLatest = true;
        return -1;
    };

    // An earlier write that timed out may still be in the kernel: it counts against this one.
    if (!waitFor([&] { return !ch.pending && !ch.busy; }))
        return fail("write", ETIMEDOUT);
    ch.buffer = std::move(report);
    ch.pending = true;
    const uint64_t generation = ++ch.issued;
    ch.changed.notify_all();
    if (!waitFor([&] { return ch.completed >= generation; })) {
        if (ch.pending) { // not started yet: withdraw it
            ch.pending = false;
            ch.buffer.clear();
        }
        return fail("write", ETIMEDOUT);
    }
    if (ch.result < 0)
        return fail("write", ch.error);
    d->writeErrorIsLatest = false;
    return int(ch.result);
}

} // namespace platform::linux_backend
