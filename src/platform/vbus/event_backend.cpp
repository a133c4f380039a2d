#include "platform/vbus/backends.h"

namespace platform::vbus {

bool EventBackend::start(DeviceEventCallback callback)
{
    stop();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_client.connect(m_path))
        return false;
    Json::Value request(Json::objectValue), response;
    request["op"] = "subscribe";
    if (!m_client.call(request, response) || !response["ok"].asBool()) {
        m_client.close();
        return false;
    }
    m_reader = std::thread([this, callback = std::move(callback)] { readEvents(callback); });
    return true;
}

void EventBackend::stop()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_reader.joinable()) {
        m_client.shutdown();
        m_reader.join();
    }
    m_client.close();
}

void EventBackend::readEvents(DeviceEventCallback callback)
{
    Json::Value message;
    while (m_client.readMessage(message)) {
        const std::string name = message["event"].asString();
        DeviceEvent event;
        if (name == "nodes_changed") {
            event.kind = DeviceEventKind::NodesChanged;
        } else if (name == "volume_arrival") {
            event.kind = DeviceEventKind::Arrival;
            event.root = message["root"].asString();
        } else if (name == "volume_removal") {
            event.kind = DeviceEventKind::RemoveComplete;
            event.root = message["root"].asString();
        } else {
            continue; // events this client does not know
        }
        if (callback)
            callback(event);
    }
}

} // namespace platform::vbus
