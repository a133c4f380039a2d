#pragma once
// Replay of a session recording as a device on the bus: the recorded devices and volumes are
// listed, each request that matches the recorded one gets the recorded response, and the
// recorded events come at their place in the sequence. Opens, writes, closes, volume steps,
// subscriptions and reads that got data come one to one as recorded; listings and reads that
// got nothing are answered from the recorded state at that point, however often the host asks.
// A request that does not match ends the replay: the device leaves the bus.

#include "replay_faults.h"

#include "platform/recording/recording.h"
#include "platform/vbus/wire.h"

#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace devsim {

struct ReplayOptions {
    double timeScale = 1.0; // the recording's pauses multiplied by this
    int graceMs = 2000; // how long a request that is not next waits for another connection's
    std::string driveBase; // the folder under which each recorded drive is recreated
    // How long a host that is connected, has nothing waiting and sends nothing of what is due
    // may stay quiet before the replay ends as failed.
    int stallMs = 5000;
    std::vector<Fault> faults; // laid over the recorded answers (replayCanShow says which may be)
};

class ReplayServer {
public:
    ReplayServer(platform::recording::Recording recording, ReplayOptions options);
    ~ReplayServer();
    ReplayServer(const ReplayServer&) = delete;
    ReplayServer& operator=(const ReplayServer&) = delete;

    // Recreates the drives and listens at address. False with error.
    bool start(const platform::vbus::BusAddress& address, std::string& error);
    const platform::vbus::BusAddress& address() const { return m_address; }
    void stop();

    // Waits until the replay ended: true when every recorded exchange was replayed and the
    // host has gone, false after a mismatch (report() says what). Returns early when
    // stopRequested() says so (it is asked now and then), with true.
    bool waitForEnd(bool (*stopRequested)());
    const std::string& report() const { return m_report; }

private:
    struct Connection {
        explicit Connection(platform::vbus::SocketHandle handle)
            : socket(handle)
        { }
        platform::vbus::LineSocket socket;
        std::thread thread;
        std::atomic<bool> done { false };
        bool subscribed = false;
        std::deque<std::string> events; // event lines not sent yet
    };

    void acceptLoop();
    void serve(Connection& connection);
    void streamEvents(Connection& connection);
    void pumpLoop();
    Json::Value answer(Connection& connection, const Json::Value& request);
    Json::Value consume(const Json::Value& request, std::unique_lock<std::mutex>& lock);
    Json::Value readRequest(const Json::Value& request, std::unique_lock<std::mutex>& lock);
    Json::Value listAnswerLocked() const;

    // Everything below with m_mutex held.
    size_t nextConsumingLocked() const;
    bool writesFirstLocked(size_t openAt, int64_t conn, const Json::Value& request) const;
    bool matchesLocked(const Json::Value& request, const platform::recording::RecordingLine& line) const;
    void applyLocked(const platform::recording::RecordingLine& line);
    void advanceToLocked(size_t index);
    std::chrono::steady_clock::time_point dueLocked(const platform::recording::RecordingLine& line) const;
    size_t pastPollLocked(size_t index) const;
    bool onlyPollsFromLocked(size_t index) const;
    bool passOverPollLocked(size_t index);
    bool pollOutOfTurnLocked(const Json::Value& request, Json::Value& response);
    Json::Value pendingLocked(const Json::Value& request, std::unique_lock<std::mutex>& lock);
    bool presentLocked(const Json::Value& open) const;
    bool repeatOpenLocked(const Json::Value& request, Json::Value& response);
    Json::Value repeatLocked(const Json::Value& request, std::unique_lock<std::mutex>& lock);
    int64_t recordedConnLocked(const Json::Value& request) const;
    Json::Value openedLocked(const platform::recording::RecordingLine& line);
    bool rebindLocked(const Json::Value& request, size_t expected, size_t& found);
    void mismatchLocked(size_t lineIndex, const Json::Value& request, const std::string& why);
    void broadcastLocked(Json::Value event);
    std::string toReplayRoot(const std::string& recorded) const;
    std::string toRecordedRoot(const std::string& replayed) const;

    platform::recording::Recording m_recording;
    ReplayOptions m_options;
    platform::vbus::BusAddress m_address;
    platform::vbus::LineListener m_listener;
    std::map<std::string, std::string> m_roots; // recorded root → the folder that stands in
    std::atomic<bool> m_stopping { false };
    std::thread m_acceptThread;
    std::thread m_pump;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::list<std::unique_ptr<Connection>> m_connections;
    size_t m_next = 0; // the first line not replayed yet
    bool m_started = false; // the first request came: time runs from it
    std::chrono::steady_clock::time_point m_anchorReal;
    int64_t m_anchorMs = 0;
    Json::Value m_usb { Json::arrayValue };
    Json::Value m_volumes { Json::arrayValue };
    bool m_failed = false;
    int m_openConnections = 0;
    int m_inFlight = 0; // requests being answered that may wait for the sequence
    std::chrono::steady_clock::time_point m_lastRequest; // when one of those last came or went
    std::chrono::steady_clock::time_point m_lastProgress; // when the sequence last moved
    // Host handle → the recorded connection whose lines it replays (unbound: the connection of
    // the same number), and whether it has written.
    std::map<int64_t, int64_t> m_binding;
    std::map<int64_t, bool> m_handleWrote;
    // Handles of polls beyond the recorded ones: answered from an earlier recorded connection
    // to the same device that wrote the same, without moving the sequence.
    struct Repeat {
        int64_t vid = 0;
        int64_t pid = 0;
        std::vector<std::string> writes;
        int64_t conn = -1; // the recorded connection answering
        size_t reads = 0; // reads answered since the last write
    };
    std::map<int64_t, Repeat> m_repeats;
    int64_t m_nextRepeat = 1000000; // the next handle the replay gives out
    // Opens not yet tied to a recorded connection: the first write decides which one it
    // replays, since two host threads may open the same device in either order.
    std::map<int64_t, Json::Value> m_pending; // handle → the open request
    // Lines taken out of the sequence: opens ahead taken by a pending handle, and the lines of
    // recorded polls this host did not make.
    std::set<size_t> m_claimed;
    // Handles whose poll was served out of turn → the recorded reads still to give them.
    std::map<int64_t, std::deque<Json::Value>> m_outOfTurn;
    ReplayFaults m_faults;
    std::string m_report;
};

// Makes the tree of a drive line below folder: every recorded file with its size (contents
// generated, since none were recorded; a file already of that size is kept), and nothing
// else. False when the folder cannot be written.
bool recreateDriveTree(const std::string& folder, const Json::Value& files);

} // namespace devsim
