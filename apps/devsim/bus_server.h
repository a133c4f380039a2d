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
#include <sys/types.h>
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

    // Listens on path. Nothing but a stale socket may be there: an ordinary file, a folder or
    // a socket that a live server still answers on is refused with error.
    bool start(const std::string& path, std::string& error);
    // Closes every connection and removes the socket file (when it is still this server's).
    // Call Device::shutdown() first so that no request waits on the device.
    void stop();

    // One client connection and what it holds on the device.
    struct Connection {
        explicit Connection(int fd)
            : socket(fd)
        { }
        platform::vbus::LineSocket socket;
        std::thread thread;
        std::atomic<bool> done { false };
        std::set<int> handles;
        int subscriber = 0; // set once the connection subscribed
    };

    // Answers one request. Returns false when the connection turns into an event stream (it
    // is subscribed before the answer goes out, so no event in between is lost). Never throws:
    // a field of the wrong type is refused with ok:false.
    bool handleRequest(Connection& connection, const Json::Value& request, Json::Value& response);

private:
    void acceptLoop();
    void serve(Connection& connection);
    // Answers from the table of ops (bus_server.cpp).
    bool handle(Connection& connection, const Json::Value& request, Json::Value& response);
    void streamEvents(Connection& connection);
    void reapFinished();

    Device& m_device;
    std::string m_path;
    dev_t m_socketDevice = 0; // the socket file this server made, to remove only that one
    ino_t m_socketInode = 0;
    int m_listenFd = -1;
    std::atomic<bool> m_stopping { false };
    std::thread m_acceptThread;
    std::mutex m_mutex; // guards m_connections
    std::list<std::unique_ptr<Connection>> m_connections;
};

} // namespace devsim
