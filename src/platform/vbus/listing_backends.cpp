#include "platform/vbus/backends.h"
#include "platform/vbus/responses.h"

namespace platform::vbus {

bool ListingLink::call(const Json::Value& request, Json::Value& response)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    bool answerFailed = false; // the last try got as far as the request
    // One retry on a fresh connection: the server may have restarted since the last call.
    // A peer that broke the contract gets no second chance: it is no restarted server.
    for (int attempt = 0; attempt < 2; ++attempt) {
        answerFailed = false;
        if (!m_client.isOpen() && !m_client.open(m_path, "tarvel-listing")) {
            m_client.close();
            if (m_client.contractBroken())
                break;
            continue;
        }
        if (m_client.call(request, response))
            return true;
        answerFailed = true;
        m_client.close();
        if (m_client.contractBroken())
            break;
    }
    // Both tries failed: the bus cannot be reached or spoken to. An open's error names the bus.
    if (answerFailed && m_client.contractBroken())
        reportContractFault(m_path, m_client.error());
    else if (answerFailed)
        reportBusFault("the bus at " + describeBusText(m_path) + " does not answer (" + m_client.error() + ")");
    else
        reportBusFault(m_client.error());
    return false;
}

void ListingLink::refusedAnswer(const char* op)
{
    reportContractFault(m_path, std::string("a ") + op + " answer with a field of the wrong type");
}

bool UsbBackend::presentHardwareIds(std::vector<std::string>& ids)
{
    ids.clear();
    Json::Value request(Json::objectValue), response;
    request["op"] = "list";
    if (!m_link->call(request, response))
        return false;
    if (!hardwareIdsOf(response, ids)) {
        m_link->refusedAnswer("list");
        return false;
    }
    return true;
}

bool VolumeBackend::mountedVolumes(std::vector<VolumeInfo>& volumes)
{
    volumes.clear();
    Json::Value request(Json::objectValue), response;
    request["op"] = "list";
    if (!m_link->call(request, response))
        return false;
    if (!volumesOf(response, volumes)) {
        m_link->refusedAnswer("list");
        return false;
    }
    return true;
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
