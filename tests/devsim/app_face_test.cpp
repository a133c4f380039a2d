// The application face: every command round trip in hand-built frames, and the jobs that
// read the drive.

#include "sim_fixture.h"

#include "crc/app_crc.h"

#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;
using namespace simtest;

namespace {

void writeFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Bytes nordicImage(const std::string& version, size_t length)
{
    Bytes image(length, 0x5A);
    std::memcpy(image.data(), "TRVLNRF1", 8);
    std::fill(image.begin() + 8, image.begin() + 32, 0);
    std::memcpy(image.data() + 8, version.data(), version.size());
    return image;
}

Bytes kanjiFont(const std::string& name)
{
    Bytes font(4096, 0x33);
    std::memcpy(font.data(), "TRVLKNJ1", 8);
    std::fill(font.begin() + 8, font.begin() + 24, 0);
    std::memcpy(font.data() + 8, name.data(), name.size());
    return font;
}

bool volumeStep(Client& client, const std::string& root, const char* step)
{
    Json::Value request(Json::objectValue);
    request["op"] = "volume";
    request["root"] = root;
    request["step"] = step;
    return client.call(request)["ok"].asBool();
}

void ejectDrive(Client& client, const std::string& root)
{
    for (const char* step : { "lock", "dismount", "allow_removal", "eject" })
        ASSERT_TRUE(volumeStep(client, root, step)) << step;
}

// Reads reports until one holds a frame whose body satisfies done, collecting the texts.
std::vector<Bytes> readUntil(
    Client& client, int handle, const std::function<bool(const Bytes&)>& done, int maxReports = 5000)
{
    std::vector<Bytes> bodies;
    for (int i = 0; i < maxReports; ++i) {
        auto report = client.read(handle, 2000);
        if (!report || report->empty())
            break;
        auto body = frameBody(*report);
        if (!body)
            continue;
        bodies.push_back(*body);
        if (done(*body))
            break;
    }
    return bodies;
}

} // namespace

class AppFaceTest : public SimTest { };

TEST_F(AppFaceTest, DeviceInfoEchoesIdentityAndVersionInTheWorkedFrame)
{
    devsim::DeviceConfig config;
    config.model = 11;
    config.major = 7;
    config.minor = 63;
    startSim(config);
    Client client(m_path);
    int handle = openApp(client);
    ASSERT_GE(handle, 0);
    // 00 01 06 C6 60 04 and 0xFF fill, exactly as the host sends READ_DEVICE_INFO.
    Bytes report = hostReport({ 0x01, 0x06, 0xC6, 0x60, 0x04 });
    EXPECT_EQ(client.write(handle, report)["written"].asInt(), 65);
    auto reply = client.read(handle);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 64u);
    // Identity 0x0B, 7.63, two bytes of its own; the 0x01 of byte 4 is escaped.
    Bytes expected { 0x01, 0x06, 0x0B, 0x07, 0x3F, 0x10, 0x01, 0x00 };
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), reply->begin()));
    auto body = frameBody(*reply);
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, (Bytes { 0x06, 0x0B, 0x07, 0x3F, 0x01, 0x00 }));
}

TEST_F(AppFaceTest, JapaneseBuildReportsIdentityPlusSixty)
{
    devsim::DeviceConfig config;
    config.model = 11;
    config.japanese = true;
    startSim(config);
    Client client(m_path);
    auto body = readDeviceInfo(client, openApp(client));
    ASSERT_TRUE(body);
    EXPECT_EQ((*body)[1], 71);
}

TEST_F(AppFaceTest, WirelessVersionTextHoldsVersionAndNothingAfterItsZero)
{
    devsim::DeviceConfig config;
    config.model = 5;
    config.nrfVersion = "1.10.31.39";
    startSim(config);
    Client client(m_path);
    int handle = openApp(client);
    client.write(handle, hostReport({ 0x01, 0x3A, 0x19, 0x97, 0x04 }));
    auto report = client.read(handle);
    ASSERT_TRUE(report);
    // The host reads the raw report as text up to its first zero: nothing of the CRC may
    // come before that zero, or it would add digits or full stops to the version.
    std::string text(reinterpret_cast<const char*>(report->data()));
    EXPECT_NE(text.find("VERSION"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 10), "1.10.31.39");
    EXPECT_EQ(text.find_first_of("\x01\x0a"), 0u); // only the frame's own SOH and code before it
}

