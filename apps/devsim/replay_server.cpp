#include "replay_server.h"
#include "connection_threads.h"

#include "platform/file_trees.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace devsim {

using platform::recording::RecordingLine;
using platform::vbus::toLine;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kMaxRequestLine = 1u << 20;
constexpr uintmax_t kMaxRecreatedFile = 64u << 20; // a drive line asking for more is not obeyed

Json::Value failure(const std::string& text)
{
    Json::Value response(Json::objectValue);
    response["ok"] = false;
    response["error"] = text;
    return response;
}

std::string opOf(const Json::Value& request)
{
    const Json::Value& op = request.isObject() ? request["op"] : Json::Value::nullSingleton();
    return op.isString() ? op.asString() : "";
}

// The lines that stand for something the host sent: they must come one to one.
bool consuming(const RecordingLine& line)
{
    if (line.kind != RecordingLine::Kind::Exchange)
        return false;
    const std::string op = opOf(line.request);
    if (op == "open" || op == "write" || op == "close" || op == "volume" || op == "subscribe")
        return true;
    if (op == "read") {
        const Json::Value& ok = line.response["ok"];
        return !(ok.isBool() && ok.asBool()) || !line.response["data"].asString().empty();
    }
    return false;
}

bool sameInteger(const Json::Value& a, const Json::Value& b, const char* name)
{
    return a[name].isInt64() && b[name].isInt64() && a[name].asInt64() == b[name].asInt64();
}

bool sameText(const Json::Value& a, const Json::Value& b, const char* name)
{
    return a[name].isString() && b[name].isString() && a[name].asString() == b[name].asString();
}

// A recorded path that stays inside its folder: relative, no "..", no empty parts.
bool safeRelativePath(const std::string& path)
{
    if (path.empty() || path[0] == '/' || path.find('\\') != std::string::npos || path.find(':') != std::string::npos)
        return false;
    for (const fs::path& part : fs::u8path(path))
        if (part == ".." || part == "." || part.empty())
            return false;
    return true;
}

bool writeGenerated(const fs::path& file, uintmax_t size, const std::string& seed)
{
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    uint32_t state = 2166136261u;
    for (unsigned char c : seed)
        state = (state ^ c) * 16777619u;
    char chunk[4096];
    for (uintmax_t done = 0; done < size;) {
        const size_t take = size - done < sizeof chunk ? size_t(size - done) : sizeof chunk;
        for (size_t i = 0; i < take; ++i) {
            state = state * 1103515245u + 12345u;
            chunk[i] = char(state >> 16);
        }
        out.write(chunk, std::streamsize(take));
        done += take;
    }
    return bool(out);
}

// The application face's two questions that a device scan asks on every pass: the device
// information and the wireless version. Only connections made of these are polls that a host
// may ask more or less often; everything else (an update's commands above all) comes one to
// one, so that no bent or missing answer can be stepped around.
bool isPollWrite(const Json::Value& request)
{
    const std::string data = request["data"].isString() ? request["data"].asString() : "";
    return data.rfind("000106", 0) == 0 || data.rfind("00013a", 0) == 0;
}

bool isApplicationFace(const Json::Value& open)
{
    return open["vid"].isInt64() && open["vid"].asInt64() == 0x2B29 && open["pid"].isInt64() && open["pid"].asInt64() == 0x55;
}

} // namespace

bool recreateDriveTree(const std::string& folder, const Json::Value& files)
{
    std::error_code ec;
    fs::create_directories(folder, ec);
    std::map<std::string, uintmax_t> wanted;
    for (const Json::Value& file : files) {
        const std::string path = file["path"].asString();
        if (!safeRelativePath(path) || file["size"].asUInt64() > kMaxRecreatedFile)
            continue;
        wanted[path] = file["size"].asUInt64();
    }
    std::vector<std::string> present;
    platform::listFilesBelow(folder, present);
    bool good = true;
    for (const std::string& path : present)
        if (!wanted.count(path))
            fs::remove(fs::path(folder) / fs::u8path(path), ec);
    for (const auto& [path, size] : wanted) {
        const fs::path file = fs::path(folder) / fs::u8path(path);
        std::error_code sizeError;
        if (fs::is_regular_file(file, sizeError) && fs::file_size(file, sizeError) == size && !sizeError)
            continue;
        good = writeGenerated(file, size, path) && good;
    }
    return good;
}

ReplayServer::ReplayServer(platform::recording::Recording recording, ReplayOptions options)
    : m_recording(std::move(recording))
    , m_options(std::move(options))
    , m_faults(m_options.faults)
{ }

ReplayServer::~ReplayServer()
{
    stop();
}

std::string ReplayServer::toReplayRoot(const std::string& recorded) const
{
    auto it = m_roots.find(recorded);
    return it == m_roots.end() ? recorded : it->second;
}

std::string ReplayServer::toRecordedRoot(const std::string& replayed) const
{
    for (const auto& [recorded, folder] : m_roots)
        if (folder == replayed)
            return recorded;
    return replayed;
}

