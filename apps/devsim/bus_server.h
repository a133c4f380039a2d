#pragma once
// The bus side of the virtual USB bus: a server on a Unix-domain socket or a loopback TCP
// port that speaks the bus's line protocol for one simulated device, one thread per
// connection, plus the simulator's own control ops (all named "sim.*"). With a token, a
// connection whose first request is not a hello carrying it is answered "token required" and
// closed. Drive roots can be reported in the client's form (root_map.h).

#include "device.h"
#include "root_map.h"
#include "session_recorder.h"

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

    // Listens at address: a Unix socket path (nothing but a stale socket may be there: an
    // ordinary file, a folder or a socket that a live server still answers on is refused with
    // error), or a loopback TCP address (port 0: one the system picks). The address's token,
    // when it has one, is required of every connection.
    bool start(const platform::vbus::BusAddress& address, std::string& error);
    bool start(const std::string& path, std::string& error);
    // The address clients use, with the port picked and the token (busAddressText's form).
    const platform::vbus::BusAddress& address() const { return m_address; }
    // Set before start: the drive roots as the client names them.
    void setRootMap(RootMap map) { m_rootMap = std::move(map); }
    // Set before start: every client's traffic is written there too (null: none). The
    // recorder outlives the server.
    void setRecorder(SessionRecorder* recorder) { m_recorder = recorder; }
    // Closes every connection and removes the socket file (when it is still this server's).
    // Call Device::shutdown() first so that no request waits on the device.
    void stop();

    // One client connection and what it holds on the device.
    struct Connection {
        explicit Connection(platform::vbus::SocketHandle handle)
            : socket(handle)
        { }
        platform::vbus::LineSocket socket;
        std::thread thread;
        std::atomic<bool> done { false };
        std::set<int> handles;
        int subscriber = 0; // set once the connection subscribed
        bool admitted = false; // its first request was a hello with the token
        int recordedConn = 0; // its connection in the recording, once it has one
    };

    // Answers one request. Returns false when the connection turns into an event stream (it
    // is subscribed before the answer goes out, so no event in between is lost). Never throws:
    // a field of the wrong type is refused with ok:false.
    bool handleRequest(Connection& connection, const Json::Value& request, Json::Value& response);
    // False (with the "token required" answer) when the connection may not be served: the
    // server has a token and this first request is not a hello carrying it.
    bool admit(Connection& connection, const Json::Value& request, Json::Value& response) const;
    const RootMap& rootMap() const { return m_rootMap; }

private:
    void acceptLoop();
    void serve(Connection& connection);
    // Answers from the table of ops (bus_server.cpp).
    bool handle(Connection& connection, const Json::Value& request, Json::Value& response);
    void streamEvents(Connection& connection);
    void reapFinished();

    Device& m_device;
    platform::vbus::BusAddress m_address;
    RootMap m_rootMap;
    SessionRecorder* m_recorder = nullptr;
    platform::vbus::LineListener m_listener;
    bool m_listening = false;
    std::atomic<bool> m_stopping { false };
    std::thread m_acceptThread;
    std::mutex m_mutex; // guards m_connections
    std::list<std::unique_ptr<Connection>> m_connections;
};

} // namespace devsim