TEST_F(AppFaceTest, GarbageIsIgnoredAndTheDeviceStillAnswers)
{
    startSim();
    Client client(m_path);
    int handle = openApp(client);
    // A wrong CRC, a frame without EOT, no SOH at all, and an unknown code.
    client.write(handle, hostReport({ 0x01, 0x06, 0xC6, 0x61, 0x04 }));
    client.write(handle, hostReport({ 0x01, 0x06, 0xC6, 0x60 }));
    client.write(handle, Bytes(65, 0x00));
    client.write(handle, hostReport(commandFrame(0x77)));
    auto nothing = client.read(handle, 0);
    ASSERT_TRUE(nothing);
    EXPECT_TRUE(nothing->empty());
    // Junk before the SOH is skipped, as in any report.
    Bytes junk { 0x55, 0x66 };
    Bytes frame = commandFrame(0x06);
    junk.insert(junk.end(), frame.begin(), frame.end());
    client.write(handle, hostReport(junk));
    auto reply = client.read(handle);
    ASSERT_TRUE(reply && frameBody(*reply));
    EXPECT_EQ((*frameBody(*reply))[0], 0x06);
}

TEST_F(AppFaceTest, UnsolicitedTextLinesArriveAsTextFrames)
{
    startSim();
    Client client(m_path);
    int handle = openApp(client);
    Json::Value request(Json::objectValue);
    request["op"] = "sim.text";
    request["text"] = "GPS fix acquired";
    EXPECT_TRUE(client.call(request)["ok"].asBool());
    auto report = client.read(handle);
    ASSERT_TRUE(report && frameBody(*report));
    EXPECT_EQ((*frameBody(*report))[0], 0x0A);
    EXPECT_EQ(frameText(*frameBody(*report)), "GPS fix acquired");
}

TEST_F(AppFaceTest, JumpToBootloaderLeavesAndReturnsAsTheFlashBootloaderOfItsType)
{
    devsim::DeviceConfig config;
    config.model = 13;
    config.japanese = true;
    startSim(config);
    EventRecorder events(m_path);
    Client client(m_path);
    int handle = openApp(client);
    const std::string root = device().driveRoot();
    client.write(handle, hostReport({ 0x01, 0x09, 0x29, 0x91, 0x04 }));
    ASSERT_TRUE(idle());
    EXPECT_EQ(events.waitFor(3),
        (std::vector<std::string> { "volume_removal " + root, "nodes_changed", "nodes_changed" }));
    // The old handle is dead; the bus now lists the bootloader (73 = 13 + 60) and no volume.
    EXPECT_FALSE(client.read(handle, 0));
    EXPECT_EQ(client.error, "device disconnected");
    Json::Value list = client.op("list");
    ASSERT_EQ(list["usb"].size(), 1u);
    EXPECT_EQ(list["usb"][0]["hwid"].asString(), "USB\\VID_2B29&PID_0049&REV_0100");
    EXPECT_EQ(list["volumes"].size(), 0u);
    EXPECT_GE(client.open(0x2B29, 73), 0);
    EXPECT_LT(client.open(0x2B29, 0x55), 0);
}

TEST_F(AppFaceTest, FactoryResetRestartsWithADriveWithoutUserData)
{
    startSim();
    const std::string root = device().driveRoot();
    ASSERT_TRUE(fs::exists(root + "Tarvel/Settings.fit"));
    EventRecorder events(m_path);
    Client client(m_path);
    client.write(openApp(client), hostReport(commandFrame(0x0D)));
    ASSERT_TRUE(idle());
    EXPECT_EQ(events.waitFor(4),
        (std::vector<std::string> {
            "volume_removal " + root, "nodes_changed", "nodes_changed", "volume_arrival " + root }));
    EXPECT_TRUE(fs::is_directory(root + "Tarvel"));
    EXPECT_TRUE(fs::is_empty(root + "Tarvel"));
    EXPECT_EQ(client.op("list")["volumes"].size(), 1u);
}