bool ReplayServer::start(const platform::vbus::BusAddress& address, std::string& error)
{
    // Every recorded drive gets a folder of its own, holding its tree as it first arrived; the
    // first listing of each kind is the state the host finds before anything happens.
    int driveNumber = 0;
    auto mapRoot = [&](const std::string& root) {
        if (!m_roots.count(root))
            m_roots[root] = (fs::path(m_options.driveBase) / ("drive-" + std::to_string(++driveNumber))).string() + "/";
    };
    bool haveUsb = false, haveVolumes = false;
    for (const RecordingLine& line : m_recording.lines) {
        if (line.kind == RecordingLine::Kind::Drive) {
            const bool first = !m_roots.count(line.root);
            mapRoot(line.root);
            if (first && !recreateDriveTree(m_roots[line.root], line.files)) {
                error = "cannot recreate the drive of line " + std::to_string(line.number) + " in " + m_roots[line.root];
                return false;
            }
        } else if (line.kind == RecordingLine::Kind::Exchange && opOf(line.request) == "list") {
            for (const Json::Value& volume : line.response["volumes"])
                mapRoot(volume["root"].asString());
        } else if (line.kind == RecordingLine::Kind::Event && line.event["root"].isString()) {
            mapRoot(line.event["root"].asString());
        }
    }
    for (const auto& [recorded, folder] : m_roots) {
        std::error_code ec;
        fs::create_directories(folder, ec);
    }
    for (const RecordingLine& line : m_recording.lines) {
        if (line.kind != RecordingLine::Kind::Exchange || opOf(line.request) != "list" || !line.response["ok"].asBool())
            continue;
        if (!haveUsb && line.response["usb"].isArray()) {
            m_usb = line.response["usb"];
            haveUsb = true;
        }
        if (!haveVolumes && line.response["volumes"].isArray()) {
            applyLocked(line);
            haveVolumes = true;
        }
    }
    if (!m_listener.listen(address, error))
        return false;
    m_address = address;
    if (address.kind == platform::vbus::BusAddress::Kind::Tcp)
        m_address.port = m_listener.port();
    m_acceptThread = std::thread([this] { acceptLoop(); });
    m_pump = std::thread([this] { pumpLoop(); });
    return true;
}

void ReplayServer::stop()
{
    if (m_stopping.exchange(true))
        return;
    m_changed.notify_all();
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    if (m_pump.joinable())
        m_pump.join();
    m_listener.close();
    shutDownConnections(m_mutex, m_connections);
}

void ReplayServer::acceptLoop()
{
    while (!m_stopping) {
        const platform::vbus::SocketHandle handle = m_listener.accept(100);
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            if ((*it)->done) {
                (*it)->thread.join();
                it = m_connections.erase(it);
            } else {
                ++it;
            }
        }
        if (handle == platform::vbus::kNoSocket)
            continue;
        auto connection = std::make_unique<Connection>(handle);
        Connection* raw = connection.get();
        ++m_openConnections;
        m_connections.push_back(std::move(connection));
        raw->thread = std::thread([this, raw] {
            serve(*raw);
            std::lock_guard<std::mutex> done(m_mutex);
            --m_openConnections;
            raw->done = true;
            m_changed.notify_all();
        });
    }
}

void ReplayServer::serve(Connection& connection)
{
    std::string line;
    bool admitted = m_address.token.empty();
    while (!m_stopping && connection.socket.readLine(line, kMaxRequestLine)) {
        Json::Value request;
        Json::Value response;
        if (!platform::vbus::parseLine(line, request)) {
            response = failure("malformed request");
        } else if (!admitted) {
            const bool hello = opOf(request) == "hello" && request["token"].isString()
                && request["token"].asString() == m_address.token;
            if (!hello) {
                connection.socket.writeLine(toLine(failure("token required")));
                break;
            }
            admitted = true;
        }
        if (request.isObject() && response.isNull())
            response = answer(connection, request);
        if (request.isObject() && request.isMember("id"))
            response["id"] = request["id"];
        if (!connection.socket.writeLine(toLine(response)))
            break;
        if (connection.subscribed) {
            streamEvents(connection);
            break;
        }
    }
    connection.socket.shutdown();
}

void ReplayServer::streamEvents(Connection& connection)
{
    for (;;) {
        std::string line;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait_for(lock, std::chrono::milliseconds(100),
                [&] { return m_stopping || !connection.events.empty(); });
            if (m_stopping)
                return;
            if (connection.events.empty()) {
                if (connection.socket.peerHungUp())
                    return;
                continue;
            }
            line = connection.events.front();
            connection.events.pop_front();
        }
        if (!connection.socket.writeLine(line))
            return;
    }
}

