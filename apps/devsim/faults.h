#pragma once
// Faults the device can be told to show. Each waits for `skip` occasions of its kind to pass
// and then acts on the next `count`, or on every one with `always` (drive faults last until
// cleared).

#include <cstdint>
#include <string>

namespace devsim {

enum class FaultKind {
    Silence, // commands (frames or packets) are taken but not answered
    DropReport, // a report to the host is lost
    RepeatReport, // a report to the host arrives twice
    CorruptCrc, // an application frame to the host carries a wrong CRC
    CommandStatus, // a bootloader command is answered with `status`
    DisconnectInDataPhase, // the device leaves the bus after `afterBytes` of a data phase
    AbortDataPhase, // the device aborts a data phase after `afterBytes`
    DriveStuck, // the drive refuses to lock and dismount
    DriveFull, // copies to the drive fail
    CorruptWrite, // a write is acknowledged but the byte at `offset` of it is stored wrongly
    LateReply, // the answer to an application frame (of code `commandTag`) comes `holdMs` late
};

struct Fault {
    FaultKind kind = FaultKind::Silence;
    int skip = 0;
    int count = 1;
    int commandTag = -1; // CommandStatus: the tag it answers, -1 for any command
    uint32_t status = 1; // CommandStatus
    uint32_t afterBytes = 0; // data-phase faults
    bool comesBack = true; // DisconnectInDataPhase: it returns as its bootloader
    uint32_t offset = 0; // CorruptWrite: the byte, counted from the write's first, stored wrongly
    int holdMs = 200; // LateReply: real milliseconds its answer and all after it are held back
    bool always = false; // strikes on every occasion until cleared, `count` aside
};

// "silence", "drop_report", "repeat_report", "corrupt_crc", "status", "disconnect_data_phase",
// "abort_data_phase", "drive_stuck", "drive_full", "corrupt_write", "late_reply".
const char* faultName(FaultKind kind);
bool faultFromName(const std::string& name, FaultKind& kind);

// A fault as a command line gives it: its name, then key=value settings separated by commas
// (skip, count, tag, status, after_bytes, offset, ms; comes_back=yes|no; always), for example
// "corrupt_write,offset=4096,always". False with a reason in error for anything else.
bool faultFromText(const std::string& text, Fault& fault, std::string& error);

} // namespace devsim