TEST_F(AppFaceTest, EraseKeysSendsTextsThenRestarts)
{
    startSim();
    EventRecorder events(m_path);
    Client client(m_path);
    int handle = openApp(client);
    client.write(handle, hostReport(commandFrame(0x07)));
    std::vector<std::string> texts;
    for (;;) {
        auto report = client.read(handle, 2000);
        if (!report || report->empty())
            break;
        texts.push_back(reinterpret_cast<const char*>(report->data()) + 2);
    }
    EXPECT_GE(texts.size(), 2u);
    EXPECT_EQ(client.error, "device disconnected"); // the listening ends when the device goes
    ASSERT_TRUE(idle());
    EXPECT_EQ(events.waitFor(4).size(), 4u);
}

class NordicUpdateTest : public SimTest {
protected:
    void stage(const Bytes& image, bool withDat)
    {
        const std::string root = device().driveRoot();
        writeFile(root + "nrf_update.bin", image);
        if (withDat)
            writeFile(root + "nrf_update.dat", Bytes { 'T', 'R', 'V', 'L', 'D', 'A', 'T', '1', 0, 1, 2 });
    }
    Bytes updateCommand(const Bytes& image, int crcDelta = 0, int lengthDelta = 0)
    {
        uint16_t crc = uint16_t(crc16CcittFalse(image.data(), image.size()) + crcDelta);
        return hostReport(argumentFrame(0x0E, crc, uint32_t(image.size() + lengthDelta)));
    }
    std::string failureOf(Client& client, int handle)
    {
        auto report = client.read(handle, 2000);
        if (!report || report->size() < 2)
            return "";
        return std::string(reinterpret_cast<const char*>(report->data()) + 1);
    }
};

TEST_F(NordicUpdateTest, EjectedDriveWithMatchingFilesTicksEndsAndTakesTheNewVersion)
{
    devsim::DeviceConfig config;
    config.model = 11;
    config.nrfVersion = "1.10.31.39";
    startSim(config);
    Bytes image = nordicImage("2.13.33.26", 80000);
    stage(image, true);
    Client client(m_path);
    EventRecorder events(m_path);
    ejectDrive(client, device().driveRoot());
    int handle = openApp(client);
    client.write(handle, updateCommand(image));
    int ticks = 0;
    auto bodies = readUntil(client, handle, [&](const Bytes& body) {
        if (body.size() >= 2 && body[0] == 0x0A && body[1] == '*')
            ++ticks;
        return frameText(body) == "Succus!!";
    });
    ASSERT_FALSE(bodies.empty());
    EXPECT_EQ(frameText(bodies.back()), "Succus!!");
    EXPECT_GT(ticks, 1225); // enough for every progress step the host shows
    EXPECT_LT(ticks, 5000);
    ASSERT_TRUE(idle());
    // The restart brings the drive back; the new version is reported from then on.
    auto seen = events.waitFor(5);
    EXPECT_EQ(seen.back(), "volume_arrival " + device().driveRoot());
    handle = openApp(client);
    client.write(handle, hostReport(commandFrame(0x3A)));
    auto report = client.read(handle);
    ASSERT_TRUE(report);
    EXPECT_NE(
        std::string(reinterpret_cast<const char*>(report->data())).find("2.13.33.26"), std::string::npos);
}

// The ticks come at once here (time scale 0), so a host reading one report every 3 ms is
// seconds behind when the device restarts: the restart waits while it reads on, and only a
// host that stopped reading is left behind.
TEST_F(NordicUpdateTest, TheRestartWaitsForAHostThatReadsSlowlyButNotForOneThatStopped)
{
    devsim::DeviceConfig config;
    config.model = 11;
    startSim(config);
    Bytes image = nordicImage("2.13.33.26", 80000);
    for (bool readsOn : { true, false }) {
        stage(image, true);
        Client client(m_path);
        ejectDrive(client, device().driveRoot());
        int handle = openApp(client);
        client.write(handle, updateCommand(image));
        const auto started = std::chrono::steady_clock::now();
        int read = 0;
        auto bodies = readUntil(client, handle, [&](const Bytes& body) {
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            return frameText(body) == "Succus!!" || (!readsOn && ++read == 100);
        });
        ASSERT_FALSE(bodies.empty());
        if (readsOn) {
            EXPECT_EQ(frameText(bodies.back()), "Succus!!");
            EXPECT_GT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500));
        } else {
            EXPECT_EQ(bodies.size(), 100u);
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));
            EXPECT_FALSE(client.read(handle, 0)); // gone about a second after it stopped reading
            EXPECT_EQ(client.error, "device disconnected");
        }
        ASSERT_TRUE(idle());
    }
}

