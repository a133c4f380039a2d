#include "faults.h"

namespace devsim {

namespace {
struct NamedFault {
    FaultKind kind;
    const char* name;
};
const NamedFault kNames[] = {
    { FaultKind::Silence, "silence" },
    { FaultKind::DropReport, "drop_report" },
    { FaultKind::RepeatReport, "repeat_report" },
    { FaultKind::CorruptCrc, "corrupt_crc" },
    { FaultKind::CommandStatus, "status" },
    { FaultKind::DisconnectInDataPhase, "disconnect_data_phase" },
    { FaultKind::AbortDataPhase, "abort_data_phase" },
    { FaultKind::DriveStuck, "drive_stuck" },
    { FaultKind::DriveFull, "drive_full" },
};
} // namespace

const char* faultName(FaultKind kind)
{
    for (const auto& entry : kNames)
        if (entry.kind == kind)
            return entry.name;
    return "";
}

bool faultFromName(const std::string& name, FaultKind& kind)
{
    for (const auto& entry : kNames) {
        if (name == entry.name) {
            kind = entry.kind;
            return true;
        }
    }
    return false;
}

} // namespace devsim
