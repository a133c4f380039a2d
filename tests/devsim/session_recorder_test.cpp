// The simulator's own session recording (tarvel-devsim --record): what its clients did, as the
// reader of recordings takes it, in the clients' terms and without the bus's greeting or the
// simulator's control ops.

#include "session_recorder.h"
#include "sim_fixture.h"

#include "platform/recording/recording.h"
#include "platform/vbus/backends.h"

#include <filesystem>
#include <fstream>
#include <map>

namespace fs = std::filesystem;
using platform::recording::Recording;
using platform::recording::RecordingLine;

namespace {

class SessionRecorderTest : public simtest::SimTest {
protected:
    SessionRecorderTest()
    {
        char pattern[] = "/tmp/devsim-record-test-XXXXXX";
        m_dir = ::mkdtemp(pattern);
        m_file = m_dir + "/session.jsonl";
    }
    ~SessionRecorderTest() override
    {
        if (m_sim)
            m_sim->stop();
        m_recorder.close();
        fs::remove_all(m_dir);
    }

    // The simulator on TCP with a token, its drive under m_dir named as a Windows client would.
    std::string start()
    {
        std::string windows = "Z:" + m_dir + "/";
        for (char& c : windows)
            if (c == '/')
                c = '\\';
        m_clientRoot = windows + "drive\\";
        devsim::RootMapping mapping;
        std::string error;
        EXPECT_TRUE(devsim::parseRootMapping(m_dir + "/=" + windows, mapping, error)) << error;
        EXPECT_TRUE(m_recorder.open(m_file, false, { "tarvel-devsim", "linux" }, error)) << error;
        m_recorder.setRootMap({ mapping });
        devsim::DeviceConfig config;
        config.driveDir = m_dir + "/drive";
        m_sim = std::make_unique<devsim::Simulator>(config);
        m_sim->setRootMap({ mapping });
        m_sim->setRecorder(&m_recorder);
        platform::vbus::BusAddress address;
        address.kind = platform::vbus::BusAddress::Kind::Tcp;
        address.host = "127.0.0.1";
        address.token = "recorded-token";
        EXPECT_TRUE(m_sim->start(address, &error)) << error;
        return m_sim->socketPath();
    }

    Recording finish()
    {
        m_sim->stop();
        m_recorder.close();
        Recording recording;
        std::string error;
        EXPECT_TRUE(platform::recording::readRecording(m_file, recording, error)) << error;
        return recording;
    }

    std::string m_dir;
    std::string m_file;
    std::string m_clientRoot;
    devsim::SessionRecorder m_recorder;
};

std::string opOf(const RecordingLine& line)
{
    return line.request["op"].asString();
}

} // namespace