TEST_F(NordicUpdateTest, MismatchesAndAMountedDriveAreReportedWithPercent)
{
    devsim::DeviceConfig config;
    config.model = 11;
    startSim(config);
    Bytes image = nordicImage("2.13.33.26", 5000);
    stage(image, true);
    Client client(m_path);
    int handle = openApp(client);
    client.write(handle, updateCommand(image)); // the drive is still mounted
    EXPECT_EQ(failureOf(client, handle).substr(0, 1), "%");
    ASSERT_TRUE(idle());

    ejectDrive(client, device().driveRoot());
    handle = openApp(client);
    client.write(handle, updateCommand(image, 1)); // wrong CRC
    EXPECT_EQ(failureOf(client, handle), "%CRC ERR");
    ASSERT_TRUE(idle());

    ejectDrive(client, device().driveRoot());
    handle = openApp(client);
    client.write(handle, updateCommand(image, 0, -1)); // wrong length
    EXPECT_EQ(failureOf(client, handle), "%CRC ERR");
    ASSERT_TRUE(idle());

    fs::remove(device().driveRoot() + "nrf_update.dat"); // types 11 to 16 need the settings too
    ejectDrive(client, device().driveRoot());
    handle = openApp(client);
    client.write(handle, updateCommand(image));
    EXPECT_EQ(failureOf(client, handle), "%NO DAT");
}

TEST_F(NordicUpdateTest, OlderModelsNeedOnlyTheImageAndEndWithTheirOwnText)
{
    devsim::DeviceConfig config;
    config.model = 5;
    config.nordicEndText = "file clo";
    startSim(config);
    Bytes image = nordicImage("1.10.31.40", 3000);
    stage(image, false);
    Client client(m_path);
    ejectDrive(client, device().driveRoot());
    int handle = openApp(client);
    client.write(handle, updateCommand(image));
    auto bodies = readUntil(client, handle, [](const Bytes& body) { return frameText(body) == "file clo"; });
    ASSERT_FALSE(bodies.empty());
    EXPECT_EQ(frameText(bodies.back()), "file clo");
}

TEST_F(AppFaceTest, KanjiAnswersFollowTheFontsOnTheDrive)
{
    struct Case {
        int model;
        bool japanese;
        std::vector<std::string> fonts;
        std::string answers;
    };
    const std::vector<Case> cases = {
        { 13, true, { "Kanji_11x12.bin", "Kanji_18x18.bin" }, "AB" },
        { 13, true, { "Kanji_18x18.bin" }, "D" },
        { 11, true, { "Kanji_19x19.bin" }, "C" },
        { 11, true, {}, "D" },
        { 13, false, { "Kanji_11x12.bin", "Kanji_18x18.bin" }, "D" },
    };
    for (const auto& c : cases) {
        devsim::DeviceConfig config;
        config.model = c.model;
        config.japanese = c.japanese;
        startSim(config);
        for (const auto& name : c.fonts)
            writeFile(device().driveRoot() + name, kanjiFont(name));
        Client client(m_path);
        int handle = openApp(client);
        client.write(handle, hostReport(commandFrame(0x40)));
        std::string answers;
        while (answers.size() < c.answers.size()) {
            auto report = client.read(handle, 2000);
            if (!report || report->size() < 2 || (*report)[0] != 0x01)
                break;
            answers.push_back(char((*report)[1])); // judged on byte 1 of the raw report
        }
        EXPECT_EQ(answers, c.answers) << "model " << c.model;
        m_sim->stop();
    }
}

TEST_F(AppFaceTest, RestartsPauseThroughTheTimeService)
{
    static std::mutex mutex;
    static std::vector<int64_t> pauses;
    pauses.clear();
    platform::setPauseHook([](platform::Milliseconds ms) {
        std::lock_guard<std::mutex> lock(mutex);
        pauses.push_back(ms.count());
    });
    startSim();
    Client client(m_path);
    client.write(openApp(client), hostReport(commandFrame(0x09)));
    ASSERT_TRUE(idle());
    std::lock_guard<std::mutex> lock(mutex);
    int64_t total = 0;
    for (auto p : pauses)
        total += p;
    // Before leaving and while away: about two seconds of realistic restart, all scalable.
    EXPECT_GE(total, 2000);
    EXPECT_LE(total, 5000);
}
