#include "platform/vbus/backends.h"
#include "platform/vbus/responses.h"

namespace platform::vbus {

bool EventBackend::start(DeviceEventCallback callback)
{
    stop();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_client.connect(m_path))
        return false;
    Json::Value request(Json::objectValue), response;
    request["op"] = "subscribe";
    if (!m_client.call(request, response) || !isOk(response)) {
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
    // A malformed or over-long line ends the stream like a lost connection.
    while (m_client.readMessage(message)) {
        DeviceEvent event;
        if (!eventOf(message, event))
            continue; // events this client does not know
        if (callback)
            callback(event);
    }
}

} // namespace platform::vbus
