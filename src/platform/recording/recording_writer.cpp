#include "platform/recording/recording.h"
#include "platform/recording/sha256.h"

#include "platform/clock.h"
#include "platform/file_trees.h"
#include "platform/vbus/wire.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>

namespace fs = std::filesystem;

namespace platform::recording {
namespace {

int64_t steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(platform::now().time_since_epoch()).count();
}

std::string utcNowText()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const int ms = int(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    char text[40] = "";
    if (const std::tm* utc = std::gmtime(&seconds)) {
        char base[32];
        std::strftime(base, sizeof base, "%Y-%m-%dT%H:%M:%S", utc);
        std::snprintf(text, sizeof text, "%s.%03dZ", base, ms);
    }
    return text;
}

} // namespace

bool RecordingWriter::open(const std::string& path, bool overwrite, const RecordingOrigin& origin, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file) {
        error = "a recording is already being written";
        return false;
    }
    std::error_code ec;
    if (!overwrite && fs::symlink_status(path, ec).type() != fs::file_type::not_found) {
        error = "the recording " + path + " exists already (--record-overwrite replaces it)";
        return false;
    }
    if (fs::is_directory(path, ec)) {
        error = "the recording " + path + " is a folder";
        return false;
    }
    m_file = std::fopen(path.c_str(), "wb");
    if (!m_file) {
        error = "cannot create the recording " + path;
        return false;
    }
    m_startMs = steadyMs();
    m_lastMs = 0;
    m_failed = false;
    Json::Value header(Json::objectValue);
    header["recording"] = "tarvel-vbus";
    header["version"] = kRecordingVersion;
    header["program"] = origin.program;
    header["platform"] = origin.platform;
    header["started"] = utcNowText();
    const std::string text = platform::vbus::toLine(header) + "\n";
    if (std::fwrite(text.data(), 1, text.size(), m_file) != text.size() || std::fflush(m_file) != 0) {
        std::fclose(m_file);
        m_file = nullptr;
        error = "cannot write the recording " + path;
        return false;
    }
    return true;
}

void RecordingWriter::setFailureHandler(RecordingFailureHandler handler)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_onFailure = std::move(handler);
}

bool RecordingWriter::isOpen()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_file != nullptr;
}

int RecordingWriter::newConn()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nextConn++;
}

void RecordingWriter::writeLocked(Json::Value& message)
{
    if (!m_file || m_failed)
        return;
    // Taken under the lock, so the times in the file never go back.
    int64_t t = steadyMs() - m_startMs;
    if (t < m_lastMs)
        t = m_lastMs;
    m_lastMs = t;
    Json::Value line(Json::objectValue);
    line["t_ms"] = Json::Int64(t);
    for (const std::string& name : message.getMemberNames())
        line[name] = message[name];
    const std::string text = platform::vbus::toLine(line) + "\n";
    // Flushed per line: a crash or a pulled cable leaves every exchange up to that moment.
    if (std::fwrite(text.data(), 1, text.size(), m_file) == text.size() && std::fflush(m_file) == 0)
        return;
    // The recording is never a reason to stop: said once, then left alone.
    m_failed = true;
    if (m_onFailure)
        m_onFailure("the session recording could not be written on; the run goes on without it");
}

void RecordingWriter::line(Json::Value message)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    writeLocked(message);
}

void RecordingWriter::request(int conn, const Json::Value& request, const Json::Value& response)
{
    Json::Value message(Json::objectValue);
    message["conn"] = conn;
    message["request"] = request;
    message["response"] = response;
    line(std::move(message));
}

void RecordingWriter::event(int conn, const Json::Value& event)
{
    Json::Value message(Json::objectValue);
    message["conn"] = conn;
    message["event"] = event;
    line(std::move(message));
}

void RecordingWriter::driveTree(const std::string& root)
{
    Json::Value files;
    describeTree(root, files);
    Json::Value message(Json::objectValue);
    message["drive"] = root;
    message["files"] = files;
    line(std::move(message));
}

void RecordingWriter::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file)
        std::fclose(m_file);
    m_file = nullptr;
}

bool describeTree(const std::string& root, Json::Value& files)
{
    files = Json::Value(Json::arrayValue);
    std::vector<std::string> paths;
    bool whole = listFilesBelow(root, paths);
    std::sort(paths.begin(), paths.end());
    for (const std::string& path : paths) {
        const fs::path full = fs::path(root) / fs::u8path(path);
        std::error_code ec;
        const uintmax_t size = fs::file_size(full, ec);
        std::string hash;
        if (ec || !sha256OfFile(full.string(), hash)) {
            whole = false;
            continue;
        }
        Json::Value entry(Json::objectValue);
        entry["path"] = path;
        entry["size"] = Json::UInt64(size);
        entry["sha256"] = hash;
        files.append(entry);
    }
    return whole;
}

} // namespace platform::recording