Json::Value ReplayServer::answer(Connection& connection, const Json::Value& request)
{
    const std::string op = opOf(request);
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_started) {
        // Time runs from the host's first request.
        m_started = true;
        m_anchorReal = Clock::now();
        m_anchorMs = m_recording.lines.empty() ? 0 : m_recording.lines.front().tMs;
        m_changed.notify_all();
    }
    // Requests that may wait for the sequence count as a host at work until they are answered.
    struct InFlight {
        ReplayServer& server;
        bool counted;
        InFlight(ReplayServer& s, bool c)
            : server(s)
            , counted(c)
        {
            if (counted) {
                ++server.m_inFlight;
                server.m_lastRequest = Clock::now();
            }
        }
        ~InFlight()
        {
            if (counted) {
                --server.m_inFlight;
                server.m_lastRequest = Clock::now();
            }
        }
    } inFlight(*this, op != "hello" && op != "list");
    if (op == "hello") {
        Json::Value response(Json::objectValue);
        response["ok"] = true;
        response["bus"] = "tarvel-vbus";
        response["version"] = 1;
        return response;
    }
    if (op == "list")
        return listAnswerLocked();
    if (request["handle"].isInt64() && m_pending.count(request["handle"].asInt64()))
        return pendingLocked(request, lock);
    if (request["handle"].isInt64() && m_repeats.count(request["handle"].asInt64()))
        return repeatLocked(request, lock);
    if (op == "open" && !m_failed && isApplicationFace(request) && presentLocked(request)) {
        const size_t index = nextConsumingLocked();
        if (index < m_recording.lines.size() && opOf(m_recording.lines[index].request) == "open"
            && m_recording.lines[index].response["ok"].asBool()) {
            const int64_t handle = m_nextRepeat++;
            m_pending[handle] = request;
            Json::Value response(Json::objectValue);
            response["ok"] = true;
            response["handle"] = Json::Int64(handle);
            return response;
        }
    }
    if (op == "close" && request["handle"].isInt64() && m_outOfTurn.erase(request["handle"].asInt64())) {
        Json::Value response(Json::objectValue);
        response["ok"] = true;
        return response; // its recorded close was taken with the rest of its connection
    }
    if (op == "read")
        return readRequest(request, lock);
    if (op == "open" || op == "write" || op == "close" || op == "volume" || op == "subscribe") {
        Json::Value response = consume(request, lock);
        // Subscribed under the same lock as the line was passed, so no later event is missed.
        if (op == "subscribe" && response["ok"].asBool())
            connection.subscribed = true;
        return response;
    }
    return failure("unknown op");
}

// The recorded state at this point, looking ahead over the listings the recording shows before
// the next thing the host must send. Closes are looked past: they change nothing of what is
// present, and a host's scan may list while another of its threads is still closing.
Json::Value ReplayServer::listAnswerLocked() const
{
    Json::Value response(Json::objectValue);
    response["ok"] = true;
    response["usb"] = m_usb;
    response["volumes"] = m_volumes;
    if (m_failed)
        return response;
    for (size_t i = m_next; i < m_recording.lines.size(); ++i) {
        const RecordingLine& line = m_recording.lines[i];
        if (consuming(line) && opOf(line.request) != "close")
            break;
        if (line.kind != RecordingLine::Kind::Exchange || opOf(line.request) != "list" || !line.response["ok"].asBool())
            continue;
        if (line.response["usb"].isArray())
            response["usb"] = line.response["usb"];
        if (line.response["volumes"].isArray()) {
            Json::Value volumes(Json::arrayValue);
            for (Json::Value volume : line.response["volumes"]) {
                volume["root"] = toReplayRoot(volume["root"].asString());
                volumes.append(volume);
            }
            response["volumes"] = volumes;
        }
    }
    return response;
}

size_t ReplayServer::nextConsumingLocked() const
{
    size_t index = m_next;
    while (index < m_recording.lines.size() && (!consuming(m_recording.lines[index]) || m_claimed.count(index)))
        ++index;
    return index;
}

bool ReplayServer::writesFirstLocked(size_t openAt, int64_t conn, const Json::Value& request) const
{
    // Whether the recorded connection's first line after its open writes what this request does.
    const auto& lines = m_recording.lines;
    size_t first = openAt + 1;
    while (first < lines.size() && !(consuming(lines[first]) && lines[first].conn == conn))
        ++first;
    return first < lines.size() && opOf(lines[first].request) == "write" && sameText(lines[first].request, request, "data");
}

Clock::time_point ReplayServer::dueLocked(const RecordingLine& line) const
{
    const double ms = double(line.tMs - m_anchorMs) * m_options.timeScale;
    return m_anchorReal + std::chrono::milliseconds(int64_t(ms > 0 ? ms : 0));
}

bool ReplayServer::matchesLocked(const Json::Value& request, const RecordingLine& line) const
{
    const Json::Value& recorded = line.request;
    const std::string op = opOf(request);
    if (op != opOf(recorded))
        return false;
    if (op == "open")
        return sameInteger(request, recorded, "vid") && sameInteger(request, recorded, "pid");
    // A handle's requests are matched by the recorded connection it replays: in a recording
    // of the updater that connection's number is also the handle, in one of the simulator's
    // the handle is the device's own number and the connection is the client's.
    const bool sameHandle = line.conn == recordedConnLocked(request);
    if (op == "write")
        return sameHandle && sameText(request, recorded, "data");
    if (op == "read" || op == "close")
        return sameHandle;
    if (op == "volume")
        return sameText(request, recorded, "step") && request["root"].isString()
            && toRecordedRoot(request["root"].asString()) == recorded["root"].asString();
    return op == "subscribe";
}

// The recorded answer to an open, with a handle of the replay's own in place of the recorded
// one: a recorded handle is only valid on its connection (two connections may both have had
// handle 1), while the replay tells every host handle apart by its number.
Json::Value ReplayServer::openedLocked(const RecordingLine& line)
{
    Json::Value response = line.response;
    if (!response["handle"].isInt64())
        return response;
    const int64_t handle = m_nextRepeat++;
    m_binding[handle] = line.conn;
    response["handle"] = Json::Int64(handle);
    return response;
}

