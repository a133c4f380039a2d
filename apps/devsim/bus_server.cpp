#include "bus_server.h"
#include "connection_threads.h"

#include <algorithm>
#include <exception>

namespace devsim {

using platform::vbus::hexDecode;
using platform::vbus::hexEncode;
using platform::vbus::parseLine;
using platform::vbus::toLine;

namespace {

constexpr size_t kMaxRequestLine = 1u << 20;
constexpr size_t kMaxReadSize = 1u << 16;

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

// ---- the ops: one handler each, false when the connection turns into an event stream

// One request as its handler sees it.
struct Request {
    Device& device;
    BusServer::Connection& connection;
    const Json::Value& fields;
    Json::Value& response;
    const RootMap& roots;
};

bool opHello(Request& r)
{
    r.response["bus"] = "tarvel-vbus";
    r.response["version"] = 1;
    return true;
}

bool opList(Request& r)
{
    std::vector<UsbEntry> usb;
    std::vector<VolumeEntry> volumes;
    r.device.listUsb(usb);
    r.device.listVolumes(volumes);
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
        entry["root"] = rootToClient(r.roots, v.root);
        entry["label"] = v.label;
        entry["fs"] = v.fs;
        entry["removable"] = v.removable;
        volumeArray.append(entry);
    }
    r.response["usb"] = usbArray;
    r.response["volumes"] = volumeArray;
    return true;
}

bool opOpen(Request& r)
{
    Json::Int64 vid = 0, pid = 0;
    if (!integerField(r.fields, "vid", vid) || !integerField(r.fields, "pid", pid)) {
        r.response = failure("open needs vid and pid");
        return true;
    }
    const int handle = r.device.openHandle(unsigned(vid), unsigned(pid));
    if (handle < 0) {
        r.response = failure("no such device");
        return true;
    }
    r.connection.handles.insert(handle);
    r.response["handle"] = handle;
    return true;
}

// The request's handle when this connection opened it; otherwise the answer is "bad handle".
bool ownHandle(Request& r, int& handle)
{
    Json::Int64 value = 0;
    if (!integerField(r.fields, "handle", value) || !r.connection.handles.count(int(value))) {
        r.response = failure("bad handle");
        return false;
    }
    handle = int(value);
    return true;
}

bool opClose(Request& r)
{
    int handle = 0;
    if (ownHandle(r, handle)) {
        r.device.closeHandle(handle);
        r.connection.handles.erase(handle);
    }
    return true;
}

bool opWrite(Request& r)
{
    int handle = 0;
    if (!ownHandle(r, handle))
        return true;
    Bytes data;
    if (!r.fields["data"].isString() || !hexDecode(r.fields["data"].asString(), data)) {
        r.response = failure("bad data");
        return true;
    }
    int written = 0;
    std::string error;
    if (!r.device.write(handle, data, written, error)) {
        r.response = failure(error);
        return true;
    }
    r.response["written"] = written;
    return true;
}

bool opRead(Request& r)
{
    int handle = 0;
    if (!ownHandle(r, handle))
        return true;
    Json::Int64 max = 0, timeout = 0;
    if (!integerField(r.fields, "max", max) || max < 1) {
        r.response = failure("read needs max of at least 1");
        return true;
    }
    if (r.fields.isMember("timeout_ms") && !integerField(r.fields, "timeout_ms", timeout)) {
        r.response = failure("bad timeout_ms");
        return true;
    }
    Bytes data;
    std::string error;
    const size_t limit = size_t(max) < kMaxReadSize ? size_t(max) : kMaxReadSize;
    const int wait = timeout > 0x7FFFFFFF ? 0x7FFFFFFF : int(timeout < 0 ? -1 : timeout);
    const platform::vbus::LineSocket& socket = r.connection.socket;
    if (!r.device.read(handle, limit, wait, data, error, [&socket] { return socket.peerHungUp(); })) {
        r.response = failure(error);
        return true;
    }
    r.response["data"] = hexEncode(data);
    return true;
}

bool opVolume(Request& r)
{
    if (!r.fields["root"].isString() || !r.fields["step"].isString()) {
        r.response = failure("volume needs root and step");
        return true;
    }
    std::string error;
    const std::string root = rootFromClient(r.roots, r.fields["root"].asString());
    if (!r.device.volumeStep(root, r.fields["step"].asString(), error))
        r.response = failure(error);
    return true;
}

// Subscribed before the answer goes out, so no event in between is lost.
bool opSubscribe(Request& r)
{
    if (!r.connection.subscriber)
        r.connection.subscriber = r.device.subscribe();
    return false;
}

// ---- the simulator's own control ops

bool simState(Request& r)
{
    r.response["state"] = r.device.state();
    return true;
}

bool simPlug(Request& r)
{
    r.device.plug();
    return true;
}

bool simUnplug(Request& r)
{
    r.device.unplug();
    return true;
}

bool simFace(Request& r)
{
    Face face;
    if (!r.fields["face"].isString() || !faceFromName(r.fields["face"].asString(), face))
        r.response = failure("face must be application, bootloader or rom");
    else
        r.device.changeFace(face);
    return true;
}

bool simFault(Request& r)
{
    Fault fault;
    if (!r.fields["fault"].isString() || !faultFromName(r.fields["fault"].asString(), fault.kind)) {
        r.response = failure("unknown fault");
        return true;
    }
    fault.skip = r.fields.get("skip", 0).asInt();
    fault.count = r.fields.get("count", 1).asInt();
    fault.commandTag = r.fields.get("tag", -1).asInt();
    fault.status = r.fields.get("status", 1).asUInt();
    fault.afterBytes = r.fields.get("after_bytes", 0).asUInt();
    fault.comesBack = r.fields.get("comes_back", true).asBool();
    fault.offset = r.fields.get("offset", 0).asUInt();
    fault.holdMs = std::clamp(r.fields.get("ms", 200).asInt(), 0, 600000);
    fault.always = r.fields.get("always", false).asBool();
    r.device.injectFault(fault);
    return true;
}

bool simClearFaults(Request& r)
{
    r.device.clearFaults();
    return true;
}

bool simText(Request& r)
{
    if (!r.fields["text"].isString() || !r.device.sendText(r.fields["text"].asString()))
        r.response = failure("no application face to send text from");
    return true;
}

bool simIdle(Request& r)
{
    const int timeout = r.fields.get("timeout_ms", 10000).asInt();
    if (!r.device.waitIdle(timeout))
        r.response = failure("still busy");
    return true;
}

struct Op {
    const char* name;
    bool (*handler)(Request&);
};

const Op kOps[] = {
    { "hello", opHello },
    { "list", opList },
    { "open", opOpen },
    { "write", opWrite },
    { "read", opRead },
    { "close", opClose },
    { "volume", opVolume },
    { "subscribe", opSubscribe },
    { "sim.state", simState },
    { "sim.plug", simPlug },
    { "sim.unplug", simUnplug },
    { "sim.face", simFace },
    { "sim.fault", simFault },
    { "sim.clear_faults", simClearFaults },
    { "sim.text", simText },
    { "sim.idle", simIdle },
};

} // namespace

