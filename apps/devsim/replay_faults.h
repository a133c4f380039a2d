#pragma once
// Faults laid over a replay: the recorded answers bent as the simulator's faults bend a device's
// (a report lost or repeated, a frame's CRC wrong, a bootloader status, a command unanswered,
// a drive that will not lock), so that a recorded good session can be turned into a bad one.
// Faults that need the device's own workings (a data phase, the drive's copies, stored bytes)
// are not laid over a replay.

#include "faults.h"

#include <json/value.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace devsim {

bool replayCanShow(FaultKind kind);

class ReplayFaults {
public:
    ReplayFaults() = default;
    explicit ReplayFaults(std::vector<Fault> faults);

    // A recorded read with data on handle, as the faults have it.
    void bendRead(int64_t handle, Json::Value& response);
    // A report a fault repeats, due on handle before anything else: true with it.
    bool takeRepeat(int64_t handle, Json::Value& response);
    // The host wrote on handle: a command it left unanswered is behind it.
    void wrote(int64_t handle);
    // A recorded volume step's answer, as the faults have it.
    void bendVolume(const Json::Value& request, Json::Value& response);

private:
    struct Armed {
        Fault fault;
        int seen = 0;
        int struck = 0;
    };
    static bool strikes(Armed& armed);

    std::vector<Armed> m_armed;
    std::map<int64_t, Json::Value> m_again; // handle → the report it gets once more
    std::set<int64_t> m_silenced; // handles whose command is left unanswered until they write
};

} // namespace devsim