int64_t ReplayServer::recordedConnLocked(const Json::Value& request) const
{
    if (!request["handle"].isInt64())
        return -1;
    const int64_t handle = request["handle"].asInt64();
    auto it = m_binding.find(handle);
    return it == m_binding.end() ? -1 : it->second;
}

// A host that polls less often than the recorded one: its new handle writes what a later
// recorded connection wrote first. The expected connection's rest (a poll this host did not
// make) is passed over, and the handle replays that later connection. Only the handle's own
// lines and the later connection's open may lie between; found is its first write.
bool ReplayServer::rebindLocked(const Json::Value& request, size_t expected, size_t& found)
{
    const auto& lines = m_recording.lines;
    const int64_t own = recordedConnLocked(request);
    if (opOf(request) != "write" || !isPollWrite(request) || !isPollWrite(lines[expected].request)
        || m_handleWrote[request["handle"].asInt64()] || lines[expected].conn != own)
        return false;
    constexpr size_t kLookAhead = 256;
    for (size_t j = expected + 1; j < lines.size() && j < expected + kLookAhead; ++j) {
        const RecordingLine& open = lines[j];
        if (!consuming(open))
            continue;
        if (open.conn != own && opOf(open.request) != "open")
            return false; // another connection's exchange comes first
        if (open.conn == own)
            continue;
        for (size_t w = j + 1; w < lines.size() && w < expected + kLookAhead; ++w) {
            const RecordingLine& write = lines[w];
            if (!consuming(write))
                continue;
            if (write.conn != open.conn) {
                if (write.conn == own)
                    continue;
                break;
            }
            if (opOf(write.request) == "write" && sameText(request, write.request, "data")) {
                m_binding[request["handle"].asInt64()] = open.conn;
                found = w;
                return true;
            }
            break;
        }
    }
    return false;
}

// The first thing the host must send after the recorded connection that opens at index, when
// that connection is a whole poll (open, its own exchanges, close) that nothing else interleaves;
// index itself otherwise.
size_t ReplayServer::pastPollLocked(size_t index) const
{
    const auto& lines = m_recording.lines;
    if (index >= lines.size() || opOf(lines[index].request) != "open" || !lines[index].response["ok"].asBool()
        || !isApplicationFace(lines[index].request))
        return index;
    const int64_t conn = lines[index].conn;
    for (size_t i = index + 1; i < lines.size(); ++i) {
        if (!consuming(lines[i]))
            continue;
        if (lines[i].conn != conn)
            return index;
        if (opOf(lines[i].request) == "write" && !isPollWrite(lines[i].request))
            return index;
        if (opOf(lines[i].request) == "close") {
            size_t next = i + 1;
            while (next < lines.size() && !consuming(lines[next]))
                ++next;
            return next;
        }
    }
    return index;
}

// Passes over the recorded connection that opens at index when it is a whole poll (an open of
// the application face, a scan's questions, their reads, a close), whatever other connections'
// lines lie between: its lines are taken out of the sequence. False, changing nothing, otherwise.
bool ReplayServer::passOverPollLocked(size_t index)
{
    const auto& lines = m_recording.lines;
    if (index >= lines.size() || opOf(lines[index].request) != "open" || !lines[index].response["ok"].asBool()
        || !isApplicationFace(lines[index].request))
        return false;
    const int64_t conn = lines[index].conn;
    std::vector<size_t> own { index };
    for (size_t i = index + 1; i < lines.size(); ++i) {
        if (!consuming(lines[i]) || lines[i].conn != conn || m_claimed.count(i))
            continue;
        const std::string op = opOf(lines[i].request);
        if (op == "write" && !isPollWrite(lines[i].request))
            return false;
        if (op == "open")
            return false;
        own.push_back(i);
        if (op == "close") {
            m_claimed.insert(own.begin(), own.end());
            m_changed.notify_all();
            return true;
        }
    }
    return false;
}

// A scan's question on a handle whose recorded connection is a poll that has not come yet:
// that connection's lines are taken out of the sequence, the write answered as recorded and
// the reads that followed it kept for the handle's reads.
bool ReplayServer::pollOutOfTurnLocked(const Json::Value& request, Json::Value& response)
{
    const auto& lines = m_recording.lines;
    const std::string asked = opOf(request);
    if (!request["handle"].isInt64() || !(asked == "read" || (asked == "write" && isPollWrite(request))))
        return false;
    const int64_t handle = request["handle"].asInt64();
    const int64_t conn = recordedConnLocked(request);
    if (conn < 0)
        return false;
    const size_t next = nextConsumingLocked();
    if (asked == "read") {
        // A read is served out of turn only on a poll that has asked its question already.
        bool asks = false;
        for (size_t i = 0; i < next; ++i)
            if (lines[i].kind == RecordingLine::Kind::Exchange && lines[i].conn == conn && opOf(lines[i].request) == "write") {
                if (!isPollWrite(lines[i].request))
                    return false;
                asks = true;
            }
        if (!asks)
            return false;
    }
    std::vector<size_t> own;
    std::deque<Json::Value> reads;
    for (size_t i = next; i < lines.size(); ++i) {
        const RecordingLine& line = lines[i];
        if (!consuming(line) || line.conn != conn || m_claimed.count(i))
            continue;
        const std::string op = opOf(line.request);
        if (own.empty() && asked == "write") {
            if (op != "write" || !sameText(line.request, request, "data"))
                return false;
        } else if (op == "read") {
            reads.push_back(line.response);
        } else if (op != "close") {
            return false;
        }
        own.push_back(i);
        if (op == "close") {
            if (asked == "read" && reads.empty())
                return false;
            m_claimed.insert(own.begin(), own.end());
            if (asked == "read") {
                response = reads.front();
                reads.pop_front();
                m_faults.bendRead(handle, response);
            } else {
                response = lines[own.front()].response;
            }
            m_outOfTurn[handle] = reads;
            m_changed.notify_all();
            return true;
        }
    }
    return false;
}

