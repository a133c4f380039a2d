#include "platform/vbus/backends.h"
#include "platform/vbus/responses.h"

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
            if (!m_client.call(hello, answer) || !isOk(answer)) {
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
    return m_link->call(request, response) && hardwareIdsOf(response, ids);
}

bool VolumeBackend::mountedVolumes(std::vector<VolumeInfo>& volumes)
{
    volumes.clear();
    Json::Value request(Json::objectValue), response;
    request["op"] = "list";
    return m_link->call(request, response) && volumesOf(response, volumes);
}

bool VolumeBackend::removalStep(const std::string& root, VolumeStep step)
{
    Json::Value request(Json::objectValue), response;
    request["op"] = "volume";
    request["root"] = root;
    request["step"] = volumeStepName(step);
    return m_link->call(request, response) && isOk(response);
}

} // namespace platform::vbus
