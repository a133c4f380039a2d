#pragma once
// The bus side of the virtual USB bus: a Unix-domain socket server that speaks the bus's
// line protocol for one simulated device, one thread per connection, plus the simulator's
// own control ops (all named "sim.*").

#include "device.h"

#include "platform/vbus/wire.h"

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace devsim {

class BusServer {
public:
    explicit BusServer(Device& device)
        : m_device(device)
    { }
    ~BusServer() { stop(); }
    BusServer(const BusServer&) = delete;
    BusServer& operator=(const BusServer&) = delete;

    // Listens on path (an old socket file there is replaced).
    bool start(const std::string& path, std::string& error);
    // Closes every connection and removes the socket file. Call Device::shutdown() first
    // so that no request waits on the device.
    void stop();

private:
    struct Connection {
        explicit Connection(int fd)
            : socket(fd)
        { }
        platform::vbus::LineSocket socket;
        std::thread thread;
        std::atomic<bool> done { false };
        std::set<int> handles;
    };

    void acceptLoop();
    void serve(Connection& connection);
    // Fills response; returns false when the connection turns into an event stream.
    bool handle(Connection& connection, const Json::Value& request, Json::Value& response);
    bool handleControl(const std::string& op, const Json::Value& request, Json::Value& response);
    void streamEvents(Connection& connection);
    void reapFinished();

    Device& m_device;
    std::string m_path;
    int m_listenFd = -1;
    std::atomic<bool> m_stopping { false };
    std::thread m_acceptThread;
    std::mutex m_mutex; // guards m_connections
    std::list<std::unique_ptr<Connection>> m_connections;
};

} // namespace devsim