// True when every line the host must still send, from index on, belongs to a poll: a connection
// to the application face opened there that writes only a scan's questions (its reads and
// close come with it), or the close of one opened before.
bool ReplayServer::onlyPollsFromLocked(size_t index) const
{
    const auto& lines = m_recording.lines;
    std::map<int64_t, bool> opened; // conn → opened from index on as a poll
    for (size_t i = index; i < lines.size(); ++i) {
        const RecordingLine& line = lines[i];
        if (!consuming(line))
            continue;
        const std::string op = opOf(line.request);
        if (op == "open") {
            if (!isApplicationFace(line.request))
                return false;
            opened[line.conn] = true;
        } else if (op == "write") {
            if (!opened.count(line.conn) || !isPollWrite(line.request))
                return false;
        } else if (op == "read") {
            if (!opened.count(line.conn))
                return false;
        } else if (op != "close") {
            return false;
        }
    }
    return true;
}

Json::Value ReplayServer::pendingLocked(const Json::Value& request, std::unique_lock<std::mutex>& lock)
{
    const int64_t handle = request["handle"].asInt64();
    const Json::Value open = m_pending[handle];
    const std::string op = opOf(request);
    const auto& lines = m_recording.lines;
    if (op == "close" || op == "read") {
        if (op == "close")
            m_pending.erase(handle);
        else
            m_changed.wait_for(lock, std::chrono::milliseconds(20));
        Json::Value response(Json::objectValue);
        response["ok"] = true;
        if (op == "read")
            response["data"] = "";
        return response;
    }
    {
        if (m_failed || m_stopping)
            return failure("device disconnected");
        // The recorded connection to this device, ahead, whose first write is this one; whole
        // polls the host left out are passed over on the way.
        size_t index = nextConsumingLocked();
        for (int skipped = 0; skipped <= 8 && index < lines.size(); ++skipped) {
            const RecordingLine& candidate = lines[index];
            if (opOf(candidate.request) != "open" || !sameInteger(candidate.request, open, "vid")
                || !sameInteger(candidate.request, open, "pid"))
                break;
            if (writesFirstLocked(index, candidate.conn, request)) {
                m_pending.erase(handle);
                m_binding[handle] = candidate.conn;
                advanceToLocked(index);
                return consume(request, lock);
            }
            const size_t after = pastPollLocked(index);
            if (after == index)
                break;
            index = after;
        }
        // Two host threads that opened the device one after the other may write in the other
        // order: an open a little further on, whose connection writes this first, is claimed
        // for this handle and passed over by the sequence, whose earlier lines still wait for
        // the other handle.
        index = nextConsumingLocked();
        for (size_t j = index + 1, looked = 0; j < lines.size() && looked < 64; ++j) {
            const RecordingLine& candidate = lines[j];
            if (!consuming(candidate) || m_claimed.count(j))
                continue;
            ++looked;
            if (opOf(candidate.request) != "open" || !sameInteger(candidate.request, open, "vid")
                || !sameInteger(candidate.request, open, "pid") || !candidate.response["ok"].asBool())
                continue;
            if (writesFirstLocked(j, candidate.conn, request)) {
                m_pending.erase(handle);
                m_binding[handle] = candidate.conn;
                m_claimed.insert(j);
                return consume(request, lock);
            }
        }
        // A poll more than the recorded host made: answered from an earlier connection.
        Repeat repeat;
        repeat.vid = open["vid"].asInt64();
        repeat.pid = open["pid"].asInt64();
        m_pending.erase(handle);
        m_repeats[handle] = repeat;
        return repeatLocked(request, lock);
    }
}

bool ReplayServer::presentLocked(const Json::Value& open) const
{
    // The answer is kept whole while its devices are looked through: a range over a member of
    // the temporary answer would outlive it.
    const Json::Value listed = listAnswerLocked();
    for (const Json::Value& device : listed["usb"])
        if (sameInteger(device, open, "vid") && sameInteger(device, open, "pid"))
            return true;
    return false;
}

