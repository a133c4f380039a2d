// The application face: the framed command protocol of the running firmware, and the jobs it
// starts on the drive (wireless update, fonts) and on USB (restarts).

#include "device.h"

#include "crc/app_crc.h"
#include "firmware/asset_records.h"

namespace devsim {

namespace fr = firmware_records;

namespace {
enum AppCode : uint8_t {
    kReadDeviceInfo = 0x06,
    kNordicEraseKeys = 0x07,
    kJumpToBootloader = 0x09,
    kFactoryReset = 0x0D,
    kUpdateNordic = 0x0E,
    kNrfGetVersion = 0x3A,
    kKanjiProgramFlash = 0x40,
};

Bytes failureBody(const std::string& reason)
{
    Bytes body;
    body.reserve(reason.size() + 2);
    body.push_back('%');
    body.insert(body.end(), reason.begin(), reason.end());
    body.push_back(0);
    return body;
}
} // namespace

void Device::appReportLocked(const Bytes& report)
{
    Bytes body;
    if (!decodeFrame(report.data(), report.size(), body) || body.empty())
        return; // a report that holds no sound frame is ignored, as the firmware does
    if (takeFaultLocked(FaultKind::Silence))
        return;
    Fault late;
    const uint8_t code = body[0];
    if (!m_holding
        && takeFaultLocked(
            FaultKind::LateReply, [code](const Fault& f) { return f.commandTag < 0 || f.commandTag == code; },
            &late)) {
        m_holding = true;
        m_heldUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(late.holdMs);
    }
    const uint64_t epoch = m_epoch;
    switch (body[0]) {
    case kReadDeviceInfo: {
        int raw = rawIdentityLocked();
        sendFrameLocked({ kReadDeviceInfo, uint8_t(raw), uint8_t(m_application.major),
            uint8_t(m_application.minor), 0x01, 0x00 });
        break;
    }
    case kNrfGetVersion:
        sendFrameLocked(textBody("NRF VERSION: " + m_nrfVersion));
        break;
    case kJumpToBootloader:
        scheduleLocked([this] {
            Face target;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                target = bootloaderPresent(m_flash) ? Face::FlashBootloader : Face::Rom;
            }
            restartJob(m_timings.beforeLeaving, &target);
        });
        break;
    case kFactoryReset:
        scheduleLocked([this] { factoryResetJob(); });
        break;
    case kNordicEraseKeys:
        scheduleLocked([this, epoch] { eraseKeysJob(epoch); });
        break;
    case kUpdateNordic: {
        if (body.size() != 7)
            break; // not the argument shape
        uint16_t crc = uint16_t(body[1] | body[2] << 8);
        uint32_t length = fr::readLe32(&body[3]);
        scheduleLocked([this, crc, length, epoch] { nordicUpdateJob(crc, length, epoch); });
        break;
    }
    case kKanjiProgramFlash:
        scheduleLocked([this, epoch] { kanjiJob(epoch); });
        break;
    default:
        break; // codes the firmware does not know go unanswered
    }
}

void Device::factoryResetJob()
{
    Face application = Face::Application;
    restartJob(m_timings.beforeLeaving, &application, [this] {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_drive.wipe();
    });
}

void Device::eraseKeysJob(uint64_t epoch)
{
    const char* lines[] = { "Erasing bonding keys", "Bonding keys erased", "Restarting" };
    for (const char* line : lines) {
        if (!nap(300))
            return;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_present || m_epoch != epoch)
            return;
        sendFrameLocked(textBody(line));
    }
    Face application = Face::Application;
    restartJob(m_timings.beforeLeaving, &application);
}

void Device::nordicUpdateJob(uint16_t crc, uint32_t length, uint64_t epoch)
{
    std::string failure;
    Bytes image, settings;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_present || m_epoch != epoch)
            return;
        int model = m_application.hasRecord ? m_application.deviceType : m_config.model;
        if (m_driveMounted)
            failure = "DRIVE BUSY";
        else if (!m_drive.readFile("nrf_update.bin", image))
            failure = "NO FILE";
        else if (image.size() != length || crc16CcittFalse(image.data(), image.size()) != crc)
            failure = "CRC ERR";
        else if (model >= 11 && model <= 16
            && (!m_drive.readFile("nrf_update.dat", settings) || settings.empty()))
            failure = "NO DAT";
        if (!failure.empty()) {
            sendFrameLocked(failureBody(failure));
        } else {
            sendFrameLocked(textBody("NRF DFU START"));
        }
    }
    if (failure.empty()) {
        uint32_t ticks = std::max<uint32_t>(length / 64, 40);
        ticks = std::min<uint32_t>(ticks, 3000);
        for (uint32_t i = 0; i < ticks; ++i) {
            if (!nap(m_timings.nordicTick))
                return;
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_present || m_epoch != epoch)
                return; // unplugged in the middle: the wireless chip keeps its old firmware
            sendFrameLocked(textBody("*"));
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        sendFrameLocked(textBody(m_config.nordicEndText));
        char version[fr::kNordicVersionSize + 1];
        if (fr::parseNordicRecord(image.data(), image.size(), version, sizeof(version)))
            m_nrfVersion = version;
    }
    // Either way the device restarts its wireless chip and brings its drive back.
    Face application = Face::Application;
    restartJob(2000, &application);
}

void Device::kanjiJob(uint64_t epoch)
{
    auto fontReady = [this](const std::string& name) {
        Bytes bytes;
        if (!m_drive.readFile(name, bytes) || bytes.size() < fr::kKanjiRecordSize)
            return false;
        char recorded[fr::kKanjiNameSize + 1];
        if (fr::parseKanjiRecord(bytes.data(), bytes.size(), recorded, sizeof(recorded)))
            return name == recorded; // a placeholder font must carry its own name
        return true;
    };
    std::vector<std::pair<std::string, uint8_t>> fonts;
    bool japanese;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        int model = m_application.hasRecord ? m_application.deviceType : m_config.model;
        japanese = rawIdentityLocked() >= 60;
        if (model == 11 || model == 12)
            fonts = { { "Kanji_19x19.bin", 'C' } };
        else
            fonts = { { "Kanji_11x12.bin", 'A' }, { "Kanji_18x18.bin", 'B' } };
    }
    for (const auto& [name, answer] : fonts) {
        if (!nap(m_timings.fontProgram))
            return;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_present || m_epoch != epoch)
            return;
        if (!japanese || !fontReady(name)) {
            sendFrameLocked({ 'D' });
            return;
        }
        sendFrameLocked({ answer });
    }
}

} // namespace devsim
