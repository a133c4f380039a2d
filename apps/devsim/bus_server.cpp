#include "bus_server.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace devsim {

using platform::vbus::hexDecode;
using platform::vbus::hexEncode;
using platform::vbus::parseLine;
using platform::vbus::toLine;

namespace {

constexpr size_t kMaxRequestLine = 1u << 20;
constexpr size_t kMaxReadSize = 1u << 16;

// True when the peer has hung up (a client that vanished in the middle of a request).
bool peerGone(int fd)
{
    pollfd p { fd, POLLRDHUP, 0 };
    if (::poll(&p, 1, 0) <= 0)
        return false;
    return (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

Json::Value failure(const std::string& text)
{
    Json::Value response(Json::objectValue);
    response["ok"] = false;
    response["error"] = text;
    return response;
}

bool integerField(const Json::Value& request, const char* name, Json::Int64& value)
{
    const Json::Value& field = request[name];
    if (!field.isInt64()) // an unsigned number beyond the signed range is no field of the bus
        return false;
    value = field.asInt64();
    return true;
}

} // namespace

namespace {

// What is at a socket path before a server takes it: nothing, a stale socket (removed here),
// or something that must not be touched (refused with error).
bool clearSocketPath(const std::string& path, const sockaddr_un& address, std::string& error)
{
    struct stat info { };
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return true;
        error = "cannot use socket path " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISSOCK(info.st_mode)) {
        error = path + " exists and is not a socket; refusing to replace it";
        return false;
    }
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        error = std::strerror(errno);
        return false;
    }
    const int connected = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    const int connectError = errno;
    ::close(probe);
    if (connected == 0) {
        error = "a bus server is already listening on " + path;
        return false;
    }
    if (connectError != ECONNREFUSED) {
        error = "cannot use socket path " + path + ": " + std::strerror(connectError);
        return false;
    }
    // Nobody listens: a socket left behind by a server that ended without removing it.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        error = "cannot remove the stale socket " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace

bool BusServer::start(const std::string& path, std::string& error)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        error = "socket path is empty or too long";
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (!clearSocketPath(path, address, error))
        return false;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    // bind() never replaces a file: one that appeared since the check makes it fail.
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd, 16) != 0) {
        error = std::string("cannot listen on ") + path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    struct stat info { };
    if (::stat(path.c_str(), &info) == 0) {
        m_socketDevice = info.st_dev;
        m_socketInode = info.st_ino;
    }
    m_path = path;
    m_listenFd = fd;
    m_stopping = false;
    m_acceptThread = std::thread([this] { acceptLoop(); });
    return true;
}

void BusServer::stop()
{
    if (m_listenFd < 0)
        return;
    m_stopping = true;
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    ::close(m_listenFd);
    m_listenFd = -1;
    struct stat info { };
    if (::lstat(m_path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) && info.st_dev == m_socketDevice
        && info.st_ino == m_socketInode)
        ::unlink(m_path.c_str());
    std::list<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        connections.swap(m_connections);
    }
    for (auto& c : connections)
        c->socket.shutdown();
    for (auto& c : connections)
        if (c->thread.joinable())
            c->thread.join();
}

void BusServer::reapFinished()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        if ((*it)->done) {
            (*it)->thread.join();
            it = m_connections.erase(it);
        } else {
            ++it;
        }
    }
}

void BusServer::acceptLoop()
{
    while (!m_stopping) {
        pollfd p { m_listenFd, POLLIN, 0 };
        int ready = ::poll(&p, 1, 100);
        reapFinished();
        if (ready <= 0)
            continue;
        int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        auto connection = std::make_unique<Connection>(fd);
        Connection* raw = connection.get();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connections.push_back(std::move(connection));
        raw->thread = std::thread([this, raw] {
            serve(*raw);
            raw->done = true;
        });
    }
}

void BusServer::serve(Connection& connection)
{
    std::string line;
    while (!m_stopping && connection.socket.readLine(line, kMaxRequestLine)) {
        Json::Value request;
        Json::Value response;
        bool keepAnswering = true;
        if (!parseLine(line, request))
            response = failure("malformed request");
        else
            keepAnswering = handleRequest(connection, request, response);
        if (!connection.socket.writeLine(toLine(response)))
            break;
        if (!keepAnswering) {
            streamEvents(connection);
            break;
        }
    }
    // An over-long line ends up here too: the connection closes.
    for (int handle : connection.handles)
        m_device.closeHandle(handle);
    connection.handles.clear();
    if (connection.subscriber)
        m_device.unsubscribe(connection.subscriber);
    connection.subscriber = 0;
    connection.socket.shutdown();
}

bool BusServer::handleRequest(Connection& connection, const Json::Value& request, Json::Value& response)
{
    bool keepAnswering = true;
    try {
        keepAnswering = handle(connection, request, response);
    } catch (const std::exception& e) {
        // A field of the wrong type: refuse the request, keep serving.
        response = failure(std::string("bad request: ") + e.what());
        keepAnswering = true;
    }
    if (request.isObject() && request.isMember("id"))
        response["id"] = request["id"];
    return keepAnswering;
}

void BusServer::streamEvents(Connection& connection)
{
    const int fd = connection.socket.fd();
    std::string line;
    while (!m_stopping && m_device.nextEvent(connection.subscriber, line, [fd] { return peerGone(fd); })) {
        if (!connection.socket.writeLine(line))
            break;
    }
}

