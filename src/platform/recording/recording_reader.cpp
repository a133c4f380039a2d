#include "platform/recording/recording.h"

#include "platform/vbus/wire.h"

#include <fstream>
#include <sstream>

namespace platform::recording {
namespace {

using platform::vbus::hexDecode;

const Json::Value& field(const Json::Value& object, const char* name)
{
    static const Json::Value none;
    return object.isObject() && object.isMember(name) ? object[name] : none;
}

bool isHex(const Json::Value& value)
{
    std::vector<uint8_t> bytes;
    return value.isString() && hexDecode(value.asString(), bytes);
}

// What a request must carry for its op; empty when it has it.
std::string requestProblem(const Json::Value& request)
{
    const std::string op = field(request, "op").asString();
    auto integer = [&](const char* name) { return field(request, name).isInt64(); };
    if (op == "open" && !(integer("vid") && integer("pid")))
        return "an open request without vid and pid";
    if ((op == "write" || op == "read" || op == "close") && !integer("handle"))
        return "a " + op + " request without a handle";
    if (op == "write" && !isHex(field(request, "data")))
        return "a write request whose data is not hexadecimal text";
    if (op == "read" && !integer("max"))
        return "a read request without max";
    if (op == "volume" && !(field(request, "root").isString() && field(request, "step").isString()))
        return "a volume request without root and step";
    return "";
}

// What a response to that op must carry when it is ok; empty when it has it.
std::string responseProblem(const std::string& op, const Json::Value& response)
{
    const Json::Value& ok = field(response, "ok");
    if (!ok.isBool())
        return "a response without ok";
    if (!ok.asBool())
        return "";
    if (op == "open" && !field(response, "handle").isInt64())
        return "an open response without a handle";
    if (op == "write" && !field(response, "written").isInt64())
        return "a write response without written";
    if (op == "read" && !isHex(field(response, "data")))
        return "a read response whose data is missing or not hexadecimal text";
    if (op == "list") {
        const Json::Value& usb = field(response, "usb");
        const Json::Value& volumes = field(response, "volumes");
        if (!usb.isArray() && !volumes.isArray())
            return "a list response with neither usb nor volumes";
        if ((!usb.isNull() && !usb.isArray()) || (!volumes.isNull() && !volumes.isArray()))
            return "a list response whose usb or volumes is not an array";
        for (const Json::Value& entry : volumes)
            if (!field(entry, "root").isString())
                return "a list response with a volume without a root";
        for (const Json::Value& entry : usb)
            if (!field(entry, "vid").isInt64() || !field(entry, "pid").isInt64())
                return "a list response with a USB device without vid and pid";
    }
    return "";
}

std::string driveProblem(const Json::Value& message)
{
    if (!field(message, "drive").isString())
        return "a drive line whose drive is not a text";
    const Json::Value& files = field(message, "files");
    if (!files.isArray())
        return "a drive line without files";
    for (const Json::Value& file : files) {
        const Json::Value& hash = field(file, "sha256");
        if (!field(file, "path").isString() || !field(file, "size").isUInt64() || !hash.isString()
            || hash.asString().size() != 64 || !isHex(hash))
            return "a drive line with a file that lacks path, size or sha256";
    }
    return "";
}

// One line after the header; false with the reason in problem.
bool readLine(const Json::Value& message, RecordingLine& line, int64_t lastMs, std::string& problem)
{
    const Json::Value& t = field(message, "t_ms");
    if (!t.isInt64() || t.asInt64() < 0) {
        problem = "no t_ms (milliseconds, 0 or more)";
        return false;
    }
    line.tMs = t.asInt64();
    if (line.tMs < lastMs) {
        problem = "t_ms goes back (" + std::to_string(line.tMs) + " after " + std::to_string(lastMs) + ")";
        return false;
    }
    const bool exchange = message.isMember("request") || message.isMember("response");
    const bool event = message.isMember("event");
    if (exchange || event) {
        if (!field(message, "conn").isInt64()) {
            problem = "no conn";
            return false;
        }
        line.conn = message["conn"].asInt64();
    }
    if (exchange) {
        line.kind = RecordingLine::Kind::Exchange;
        line.request = field(message, "request");
        line.response = field(message, "response");
        if (!line.request.isObject() || !field(line.request, "op").isString()) {
            problem = "a request that is not an object with an op";
            return false;
        }
        if (!line.response.isObject()) {
            problem = "a request without its response";
            return false;
        }
        problem = requestProblem(line.request);
        if (problem.empty())
            problem = responseProblem(line.request["op"].asString(), line.response);
        return problem.empty();
    }
    if (event) {
        line.kind = RecordingLine::Kind::Event;
        line.event = message["event"];
        if (!field(line.event, "event").isString()) {
            problem = "an event that is not an object naming its event";
            return false;
        }
        return true;
    }
    if (message.isMember("drive")) {
        line.kind = RecordingLine::Kind::Drive;
        problem = driveProblem(message);
        if (!problem.empty())
            return false;
        line.root = message["drive"].asString();
        line.files = message["files"];
        return true;
    }
    problem.clear(); // a kind this reader does not know: skipped
    return false;
}

} // namespace

bool parseRecording(const std::string& text, Recording& recording, std::string& error)
{
    recording = Recording();
    size_t at = 0;
    size_t number = 0;
    int64_t lastMs = 0;
    auto fail = [&](const std::string& what) {
        error = "line " + std::to_string(number) + ": " + what;
        recording = Recording();
        return false;
    };
    while (at < text.size()) {
        ++number;
        const size_t end = text.find('\n', at);
        const size_t length = (end == std::string::npos ? text.size() : end) - at;
        if (length > kMaxRecordingLine)
            return fail("longer than " + std::to_string(kMaxRecordingLine) + " bytes");
        if (end == std::string::npos)
            return fail("cut short (no line end): the recording stops in the middle of a line");
        std::string content = text.substr(at, length);
        at = end + 1;
        if (!content.empty() && content.back() == '\r')
            content.pop_back();
        if (number > 1 && content.find_first_not_of(" \t") == std::string::npos)
            continue;
        Json::Value message;
        if (!platform::vbus::parseLine(content, message))
            return fail("not one JSON object");
        if (number == 1) {
            const Json::Value& kind = field(message, "recording");
            const Json::Value& version = field(message, "version");
            if (!kind.isString() || kind.asString() != "tarvel-vbus")
                return fail("no recording header (a first line with \"recording\": \"tarvel-vbus\")");
            if (!version.isInt64())
                return fail("the header has no version");
            if (version.asInt64() != kRecordingVersion)
                return fail("unknown recording version " + std::to_string(version.asInt64()) + " (this program reads version "
                    + std::to_string(kRecordingVersion) + ")");
            recording.header = message;
            continue;
        }
        RecordingLine line;
        line.number = number;
        std::string problem;
        if (!readLine(message, line, lastMs, problem)) {
            if (problem.empty())
                continue;
            return fail(problem);
        }
        lastMs = line.tMs;
        recording.lines.push_back(std::move(line));
    }
    if (number == 0) {
        number = 1;
        return fail("empty file: no recording header");
    }
    return true;
}

bool readRecording(const std::string& path, Recording& recording, std::string& error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read " + path;
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) {
        error = "cannot read " + path;
        return false;
    }
    if (!parseRecording(text.str(), recording, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

} // namespace platform::recording