// A host that polls more often than the recorded one: an open of a present device that the
// recording opened before is a poll it can answer from what that device said then.
bool ReplayServer::repeatOpenLocked(const Json::Value& request, Json::Value& response)
{
    if (!isApplicationFace(request) || !presentLocked(request))
        return false;
    bool openedBefore = false;
    for (size_t i = 0; i < m_next && !openedBefore; ++i) {
        const RecordingLine& line = m_recording.lines[i];
        openedBefore = line.kind == RecordingLine::Kind::Exchange && opOf(line.request) == "open"
            && sameInteger(line.request, request, "vid") && sameInteger(line.request, request, "pid")
            && line.response["ok"].asBool();
    }
    if (!openedBefore)
        return false;
    Repeat repeat;
    repeat.vid = request["vid"].asInt64();
    repeat.pid = request["pid"].asInt64();
    const int64_t handle = m_nextRepeat++;
    m_repeats[handle] = repeat;
    response = Json::Value(Json::objectValue);
    response["ok"] = true;
    response["handle"] = Json::Int64(handle);
    return true;
}

Json::Value ReplayServer::repeatLocked(const Json::Value& request, std::unique_lock<std::mutex>& lock)
{
    const int64_t handle = request["handle"].asInt64();
    Repeat& repeat = m_repeats[handle];
    const std::string op = opOf(request);
    const auto& lines = m_recording.lines;
    if (m_failed)
        return failure("device disconnected");
    if (op == "close") {
        m_repeats.erase(handle);
        Json::Value response(Json::objectValue);
        response["ok"] = true;
        return response;
    }
    if (op == "write") {
        if (!isPollWrite(request)) {
            mismatchLocked(lines.size(), request, "a connection beyond the recorded ones wrote more than a device scan asks");
            return failure("device disconnected");
        }
        repeat.writes.push_back(request["data"].asString());
        repeat.reads = 0;
        // The latest recorded connection to this device whose writes began the same way.
        std::map<int64_t, size_t> written; // conn → writes seen
        std::map<int64_t, bool> same;
        std::map<int64_t, bool> toDevice;
        int64_t chosen = -1;
        size_t chosenLine = 0;
        for (size_t i = 0; i < m_next; ++i) {
            const RecordingLine& line = lines[i];
            if (line.kind != RecordingLine::Kind::Exchange)
                continue;
            const std::string lineOp = opOf(line.request);
            if (lineOp == "open") {
                toDevice[line.conn] = sameInteger(line.request, request.isMember("vid") ? request : line.request, "vid")
                    && line.request["vid"].asInt64() == repeat.vid && line.request["pid"].asInt64() == repeat.pid;
                written[line.conn] = 0;
                same[line.conn] = true;
            } else if (lineOp == "write" && toDevice[line.conn] && same[line.conn]) {
                const size_t k = written[line.conn]++;
                if (k >= repeat.writes.size() || line.request["data"].asString() != repeat.writes[k])
                    same[line.conn] = false;
                else if (k + 1 == repeat.writes.size()) {
                    chosen = line.conn;
                    chosenLine = i;
                }
            }
        }
        if (chosen < 0) {
            mismatchLocked(lines.size(), request, "a poll beyond the recorded ones wrote what the device was never sent");
            return failure("device disconnected");
        }
        repeat.conn = chosen;
        return lines[chosenLine].response;
    }
    if (op == "read") {
        // The reads with data that followed the write this poll repeats.
        size_t k = 0, seen = 0;
        bool after = false;
        for (size_t i = 0; repeat.conn >= 0 && i < m_next; ++i) {
            const RecordingLine& line = lines[i];
            if (line.kind != RecordingLine::Kind::Exchange || line.conn != repeat.conn)
                continue;
            const std::string lineOp = opOf(line.request);
            if (lineOp == "write") {
                after = ++k == repeat.writes.size();
                seen = 0;
            } else if (lineOp == "read" && after && consuming(line) && seen++ == repeat.reads) {
                ++repeat.reads;
                return line.response;
            }
        }
        m_changed.wait_for(lock, std::chrono::milliseconds(20));
        Json::Value response(Json::objectValue);
        response["ok"] = true;
        response["data"] = "";
        return response;
    }
    return failure("unknown op");
}

void ReplayServer::broadcastLocked(Json::Value event)
{
    if (event["root"].isString())
        event["root"] = toReplayRoot(event["root"].asString());
    const std::string line = toLine(event);
    for (auto& connection : m_connections)
        if (connection->subscribed && !connection->done)
            connection->events.push_back(line);
    m_changed.notify_all();
}

void ReplayServer::applyLocked(const RecordingLine& line)
{
    switch (line.kind) {
    case RecordingLine::Kind::Event:
        broadcastLocked(line.event);
        break;
    case RecordingLine::Kind::Drive:
        recreateDriveTree(toReplayRoot(line.root), line.files);
        break;
    case RecordingLine::Kind::Exchange:
        if (opOf(line.request) != "list" || !line.response["ok"].asBool())
            break;
        if (line.response["usb"].isArray())
            m_usb = line.response["usb"];
        if (line.response["volumes"].isArray()) {
            m_volumes = Json::Value(Json::arrayValue);
            for (Json::Value volume : line.response["volumes"]) {
                volume["root"] = toReplayRoot(volume["root"].asString());
                m_volumes.append(volume);
            }
        }
        break;
    }
}

void ReplayServer::advanceToLocked(size_t index)
{
    while (m_next < index)
        applyLocked(m_recording.lines[m_next++]);
    m_next = index + 1;
    m_anchorReal = Clock::now();
    m_lastProgress = m_anchorReal;
    m_anchorMs = m_recording.lines[index].tMs;
    m_changed.notify_all();
}

