#include "session_recorder.h"

#include "platform/vbus/wire.h"

#include <cstdio>

namespace devsim {

namespace {

Json::Value withoutId(const Json::Value& message)
{
    Json::Value copy = message;
    if (copy.isObject())
        copy.removeMember("id");
    return copy;
}

std::string opOf(const Json::Value& request)
{
    return request.isObject() && request["op"].isString() ? request["op"].asString() : "";
}

} // namespace

bool SessionRecorder::open(const std::string& path, bool overwrite, const platform::recording::RecordingOrigin& origin,
    std::string& error)
{
    if (!m_writer.open(path, overwrite, origin, error))
        return false;
    m_writer.setFailureHandler(
        [](const std::string& message) { std::fprintf(stderr, "tarvel-devsim: %s\n", message.c_str()); });
    return true;
}

void SessionRecorder::exchange(int conn, const Json::Value& request, const Json::Value& response)
{
    const std::string op = opOf(request);
    if (op.empty() || op == "hello" || op.rfind("sim.", 0) == 0)
        return;
    if (op == "list" && response["volumes"].isArray()) {
        std::set<std::string> present;
        for (const Json::Value& volume : response["volumes"]) {
            if (!volume["root"].isString() || !volume["removable"].asBool())
                continue;
            present.insert(volume["root"].asString());
            describeOnArrival(volume["root"].asString());
        }
        std::lock_guard<std::mutex> lock(m_drivesMutex);
        for (auto it = m_described.begin(); it != m_described.end();)
            it = present.count(*it) ? std::next(it) : m_described.erase(it);
    }
    m_writer.request(conn, withoutId(request), withoutId(response));
}

void SessionRecorder::event(int conn, const std::string& line)
{
    Json::Value event;
    if (!platform::vbus::parseLine(line, event) || !event.isObject())
        return;
    const std::string kind = event["event"].isString() ? event["event"].asString() : "";
    if (kind == "volume_arrival" && event["root"].isString()) {
        describeOnArrival(event["root"].asString());
    } else if (kind == "volume_removal" && event["root"].isString()) {
        std::lock_guard<std::mutex> lock(m_drivesMutex);
        m_described.erase(event["root"].asString());
    }
    m_writer.event(conn, event);
}

void SessionRecorder::describeOnArrival(const std::string& clientRoot)
{
    {
        std::lock_guard<std::mutex> lock(m_drivesMutex);
        if (!m_described.insert(clientRoot).second)
            return;
    }
    // The tree is read where the simulator keeps it and written under the client's name.
    Json::Value files;
    platform::recording::describeTree(rootFromClient(m_rootMap, clientRoot), files);
    Json::Value line(Json::objectValue);
    line["drive"] = clientRoot;
    line["files"] = files;
    m_writer.line(line);
}

} // namespace devsim
