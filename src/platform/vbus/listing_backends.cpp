#include "platform/vbus/backends.h"

namespace platform::vbus {

bool ListingLink::call(const Json::Value& request, Json::Value& response)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // One retry on a fresh connection: the server may have restarted since the last call.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!m_client.isOpen()) {
            if (!m_client.connect(m_path))
                return false;
            Json::Value hello(Json::objectValue), answer;
            hello["op"] = "hello";
            hello["client"] = "tarvel-listing";
            if (!m_client.call(hello, answer) || !answer["ok"].asBool()) {
                m_client.close();
                continue;
            }
        }
        if (m_client.call(request, response))
            return true;
        m_client.close();
    }
    return false;
}

bool UsbBackend::presentHardwareIds(std::vector<std::string>& ids)
{
    ids.clear();
    Json::Value request(Json::objectValue), response;
    request["op"] = "list";
    if (!m_link->call(request, response) || !response["ok"].asBool())
        return false;
    for (const Json::Value& device : response["usb"]) {
        if (device["hwid"].isString())
            ids.push_back(device["hwid"].asString());
        else if (device["vid"].isIntegral() && device["pid"].isIntegral())
            ids.push_back(formatUsbHardwareId(device["vid"].asUInt(), device["pid"].asUInt(), 0));
    }
    return true;
}

bool VolumeBackend::mountedVolumes(std::vector<VolumeInfo>& volumes)
{
    volumes.clear();
    Json::Value request(Json::objectValue), response;
    request["op"] = "list";
    if (!m_link->call(request, response) || !response["ok"].asBool())
        return false;
    for (const Json::Value& entry : response["volumes"]) {
        if (!entry["root"].isString())
            continue;
        VolumeInfo volume;
        volume.root = entry["root"].asString();
        volume.label = entry["label"].isString() ? entry["label"].asString() : "";
        volume.fileSystem = entry["fs"].isString() ? entry["fs"].asString() : "";
        volume.removable = entry["removable"].isBool() && entry["removable"].asBool();
        volumes.push_back(volume);
    }
    return true;
}

bool VolumeBackend::removalStep(const std::string& root, VolumeStep step)
{
    Json::Value request(Json::objectValue), response;
    request["op"] = "volume";
    request["root"] = root;
    request["step"] = volumeStepName(step);
    return m_link->call(request, response) && response["ok"].asBool();
}

} // namespace platform::vbus