void ReplayServer::mismatchLocked(size_t index, const Json::Value& request, const std::string& why)
{
    const auto& lines = m_recording.lines;
    if (index < lines.size())
        m_report = "replay: line " + std::to_string(lines[index].number) + " of the recording: expected "
            + toLine(lines[index].request) + ", got " + toLine(request);
    else if (request.empty())
        m_report = "replay: " + why;
    else
        m_report = "replay: " + why + "; got " + toLine(request);
    std::fprintf(stderr, "tarvel-devsim: %s\n", m_report.c_str());
    std::fflush(stderr);
    m_failed = true;
    // The device leaves the bus, as a real one that went astray would seem to.
    for (const Json::Value& volume : m_volumes) {
        Json::Value event(Json::objectValue);
        event["event"] = "volume_removal";
        event["root"] = volume["root"];
        broadcastLocked(event); // roots here are already the replay's
    }
    if (!m_usb.empty()) {
        Json::Value event(Json::objectValue);
        event["event"] = "nodes_changed";
        broadcastLocked(event);
    }
    m_usb = Json::Value(Json::arrayValue);
    m_volumes = Json::Value(Json::arrayValue);
    m_changed.notify_all();
}

Json::Value ReplayServer::consume(const Json::Value& request, std::unique_lock<std::mutex>& lock)
{
    const auto grace = Clock::now() + std::chrono::milliseconds(m_options.graceMs);
    for (;;) {
        if (m_stopping)
            return failure("the replay is stopping");
        if (m_failed)
            return opOf(request) == "subscribe" ? listAnswerLocked() : failure("device disconnected");
        const size_t index = nextConsumingLocked();
        const auto& lines = m_recording.lines;
        Json::Value repeated;
        if (index >= lines.size() && opOf(request) == "open" && repeatOpenLocked(request, repeated))
            return repeated;
        // After the recording's end the device is as it was left: a host still looking for one
        // that had gone finds none, as the recorded host would have.
        if (index >= lines.size() && opOf(request) == "open" && !presentLocked(request))
            return failure("no such device");
        if (index >= lines.size()) {
            mismatchLocked(index, request, "the recording has no more exchanges");
            return failure("device disconnected");
        }
        const RecordingLine& line = lines[index];
        const auto now = Clock::now();
        if (matchesLocked(request, line)) {
            const auto due = dueLocked(line);
            if (now < due) {
                m_changed.wait_until(lock, due);
                continue; // another connection may have moved on meanwhile
            }
            advanceToLocked(index);
            const std::string op = opOf(request);
            if (op == "open")
                return openedLocked(line);
            Json::Value response = line.response;
            if (op == "write") {
                m_handleWrote[request["handle"].asInt64()] = true;
                m_faults.wrote(request["handle"].asInt64());
            }
            if (op == "volume")
                m_faults.bendVolume(request, response);
            return response;
        }
        if (opOf(request) == "open" && repeatOpenLocked(request, repeated))
            return repeated;
        // A host that polls less often: whole recorded connections it did not make are passed over.
        size_t beyond = index;
        for (int skipped = 0; skipped < 8; ++skipped) {
            const size_t after = pastPollLocked(beyond);
            if (after == beyond)
                break;
            beyond = after;
            if (beyond < lines.size() && matchesLocked(request, lines[beyond])) {
                advanceToLocked(beyond);
                if (opOf(request) == "open")
                    return openedLocked(lines[beyond]);
                if (opOf(request) == "write") {
                    m_handleWrote[request["handle"].asInt64()] = true;
                    m_faults.wrote(request["handle"].asInt64());
                }
                return lines[beyond].response;
            }
        }
        size_t later = 0;
        if (rebindLocked(request, index, later)) {
            const RecordingLine& rebound = lines[later];
            const auto due = dueLocked(rebound);
            if (now < due)
                m_changed.wait_until(lock, due);
            advanceToLocked(later);
            m_handleWrote[request["handle"].asInt64()] = true;
            m_faults.wrote(request["handle"].asInt64());
            return rebound.response;
        }
        // A poll whose recorded connection lies further on, while what is due belongs to a host
        // thread that may be waiting for this very answer: served out of turn.
        Json::Value outOfTurn;
        if (pollOutOfTurnLocked(request, outOfTurn)) {
            m_handleWrote[request["handle"].asInt64()] = true;
            return outOfTurn;
        }
        // A recorded poll that no host handle is about to take (one that is opened but has not
        // written yet may still take it, for a while) is one this host did not make; should it
        // make it later after all, it is answered as a repeat.
        if ((m_pending.empty() || now >= grace) && passOverPollLocked(index))
            continue;
        // The expected line may belong to another connection's request that is on its way.
        if (now >= grace) {
            mismatchLocked(index, request, "");
            return failure("device disconnected");
        }
        m_changed.wait_until(lock, grace);
    }
}

