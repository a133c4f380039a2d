#include "faults.h"

#include <cerrno>
#include <cstdlib>

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
    { FaultKind::CorruptWrite, "corrupt_write" },
    { FaultKind::LateReply, "late_reply" },
};

// A whole number from 0 to limit, decimal or 0x hexadecimal.
bool parseNumber(const std::string& text, uint64_t limit, uint64_t& value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (*end || errno == ERANGE || v > limit)
        return false;
    value = v;
    return true;
}

bool setting(const std::string& key, const std::string& value, Fault& fault)
{
    uint64_t n = 0;
    if (key == "skip" && parseNumber(value, 1000000, n))
        fault.skip = int(n);
    else if (key == "count" && parseNumber(value, 1000000, n) && n > 0)
        fault.count = int(n);
    else if (key == "tag" && parseNumber(value, 255, n))
        fault.commandTag = int(n);
    else if (key == "status" && parseNumber(value, 0xFFFFFFFFu, n))
        fault.status = uint32_t(n);
    else if (key == "after_bytes" && parseNumber(value, 0xFFFFFFFFu, n))
        fault.afterBytes = uint32_t(n);
    else if (key == "offset" && parseNumber(value, 0xFFFFFFFFu, n))
        fault.offset = uint32_t(n);
    else if (key == "ms" && parseNumber(value, 600000, n))
        fault.holdMs = int(n);
    else if (key == "comes_back" && (value == "yes" || value == "no"))
        fault.comesBack = value == "yes";
    else
        return false;
    return true;
}
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

bool faultFromText(const std::string& text, Fault& fault, std::string& error)
{
    Fault result;
    size_t start = 0;
    bool first = true;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        const std::string piece = text.substr(start, comma - start);
        start = comma + 1;
        if (first) {
            first = false;
            if (!faultFromName(piece, result.kind)) {
                error = "unknown fault '" + piece + "'";
                return false;
            }
            continue;
        }
        if (piece == "always") {
            result.always = true;
            continue;
        }
        const size_t eq = piece.find('=');
        if (eq == std::string::npos || !setting(piece.substr(0, eq), piece.substr(eq + 1), result)) {
            error = "bad fault setting '" + piece + "'";
            return false;
        }
    }
    fault = result;
    return true;
}

} // namespace devsim