bool BusServer::start(const std::string& path, std::string& error)
{
    platform::vbus::BusAddress address;
    address.path = path;
    return start(address, error);
}

bool BusServer::start(const platform::vbus::BusAddress& address, std::string& error)
{
    if (address.kind == platform::vbus::BusAddress::Kind::Unix && address.path.empty()) {
        error = "socket path is empty or too long";
        return false;
    }
    if (!m_listener.listen(address, error))
        return false;
    m_address = address;
    if (address.kind == platform::vbus::BusAddress::Kind::Tcp)
        m_address.port = m_listener.port();
    m_listening = true;
    m_stopping = false;
    m_acceptThread = std::thread([this] { acceptLoop(); });
    return true;
}

void BusServer::stop()
{
    if (!m_listening)
        return;
    m_stopping = true;
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    m_listener.close();
    m_listening = false;
    shutDownConnections(m_mutex, m_connections);
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
        const platform::vbus::SocketHandle handle = m_listener.accept(100);
        reapFinished();
        if (handle == platform::vbus::kNoSocket)
            continue;
        auto connection = std::make_unique<Connection>(handle);
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
        const bool parsed = parseLine(line, request);
        if (!admit(connection, request, response)) {
            connection.socket.writeLine(toLine(response));
            break;
        }
        if (!parsed)
            response = failure("malformed request");
        else
            keepAnswering = handleRequest(connection, request, response);
        // Written before the answer goes out, so a subscription's line comes before its events.
        if (m_recorder && parsed) {
            if (!connection.recordedConn)
                connection.recordedConn = m_recorder->newConn();
            m_recorder->exchange(connection.recordedConn, request, response);
        }
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

bool BusServer::admit(Connection& connection, const Json::Value& request, Json::Value& response) const
{
    if (connection.admitted || m_address.token.empty())
        return true;
    static const Json::Value none;
    const Json::Value& op = request.isObject() ? request["op"] : none;
    const Json::Value& token = request.isObject() ? request["token"] : none;
    // Compared in full whatever differs first, so the time taken tells nothing about the token.
    bool same = op.isString() && op.asString() == "hello" && token.isString()
        && token.asString().size() == m_address.token.size();
    if (same) {
        const std::string given = token.asString();
        unsigned char difference = 0;
        for (size_t i = 0; i < given.size(); ++i)
            difference |= static_cast<unsigned char>(given[i] ^ m_address.token[i]);
        same = difference == 0;
    }
    if (!same) {
        response = failure("token required");
        if (request.isObject() && request.isMember("id"))
            response["id"] = request["id"];
        return false;
    }
    connection.admitted = true;
    return true;
}

namespace {

// An event line with its root in the client's form.
std::string clientEvent(const RootMap& map, const std::string& line)
{
    Json::Value event;
    if (map.empty() || !parseLine(line, event) || !event["root"].isString())
        return line;
    event["root"] = rootToClient(map, event["root"].asString());
    return toLine(event);
}

} // namespace

void BusServer::streamEvents(Connection& connection)
{
    const platform::vbus::LineSocket& socket = connection.socket;
    std::string line;
    while (!m_stopping && m_device.nextEvent(connection.subscriber, line, [&socket] { return socket.peerHungUp(); })) {
        const std::string sent = clientEvent(m_rootMap, line);
        if (m_recorder)
            m_recorder->event(connection.recordedConn, sent);
        if (!connection.socket.writeLine(sent))
            break;
    }
}

bool BusServer::handle(Connection& connection, const Json::Value& request, Json::Value& response)
{
    const std::string op = request["op"].isString() ? request["op"].asString() : "";
    response = Json::Value(Json::objectValue);
    response["ok"] = true;
    Request call { m_device, connection, request, response, m_rootMap };
    for (const Op& row : kOps)
        if (op == row.name)
            return row.handler(call);
    response = failure("unknown op");
    return true;
}

} // namespace devsim