Json::Value ReplayServer::readRequest(const Json::Value& request, std::unique_lock<std::mutex>& lock)
{
    const Json::Value& timeoutField = request["timeout_ms"];
    const int64_t timeout = timeoutField.isInt64() ? timeoutField.asInt64() : 0;
    const auto deadline = timeout < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeout);
    const size_t max = request["max"].isUInt64() ? size_t(request["max"].asUInt64()) : 0;
    Json::Value again;
    if (request["handle"].isInt64() && m_faults.takeRepeat(request["handle"].asInt64(), again))
        return again;
    if (request["handle"].isInt64() && m_outOfTurn.count(request["handle"].asInt64())) {
        std::deque<Json::Value>& kept = m_outOfTurn[request["handle"].asInt64()];
        if (!kept.empty()) {
            Json::Value response = kept.front();
            kept.pop_front();
            m_faults.bendRead(request["handle"].asInt64(), response);
            return response;
        }
    }
    for (;;) {
        if (m_stopping)
            return failure("the replay is stopping");
        if (m_failed)
            return failure("device disconnected");
        const size_t index = nextConsumingLocked();
        const auto now = Clock::now();
        if (index < m_recording.lines.size() && matchesLocked(request, m_recording.lines[index])) {
            const RecordingLine& line = m_recording.lines[index];
            const auto due = dueLocked(line);
            if (now >= due) {
                advanceToLocked(index);
                Json::Value response = line.response;
                m_faults.bendRead(request["handle"].asInt64(), response);
                if (response["data"].isString() && response["data"].asString().size() > 2 * max)
                    response["data"] = response["data"].asString().substr(0, 2 * max);
                return response;
            }
            if (due > deadline) {
                m_changed.wait_until(lock, deadline);
                if (Clock::now() >= deadline)
                    break;
                continue;
            }
            m_changed.wait_until(lock, due);
            continue;
        }
        // What is due may be a poll this host did not make, or belong to a host thread that
        // waits for this very answer: a poll's answer does not depend on the order.
        if (index < m_recording.lines.size() && m_pending.empty() && passOverPollLocked(index))
            continue;
        Json::Value outOfTurn;
        if (index < m_recording.lines.size() && pollOutOfTurnLocked(request, outOfTurn)) {
            if (outOfTurn["data"].isString() && outOfTurn["data"].asString().size() > 2 * max)
                outOfTurn["data"] = outOfTurn["data"].asString().substr(0, 2 * max);
            return outOfTurn;
        }
        if (now >= deadline)
            break;
        // Nothing for this handle yet: wait for the sequence to move or the time limit.
        if (deadline == Clock::time_point::max())
            m_changed.wait(lock);
        else
            m_changed.wait_until(lock, deadline);
    }
    Json::Value response(Json::objectValue);
    response["ok"] = true;
    response["data"] = "";
    return response;
}

void ReplayServer::pumpLoop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        if (!m_started || m_failed || m_next >= m_recording.lines.size() || consuming(m_recording.lines[m_next])) {
            m_changed.wait_for(lock, std::chrono::milliseconds(100));
            continue;
        }
        const auto due = dueLocked(m_recording.lines[m_next]);
        if (Clock::now() < due) {
            m_changed.wait_until(lock, due);
            continue;
        }
        applyLocked(m_recording.lines[m_next++]);
        m_changed.notify_all();
    }
}

bool ReplayServer::waitForEnd(bool (*stopRequested)())
{
    std::unique_lock<std::mutex> lock(m_mutex);
    Clock::time_point goneSince;
    for (;;) {
        if (m_failed) {
            // A moment for the host to see the device leave before the bus goes, cut short
            // when it has gone already.
            m_changed.wait_for(lock, std::chrono::milliseconds(1000), [this] { return m_openConnections == 0; });
            return false;
        }
        const size_t next = nextConsumingLocked();
        // Polls the host did not make at the end (its scan threads may have asked in any
        // interleaving) are no exchange it missed.
        if (m_started && m_openConnections == 0 && onlyPollsFromLocked(next))
            return true;
        // A host that went away with exchanges still to come does not get them: after a moment
        // for a reconnect, the replay ends as failed.
        if (m_started && m_openConnections == 0) {
            if (goneSince == Clock::time_point())
                goneSince = Clock::now();
            else if (Clock::now() - goneSince > std::chrono::seconds(3)) {
                m_report = "replay: the host left before line " + std::to_string(m_recording.lines[next].number)
                    + " of the recording, which expected " + toLine(m_recording.lines[next].request);
                std::fprintf(stderr, "tarvel-devsim: %s\n", m_report.c_str());
                return false;
            }
        } else {
            goneSince = Clock::time_point();
        }
        // A host that is still there but no longer asks for what comes next (it waits for an
        // event the recording had and this one lacks, say) is as far off the recording as one
        // that asked for something else.
        if (m_started && m_inFlight == 0 && m_openConnections > 0 && next < m_recording.lines.size()) {
            const auto quietSince = std::max({ m_lastRequest, m_lastProgress, dueLocked(m_recording.lines[next]) });
            if (Clock::now() - quietSince > std::chrono::milliseconds(m_options.stallMs)) {
                mismatchLocked(m_recording.lines.size(), Json::Value(Json::objectValue),
                    "the host stopped asking for " + toLine(m_recording.lines[next].request) + " (line "
                        + std::to_string(m_recording.lines[next].number) + " of the recording) for "
                        + std::to_string(m_options.stallMs) + " ms");
                continue;
            }
        }
        if (stopRequested && stopRequested())
            return true;
        m_changed.wait_for(lock, std::chrono::milliseconds(100));
    }
}

} // namespace devsim
