#include "platform/vbus/backends.h"
#include "platform/vbus/responses.h"

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
    int code = message == "device disconnected" || message.rfind("no device", 0) == 0 ? ENODEV : EIO;
    char text[512];
    std::snprintf(text, sizeof(text), "%s failed with error %d: %s", operation, code, message.c_str());
    return widen(text);
}

} // namespace

HidDevice* HidBackend::open(uint16_t vendorId, uint16_t productId)
{
    auto device = std::make_unique<HidDevice>();
    auto fail = [&](const std::string& message) -> HidDevice* {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_openError = failureText("open", message);
        return nullptr;
    };
    if (!device->client.open(m_path, "tarvel-hid")) {
        reportBusFault(device->client.error());
        return fail(device->client.error());
    }
    Json::Value response;
    Json::Value request(Json::objectValue);
    request["op"] = "open";
    request["vid"] = vendorId;
    request["pid"] = productId;
    if (!device->client.call(request, response)) {
        if (device->client.contractBroken())
            reportContractFault(m_path, device->client.error());
        return fail(device->client.error());
    }
    if (isOk(response) && !handleOf(response, device->handle))
        reportContractFault(m_path, "an open answer without a handle");
    if (!isOk(response) || !handleOf(response, device->handle)) {
        // Say which devices are there: often the device shows another face than was asked for.
        char wanted[64];
        std::snprintf(wanted, sizeof wanted, "no device 0x%04x:0x%04x on the bus", vendorId, productId);
        std::string text = isOk(response) ? "malformed open answer from the bus" : std::string(wanted);
        Json::Value list(Json::objectValue), listed;
        list["op"] = "list";
        std::vector<std::string> ids;
        if (!isOk(response) && device->client.call(list, listed) && hardwareIdsOf(listed, ids)) {
            text += ids.empty() ? "; no device is present" : "; present:";
            for (const std::string& id : ids)
                text += " " + id;
        }
        return fail(text);
    }
    return device.release();
}

// A request on a handle's connection that got no usable answer. A lost or slow connection is
// the device's failure to the caller, who may retry; a breach of the contract is the bus's.
void HidBackend::failedCall(HidDevice& device, const char* operation)
{
    device.error = failureText(operation, device.client.error());
    if (device.client.contractBroken())
        reportContractFault(m_path, device.client.error());
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
    // A read that waits without limit is answered when a report comes; any other is bounded.
    if (!device->client.call(request, response, timeoutMs < 0 ? -1 : timeoutMs)) {
        failedCall(*device, "read");
        return -1;
    }
    if (!isOk(response)) {
        device->error = failureText("read", errorOf(response));
        return -1;
    }
    std::vector<uint8_t> bytes;
    std::string error;
    if (!readDataOf(response, length, bytes, error)) {
        device->error = failureText("read", error);
        reportContractFault(m_path, "a read answer whose data is not hexadecimal text");
        return -1;
    }
    if (!bytes.empty())
        std::memcpy(buffer, bytes.data(), bytes.size());
    return int(bytes.size());
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
    // A write completes within the request timeout even when its caller sets no limit of its own.
    if (!device->client.call(request, response, timeoutMs < 0 ? 0 : timeoutMs)) {
        failedCall(*device, "write");
        return -1;
    }
    if (!isOk(response)) {
        device->error = failureText("write", errorOf(response));
        return -1;
    }
    const int written = writtenOf(response, 1u << 16);
    if (written < 0) {
        device->error = failureText("write", "malformed write answer from the bus");
        reportContractFault(m_path, "a write answer without a byte count");
    }
    return written;
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
