#pragma once
// Session recordings: what passed between a program and its devices, in the bus's own terms,
// as a file of JSON lines. Line 1 is the header; then one line per request with its response,
// one per event, and one per drive tree seen on arrival (names, sizes and hashes of its files,
// never their contents). The writer is shared by every thread of a program; the reader checks
// every line and names the line it refuses.

#include <json/value.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace platform::recording {

constexpr int kRecordingVersion = 1;

// What a header says about the program that wrote the recording.
struct RecordingOrigin {
    std::string program; // "tarvel-updater 1.0", ...
    std::string platform; // "linux" or "windows"
};

// Told once, the first time a line cannot be written; the program goes on without it.
using RecordingFailureHandler = std::function<void(const std::string& message)>;

class RecordingWriter {
public:
    RecordingWriter() = default;
    ~RecordingWriter() { close(); }
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    // Creates path (an existing file only with overwrite) and writes the header. False with a
    // sentence in error otherwise.
    bool open(const std::string& path, bool overwrite, const RecordingOrigin& origin, std::string& error);
    void setFailureHandler(RecordingFailureHandler handler);
    bool isOpen();

    // One line each, written and flushed before they return.
    void request(int conn, const Json::Value& request, const Json::Value& response);
    void event(int conn, const Json::Value& event);
    // The tree below root as a "drive" line; only regular files, paths relative with '/'.
    void driveTree(const std::string& root);
    // The line as it is; t_ms is set here.
    void line(Json::Value message);
    void close();

    // A connection number not used yet in this recording.
    int newConn();

private:
    void writeLocked(Json::Value& message);

    std::mutex m_mutex;
    std::FILE* m_file = nullptr;
    int64_t m_startMs = 0;
    int64_t m_lastMs = 0;
    int m_nextConn = 1;
    bool m_failed = false;
    RecordingFailureHandler m_onFailure;
};

// The files of a drive's tree as a recording describes them: {path, size, sha256} each,
// sorted by path. False when the tree cannot be read whole (files then holds what was read).
bool describeTree(const std::string& root, Json::Value& files);

// One line of a recording after the header, as the reader understood it.
struct RecordingLine {
    enum class Kind { Exchange, Event, Drive };
    Kind kind = Kind::Exchange;
    size_t number = 0; // line number in the file, the header being line 1
    int64_t tMs = 0;
    int64_t conn = 0;
    Json::Value request; // Exchange
    Json::Value response; // Exchange
    Json::Value event; // Event
    std::string root; // Drive
    Json::Value files; // Drive: array of {path, size, sha256}
};

struct Recording {
    Json::Value header;
    std::vector<RecordingLine> lines;
};

// Longest line a reader takes: more than any exchange of the bus needs.
constexpr size_t kMaxRecordingLine = 4u << 20;

// Reads a whole recording from text. False with "line N: <what>" in error for the first line
// it refuses: no header or an unknown version, a line that is not one JSON object, a line
// without its line end (a cut-off file), an over-long line, a request, response, event or
// drive line without the fields it must have. Lines of kinds it does not know are skipped.
bool parseRecording(const std::string& text, Recording& recording, std::string& error);
// The same from a file.
bool readRecording(const std::string& path, Recording& recording, std::string& error);

} // namespace platform::recording
