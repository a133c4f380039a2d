#include "replay_faults.h"

#include "platform/vbus/wire.h"

namespace devsim {

namespace {

std::vector<uint8_t> bytesOf(const Json::Value& response)
{
    std::vector<uint8_t> bytes;
    platform::vbus::hexDecode(response["data"].asString(), bytes);
    return bytes;
}

// A bootloader generic response (report 3, tag 0xa0) and the command it answers, or -1.
int genericResponseTag(const std::vector<uint8_t>& report)
{
    if (report.size() < 16 || report[0] != 3 || report[4] != 0xa0)
        return -1;
    return report[12];
}

} // namespace

bool replayCanShow(FaultKind kind)
{
    switch (kind) {
    case FaultKind::Silence:
    case FaultKind::DropReport:
    case FaultKind::RepeatReport:
    case FaultKind::CorruptCrc:
    case FaultKind::CommandStatus:
    case FaultKind::DriveStuck:
        return true;
    default:
        return false;
    }
}

ReplayFaults::ReplayFaults(std::vector<Fault> faults)
{
    for (Fault& fault : faults)
        m_armed.push_back({ fault, 0, 0 });
}

bool ReplayFaults::strikes(Armed& armed)
{
    if (armed.seen++ < armed.fault.skip)
        return false;
    if (armed.fault.always)
        return true;
    if (armed.struck >= armed.fault.count)
        return false;
    ++armed.struck;
    return true;
}

void ReplayFaults::bendRead(int64_t handle, Json::Value& response)
{
    if (!response["data"].isString() || response["data"].asString().empty())
        return;
    if (m_silenced.count(handle)) {
        response["data"] = "";
        return;
    }
    // Every fault counts the reports it could strike, whether or not another one strikes too.
    std::vector<uint8_t> report = bytesOf(response);
    bool lost = false, silenced = false;
    for (Armed& armed : m_armed) {
        switch (armed.fault.kind) {
        case FaultKind::Silence:
            silenced = strikes(armed) || silenced;
            break;
        case FaultKind::DropReport:
            lost = strikes(armed) || lost;
            break;
        case FaultKind::RepeatReport:
            if (strikes(armed))
                m_again[handle] = Json::Value(); // filled below with the report as it went
            break;
        case FaultKind::CorruptCrc: {
            // An application frame: SOH, its escaped body and CRC, EOT. The byte before EOT is
            // the CRC's last (or its escape), and changing it leaves a frame that does not check.
            if (report.empty() || report[0] != 0x01)
                break;
            size_t eot = 1;
            while (eot < report.size() && report[eot] != 0x04)
                ++eot;
            if (eot >= 2 && eot < report.size() && strikes(armed))
                report[eot - 1] ^= 0x40;
            break;
        }
        case FaultKind::CommandStatus: {
            const int tag = genericResponseTag(report);
            if (tag < 0 || (armed.fault.commandTag >= 0 && tag != armed.fault.commandTag) || !strikes(armed))
                break;
            for (int i = 0; i < 4; ++i)
                report[8 + i] = uint8_t(armed.fault.status >> (8 * i));
            break;
        }
        default:
            break;
        }
    }
    if (silenced)
        m_silenced.insert(handle);
    if (silenced || lost) {
        m_again.erase(handle);
        response["data"] = "";
        return;
    }
    response["data"] = platform::vbus::hexEncode(report);
    if (m_again.count(handle))
        m_again[handle] = response;
}

bool ReplayFaults::takeRepeat(int64_t handle, Json::Value& response)
{
    auto it = m_again.find(handle);
    if (it == m_again.end())
        return false;
    response = it->second;
    m_again.erase(it);
    return true;
}

void ReplayFaults::wrote(int64_t handle)
{
    m_silenced.erase(handle);
}

void ReplayFaults::bendVolume(const Json::Value& request, Json::Value& response)
{
    const std::string step = request["step"].isString() ? request["step"].asString() : "";
    if (step != "lock" && step != "dismount")
        return;
    for (Armed& armed : m_armed)
        if (armed.fault.kind == FaultKind::DriveStuck && strikes(armed)) {
            response = Json::Value(Json::objectValue);
            response["ok"] = false;
            response["error"] = "the volume is in use";
            return;
        }
}

} // namespace devsim
