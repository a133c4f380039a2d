#pragma once
// What the simulator's clients did, written as a session recording (the format the updater's
// --record writes and --replay serves): every request of a client with the answer it got, in
// the order the answers went out, and every event streamed to a subscriber, each tagged with
// the client's connection. Roots are written as the client saw them; a drive's tree is
// described (names, sizes, hashes) the first time it shows, in a listing or an arrival.

#include "root_map.h"

#include "platform/recording/recording.h"

#include <json/value.h>

#include <mutex>
#include <set>
#include <string>

namespace devsim {

class SessionRecorder {
public:
    // Creates path (an existing file only with overwrite) and writes the header. False with a
    // sentence in error otherwise. A line that cannot be written later is told once on
    // standard error and the simulator goes on.
    bool open(const std::string& path, bool overwrite, const platform::recording::RecordingOrigin& origin,
        std::string& error);
    // Set before the first client comes: how the clients name the drive roots.
    void setRootMap(RootMap map) { m_rootMap = std::move(map); }

    // A connection number of its own for each client connection.
    int newConn() { return m_writer.newConn(); }
    // One request and its answer. The bus's own greeting and the simulator's control ops
    // ("sim.*") are not traffic with the device and are left out, as are the requests' ids.
    void exchange(int conn, const Json::Value& request, const Json::Value& response);
    // One event line as it went to the subscriber on conn.
    void event(int conn, const std::string& line);
    void close() { m_writer.close(); }

private:
    void describeOnArrival(const std::string& clientRoot);

    platform::recording::RecordingWriter m_writer;
    RootMap m_rootMap;
    std::mutex m_drivesMutex;
    std::set<std::string> m_described; // client roots whose tree is written since they arrived
};

} // namespace devsim