TEST_F(SessionRecorderTest, TheClientsTrafficIsWrittenInTheirTermsWithoutGreetingsOrControlOps)
{
    const std::string address = start();
    platform::vbus::Bus bus(address);
    std::vector<platform::VolumeInfo> volumes;
    ASSERT_TRUE(bus.volumes.mountedVolumes(volumes));
    ASSERT_EQ(volumes.size(), 1u);
    std::mutex mutex;
    std::condition_variable changed;
    int eventCount = 0;
    ASSERT_TRUE(bus.events.start([&](const platform::DeviceEvent&) {
        std::lock_guard<std::mutex> lock(mutex);
        ++eventCount;
        changed.notify_all();
    }));
    platform::HidDevice* hid = bus.hid.open(0x2B29, 0x55);
    ASSERT_NE(hid, nullptr);
    const simtest::Bytes report = simtest::hostReport(simtest::commandFrame(0x06));
    ASSERT_EQ(bus.hid.write(hid, report.data(), report.size(), 1000), 65);
    uint8_t buffer[64] = {};
    ASSERT_EQ(bus.hid.read(hid, buffer, sizeof buffer, 2000), 64);
    bus.hid.close(hid);
    // A control op of the simulator's: its effect (the device leaving) is recorded as the
    // events the client saw, the op itself is not.
    platform::vbus::BusClient control;
    ASSERT_TRUE(control.open(address, "test")) << control.error();
    Json::Value unplug(Json::objectValue);
    unplug["op"] = "sim.unplug";
    Json::Value answer;
    ASSERT_TRUE(control.call(unplug, answer));
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return eventCount >= 2; }));
    }
    bus.events.stop();
    const Recording recording = finish();

    EXPECT_EQ(recording.header["program"], "tarvel-devsim");
    EXPECT_EQ(recording.header["platform"], "linux");
    std::map<std::string, int> ops;
    std::map<int64_t, size_t> subscribedAt; // conn → index of its subscribe line
    size_t driveAt = recording.lines.size();
    std::vector<std::string> eventsSeen;
    for (size_t i = 0; i < recording.lines.size(); ++i) {
        const RecordingLine& line = recording.lines[i];
        if (line.kind == RecordingLine::Kind::Exchange) {
            ++ops[opOf(line)];
            EXPECT_FALSE(line.request.isMember("id")) << line.number;
            EXPECT_FALSE(line.response.isMember("id")) << line.number;
            EXPECT_FALSE(line.request.isMember("token")) << line.number;
            if (opOf(line) == "subscribe")
                subscribedAt[line.conn] = i;
            if (opOf(line) == "list") {
                for (const Json::Value& volume : line.response["volumes"])
                    EXPECT_EQ(volume["root"], m_clientRoot);
                EXPECT_LT(driveAt, i) << "the drive is described before the listing that shows it";
            }
            if (opOf(line) == "write") {
                EXPECT_EQ(line.request["data"], platform::vbus::hexEncode(report.data(), report.size()));
                EXPECT_EQ(line.response["written"], 65);
            }
        } else if (line.kind == RecordingLine::Kind::Event) {
            ASSERT_TRUE(subscribedAt.count(line.conn)) << "event before its subscription, line " << line.number;
            eventsSeen.push_back(line.event["event"].asString() + " " + line.event["root"].asString());
        } else if (driveAt == recording.lines.size()) {
            driveAt = i;
            EXPECT_EQ(line.root, m_clientRoot);
            // Read where the simulator keeps the drive: every file there, with its size.
            size_t files = 0;
            for (const Json::Value& file : line.files) {
                const fs::path onDisk = fs::path(m_dir) / "drive" / file["path"].asString();
                ASSERT_TRUE(fs::is_regular_file(onDisk)) << onDisk;
                EXPECT_EQ(file["size"].asUInt64(), fs::file_size(onDisk));
                EXPECT_EQ(file["sha256"].asString().size(), 64u);
                ++files;
            }
            EXPECT_GT(files, 0u);
        }
    }
    EXPECT_EQ(ops.count("hello"), 0u);
    for (const auto& [op, count] : ops)
        EXPECT_NE(op.rfind("sim.", 0), 0u) << op;
    EXPECT_EQ(ops["open"], 1);
    EXPECT_EQ(ops["write"], 1);
    EXPECT_EQ(ops["close"], 1);
    EXPECT_GE(ops["read"], 1);
    EXPECT_EQ(ops["subscribe"], 1);
    EXPECT_LT(driveAt, recording.lines.size()) << "no drive described";
    EXPECT_EQ(eventsSeen, (std::vector<std::string> { "volume_removal " + m_clientRoot, "nodes_changed " }));
}

TEST_F(SessionRecorderTest, AnExistingFileIsKeptUnlessOverwriteIsAsked)
{
    {
        std::ofstream(m_file) << "the rider's notes\n";
    }
    std::string error;
    devsim::SessionRecorder recorder;
    EXPECT_FALSE(recorder.open(m_file, false, { "tarvel-devsim", "linux" }, error));
    EXPECT_FALSE(error.empty());
    std::ifstream kept(m_file);
    std::string text((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "the rider's notes\n");
    ASSERT_TRUE(recorder.open(m_file, true, { "tarvel-devsim", "linux" }, error)) << error;
    recorder.close();
    Recording recording;
    EXPECT_TRUE(platform::recording::readRecording(m_file, recording, error)) << error;
    EXPECT_TRUE(recording.lines.empty());
}
