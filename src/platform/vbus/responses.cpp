#include "platform/vbus/responses.h"

#include "platform/usb_devices.h"
#include "platform/vbus/wire.h"

namespace platform::vbus {

namespace {

const Json::Value& field(const Json::Value& message, const char* name)
{
    static const Json::Value none;
    return message.isObject() && message.isMember(name) ? message[name] : none;
}

std::string textOf(const Json::Value& message, const char* name)
{
    const Json::Value& value = field(message, name);
    return value.isString() ? value.asString() : "";
}

} // namespace

bool isOk(const Json::Value& response)
{
    const Json::Value& ok = field(response, "ok");
    return ok.isBool() && ok.asBool();
}

bool readDataOf(const Json::Value& response, size_t max, std::vector<uint8_t>& bytes, std::string& error)
{
    bytes.clear();
    const Json::Value& data = field(response, "data");
    if (!data.isString() || !hexDecode(data.asString(), bytes)) {
        error = "malformed data from the bus";
        return false;
    }
    if (bytes.size() > max)
        bytes.resize(max); // as a HID read keeps only what fits the caller's buffer
    return true;
}

int writtenOf(const Json::Value& response, size_t max)
{
    const Json::Value& written = field(response, "written");
    // isInt64 first: an integer beyond its range (a huge unsigned one) cannot be read as one.
    if (!written.isInt64() || written.asInt64() < 0 || Json::UInt64(written.asInt64()) > max)
        return -1;
    return int(written.asInt64());
}

bool handleOf(const Json::Value& response, Json::Int64& handle)
{
    const Json::Value& value = field(response, "handle");
    if (!value.isInt64())
        return false;
    handle = value.asInt64();
    return true;
}

bool hardwareIdsOf(const Json::Value& response, std::vector<std::string>& ids)
{
    ids.clear();
    const Json::Value& usb = field(response, "usb");
    if (!isOk(response) || !(usb.isArray() || usb.isNull()))
        return false;
    for (const Json::Value& device : usb) {
        if (!device.isObject())
            continue;
        const Json::Value& vid = field(device, "vid");
        const Json::Value& pid = field(device, "pid");
        if (field(device, "hwid").isString())
            ids.push_back(device["hwid"].asString());
        else if (vid.isUInt() && pid.isUInt() && vid.asUInt() <= 0xFFFF && pid.asUInt() <= 0xFFFF)
            ids.push_back(formatUsbHardwareId(vid.asUInt(), pid.asUInt(), 0));
    }
    return true;
}

bool volumesOf(const Json::Value& response, std::vector<VolumeInfo>& volumes)
{
    volumes.clear();
    const Json::Value& list = field(response, "volumes");
    if (!isOk(response) || !(list.isArray() || list.isNull()))
        return false;
    for (const Json::Value& entry : list) {
        if (!field(entry, "root").isString())
            continue;
        VolumeInfo volume;
        volume.root = entry["root"].asString();
        volume.label = textOf(entry, "label");
        volume.fileSystem = textOf(entry, "fs");
        const Json::Value& removable = field(entry, "removable");
        volume.removable = removable.isBool() && removable.asBool();
        volumes.push_back(volume);
    }
    return true;
}

bool eventOf(const Json::Value& message, DeviceEvent& event)
{
    const std::string name = textOf(message, "event");
    event = DeviceEvent();
    if (name == "nodes_changed") {
        event.kind = DeviceEventKind::NodesChanged;
    } else if (name == "volume_arrival") {
        event.kind = DeviceEventKind::Arrival;
        event.root = textOf(message, "root");
    } else if (name == "volume_removal") {
        event.kind = DeviceEventKind::RemoveComplete;
        event.root = textOf(message, "root");
    } else {
        return false;
    }
    return true;
}

} // namespace platform::vbus
