#include "platform/vbus/backends.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace platform {

// What a HidDevice is on the bus: a connection of its own and the server's handle on it.
struct HidDevice {
    vbus::BusClient client;
    Json::Int64 handle = 0;
    std::wstring error;
};

namespace vbus {
namespace {

std::wstring widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

// The error text that every HID backend records: "<operation> failed with error <code>: <message>".
std::wstring failureText(const char* operation, const std::string& message)
{
    int code = message == "device disconnected" ? ENODEV : EIO;
    char text[512];
    std::snprintf(text, sizeof(text), "%s failed with error %d: %s", operation, code, message.c_str());
    return widen(text);
}

} // namespace

HidDevice* HidBackend::open(uint16_t vendorId, uint16_t productId)
{
    auto device = std::make_unique<HidDevice>();
    std::string error;
    auto fail = [&](const std::string& message) -> HidDevice* {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_openError = failureText("open", message);
        return nullptr;
    };
    if (!device->client.connect(m_path, &error))
        return fail(error);
    Json::Value hello(Json::objectValue), response;
    hello["op"] = "hello";
    hello["client"] = "tarvel-hid";
    if (!device->client.call(hello, response) || !response["ok"].asBool())
        return fail("bus did not answer hello");
    Json::Value request(Json::objectValue);
    request["op"] = "open";
    request["vid"] = vendorId;
    request["pid"] = productId;
    if (!device->client.call(request, response))
        return fail("bus connection lost");
    if (!response["ok"].asBool() || !response["handle"].isIntegral())
        return fail(errorOf(response));
    device->handle = response["handle"].asInt64();
    return device.release();
}

int HidBackend::read(HidDevice* device, uint8_t* buffer, size_t length, int timeoutMs)
{
    if (!device || !buffer)
        return -1;
    Json::Value request(Json::objectValue), response;
    request["op"] = "read";
    request["handle"] = device->handle;
    request["max"] = Json::UInt64(length);
    request["timeout_ms"] = timeoutMs;
    if (!device->client.call(request, response)) {
        device->error = failureText("read", "bus connection lost");
        return -1;
    }
    if (!response["ok"].asBool()) {
        device->error = failureText("read", errorOf(response));
        return -1;
    }
    std::vector<uint8_t> bytes;
    if (!hexDecode(response["data"].asString(), bytes)) {
        device->error = failureText("read", "malformed data from the bus");
        return -1;
    }
    size_t count = bytes.size() < length ? bytes.size() : length;
    if (count > 0)
        std::memcpy(buffer, bytes.data(), count);
    return int(count);
}

int HidBackend::write(HidDevice* device, const uint8_t* data, size_t length, int timeoutMs)
{
    if (!device || !data || length == 0)
        return -1;
    Json::Value request(Json::objectValue), response;
    request["op"] = "write";
    request["handle"] = device->handle;
    request["data"] = hexEncode(data, length);
    request["timeout_ms"] = timeoutMs;
    if (!device->client.call(request, response)) {
        device->error = failureText("write", "bus connection lost");
        return -1;
    }
    if (!response["ok"].asBool()) {
        device->error = failureText("write", errorOf(response));
        return -1;
    }
    return response["written"].asInt();
}

std::wstring HidBackend::lastError(HidDevice* device)
{
    if (device)
        return device->error;
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_openError;
}

void HidBackend::close(HidDevice* device)
{
    if (!device)
        return;
    Json::Value request(Json::objectValue), response;
    request["op"] = "close";
    request["handle"] = device->handle;
    device->client.call(request, response); // the server forgets the handle with the connection anyway
    device->client.close();
    delete device;
}

} // namespace vbus
} // namespace platform