bool BusServer::handle(Connection& connection, const Json::Value& request, Json::Value& response)
{
    const std::string op = request["op"].isString() ? request["op"].asString() : "";
    response = Json::Value(Json::objectValue);
    response["ok"] = true;
    const int fd = connection.socket.fd();

    if (op == "hello") {
        response["bus"] = "tarvel-vbus";
        response["version"] = 1;
        return true;
    }
    if (op == "list") {
        std::vector<UsbEntry> usb;
        std::vector<VolumeEntry> volumes;
        m_device.listUsb(usb);
        m_device.listVolumes(volumes);
        Json::Value usbArray(Json::arrayValue), volumeArray(Json::arrayValue);
        for (const auto& u : usb) {
            Json::Value entry(Json::objectValue);
            entry["vid"] = u.vid;
            entry["pid"] = u.pid;
            entry["hwid"] = u.hwid;
            usbArray.append(entry);
        }
        for (const auto& v : volumes) {
            Json::Value entry(Json::objectValue);
            entry["root"] = v.root;
            entry["label"] = v.label;
            entry["fs"] = v.fs;
            entry["removable"] = v.removable;
            volumeArray.append(entry);
        }
        response["usb"] = usbArray;
        response["volumes"] = volumeArray;
        return true;
    }
    if (op == "open") {
        Json::Int64 vid = 0, pid = 0;
        if (!integerField(request, "vid", vid) || !integerField(request, "pid", pid)) {
            response = failure("open needs vid and pid");
            return true;
        }
        int handle = m_device.openHandle(unsigned(vid), unsigned(pid));
        if (handle < 0) {
            response = failure("no such device");
            return true;
        }
        connection.handles.insert(handle);
        response["handle"] = handle;
        return true;
    }
    if (op == "write" || op == "read" || op == "close") {
        Json::Int64 handle = 0;
        if (!integerField(request, "handle", handle) || !connection.handles.count(int(handle))) {
            response = failure("bad handle");
            return true;
        }
        std::string error;
        if (op == "close") {
            m_device.closeHandle(int(handle));
            connection.handles.erase(int(handle));
            return true;
        }
        if (op == "write") {
            Bytes data;
            if (!request["data"].isString() || !hexDecode(request["data"].asString(), data)) {
                response = failure("bad data");
                return true;
            }
            int written = 0;
            if (!m_device.write(int(handle), data, written, error)) {
                response = failure(error);
                return true;
            }
            response["written"] = written;
            return true;
        }
        Json::Int64 max = 0, timeout = 0;
        if (!integerField(request, "max", max) || max < 1) {
            response = failure("read needs max of at least 1");
            return true;
        }
        if (request.isMember("timeout_ms") && !integerField(request, "timeout_ms", timeout)) {
            response = failure("bad timeout_ms");
            return true;
        }
        Bytes data;
        size_t limit = size_t(max) < kMaxReadSize ? size_t(max) : kMaxReadSize;
        int wait = timeout > 0x7FFFFFFF ? 0x7FFFFFFF : int(timeout < 0 ? -1 : timeout);
        if (!m_device.read(int(handle), limit, wait, data, error, [fd] { return peerGone(fd); })) {
            response = failure(error);
            return true;
        }
        response["data"] = hexEncode(data);
        return true;
    }
    if (op == "volume") {
        std::string error;
        if (!request["root"].isString() || !request["step"].isString()) {
            response = failure("volume needs root and step");
            return true;
        }
        if (!m_device.volumeStep(request["root"].asString(), request["step"].asString(), error))
            response = failure(error);
        return true;
    }
    if (op == "subscribe") {
        if (!connection.subscriber)
            connection.subscriber = m_device.subscribe();
        return false;
    }
    if (op.rfind("sim.", 0) == 0 && handleControl(op, request, response))
        return true;
    response = failure("unknown op");
    return true;
}

bool BusServer::handleControl(const std::string& op, const Json::Value& request, Json::Value& response)
{
    if (op == "sim.state") {
        response["state"] = m_device.state();
    } else if (op == "sim.plug") {
        m_device.plug();
    } else if (op == "sim.unplug") {
        m_device.unplug();
    } else if (op == "sim.face") {
        Face face;
        if (!request["face"].isString() || !faceFromName(request["face"].asString(), face))
            response = failure("face must be application, bootloader or rom");
        else
            m_device.changeFace(face);
    } else if (op == "sim.fault") {
        Fault fault;
        if (!request["fault"].isString() || !faultFromName(request["fault"].asString(), fault.kind)) {
            response = failure("unknown fault");
            return true;
        }
        fault.skip = request.get("skip", 0).asInt();
        fault.count = request.get("count", 1).asInt();
        fault.commandTag = request.get("tag", -1).asInt();
        fault.status = request.get("status", 1).asUInt();
        fault.afterBytes = request.get("after_bytes", 0).asUInt();
        fault.comesBack = request.get("comes_back", true).asBool();
        m_device.injectFault(fault);
    } else if (op == "sim.clear_faults") {
        m_device.clearFaults();
    } else if (op == "sim.text") {
        if (!request["text"].isString() || !m_device.sendText(request["text"].asString()))
            response = failure("no application face to send text from");
    } else if (op == "sim.idle") {
        int timeout = request.get("timeout_ms", 10000).asInt();
        if (!m_device.waitIdle(timeout))
            response = failure("still busy");
    } else {
        return false;
    }
    return true;
}

} // namespace devsim
