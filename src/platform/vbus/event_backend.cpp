#include "platform/vbus/backends.h"
#include "platform/vbus/responses.h"

namespace platform::vbus {

bool EventBackend::start(DeviceEventCallback callback)
{
    stop();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_client.open(m_path, "tarvel-events")) {
        reportBusFault(m_client.error());
        m_client.close();
        return false;
    }
    Json::Value request(Json::objectValue), response;
    request["op"] = "subscribe";
    if (!m_client.call(request, response) || !isOk(response)) {
        if (m_client.contractBroken())
            reportContractFault(m_path, m_client.error());
        m_client.close();
        return false;
    }
    m_stopping = false;
    m_reader = std::thread([this, callback = std::move(callback)] { readEvents(callback); });
    return true;
}

void EventBackend::stop()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_reader.joinable()) {
        m_stopping = true;
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
    if (m_stopping)
        return;
    // Without the stream no device change is noticed again: the bus is lost to this run.
    if (m_client.contractBroken())
        reportContractFault(m_path, m_client.error() + " on the event connection");
    else
        reportBusFault("the bus at " + describeBusText(m_path) + " closed the event connection");
}

} // namespace platform::vbus
