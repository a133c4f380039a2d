// The replay of a session recording as a device, through a bus client: host threads that open
// the device in another order than the recorded ones, a host that lists more often, recorded
// handles that were only valid on their own connection, and a host that stops asking.

#include "replay_server.h"
#include "sim_fixture.h"

#include "platform/recording/recording.h"

#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const char* const kApp = R"("usb":[{"hwid":"USB\\VID_2B29&PID_0055&REV_0100","pid":85,"vid":11049}])";
const std::string kInfo = "000106aa"; // a scan's device-information question
const std::string kRadio = "00013abb"; // a scan's wireless-version question

class ReplayServerTest : public ::testing::Test {
protected:
    ~ReplayServerTest() override
    {
        if (m_server)
            m_server->stop();
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    // Starts a replay of the lines (after a header), numbered from line 2.
    void start(const std::vector<std::string>& lines, int stallMs = 5000, std::vector<devsim::Fault> faults = {})
    {
        std::string text = R"({"recording":"tarvel-vbus","version":1,"program":"test","platform":"linux","started":"2026-12-11T00:00:00Z"})"
                           "\n";
        for (const std::string& line : lines)
            text += line + "\n";
        platform::recording::Recording recording;
        std::string error;
        ASSERT_TRUE(platform::recording::parseRecording(text, recording, error)) << error;
        char pattern[] = "/tmp/devsim-replay-test-XXXXXX";
        m_dir = ::mkdtemp(pattern);
        devsim::ReplayOptions options;
        options.timeScale = 0;
        options.graceMs = 500;
        options.stallMs = stallMs;
        options.driveBase = m_dir;
        options.faults = std::move(faults);
        m_server = std::make_unique<devsim::ReplayServer>(std::move(recording), options);
        platform::vbus::BusAddress address;
        address.path = m_dir + "/bus.sock";
        ASSERT_TRUE(m_server->start(address, error)) << error;
        m_path = address.path;
    }

    static std::string exchange(int t, int conn, const std::string& request, const std::string& response)
    {
        std::ostringstream line;
        line << R"({"t_ms":)" << t << R"(,"conn":)" << conn << R"(,"request":)" << request << R"(,"response":)"
             << response << "}";
        return line.str();
    }
    static std::string open(int t, int conn, int handle)
    {
        return exchange(t, conn, R"({"op":"open","vid":11049,"pid":85})",
            R"({"ok":true,"handle":)" + std::to_string(handle) + "}");
    }
    static std::string write(int t, int conn, int handle, const std::string& data)
    {
        return exchange(t, conn,
            R"({"op":"write","handle":)" + std::to_string(handle) + R"(,"data":")" + data + R"(","timeout_ms":-1})",
            R"({"ok":true,"written":65})");
    }
    static std::string read(int t, int conn, int handle, const std::string& data)
    {
        return exchange(t, conn, R"({"op":"read","handle":)" + std::to_string(handle) + R"(,"max":64,"timeout_ms":1000})",
            R"({"ok":true,"data":")" + data + R"("})");
    }
    static std::string close(int t, int conn, int handle)
    {
        return exchange(t, conn, R"({"op":"close","handle":)" + std::to_string(handle) + "}", R"({"ok":true})");
    }
    static std::string list(int t, const std::string& usb)
    {
        return exchange(t, 1, R"({"op":"list"})", R"({"ok":true,)" + usb + "}");
    }

    static Json::Value writeRequest(int handle, const std::string& data)
    {
        Json::Value request(Json::objectValue);
        request["op"] = "write";
        request["handle"] = handle;
        request["data"] = data;
        request["timeout_ms"] = -1;
        return request;
    }
    static std::string readData(simtest::Client& client, int handle)
    {
        Json::Value request(Json::objectValue);
        request["op"] = "read";
        request["handle"] = handle;
        request["max"] = 64;
        request["timeout_ms"] = 1000;
        const Json::Value response = client.call(request, 1000);
        return response["ok"].asBool() ? response["data"].asString() : "error: " + response["error"].asString();
    }
    static int usbCount(simtest::Client& client) { return int(client.op("list")["usb"].size()); }

    bool ended() { return m_server->waitForEnd(nullptr); }

    std::string m_dir;
    std::string m_path;
    std::unique_ptr<devsim::ReplayServer> m_server;
};

// Two scan threads opened the device one after the other and asked their questions; the host
// opens in the same order but the second thread writes first. Each handle gets its own
// connection's answers, and the replay ends complete.
TEST_F(ReplayServerTest, HandlesOpenedAheadOfTheirWritesTakeTheConnectionTheyWriteFor)
{
    start({ list(1, kApp), open(2, 3, 3), open(2, 4, 4), write(3, 3, 3, kInfo), write(3, 4, 4, kRadio),
        read(4, 3, 3, "0106"), read(4, 4, 4, "013a"), close(5, 3, 3), close(5, 4, 4) });
    simtest::Client listing(m_path), first(m_path), second(m_path);
    ASSERT_EQ(usbCount(listing), 1);
    const int a = first.open(0x2B29, 0x55);
    const int b = second.open(0x2B29, 0x55);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_NE(a, b);
    std::thread later([&] {
        // The first thread comes a moment after the second, within the wait for it.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(first.call(writeRequest(a, kInfo), 1000)["ok"].asBool());
        EXPECT_EQ(readData(first, a), "0106");
    });
    EXPECT_TRUE(second.call(writeRequest(b, kRadio), 1000)["ok"].asBool());
    EXPECT_EQ(readData(second, b), "013a");
    later.join();
    Json::Value closing(Json::objectValue);
    closing["op"] = "close";
    closing["handle"] = a;
    EXPECT_TRUE(first.call(closing)["ok"].asBool());
    closing["handle"] = b;
    EXPECT_TRUE(second.call(closing)["ok"].asBool());
}

// Two recorded scan threads polled side by side; this host's scan asks only the second
// question. Its write and read are served at once, out of turn, not after a wait for the
// recorded first thread, and the poll it never made is no exchange it missed.
TEST_F(ReplayServerTest, APollIsServedOutOfTurnWhenTheRecordedOneBeforeItNeverComes)
{
    start({ list(1, kApp), open(2, 3, 3), open(2, 4, 4), write(3, 3, 3, kInfo), write(3, 4, 4, kRadio),
        read(4, 3, 3, "0106"), read(4, 4, 4, "013a"), close(5, 3, 3), close(5, 4, 4) });
    simtest::Client client(m_path);
    const int handle = client.open(0x2B29, 0x55);
    ASSERT_GE(handle, 0);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(client.call(writeRequest(handle, kRadio), 2000)["ok"].asBool());
    EXPECT_EQ(readData(client, handle), "013a");
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(400));
    Json::Value closing(Json::objectValue);
    closing["op"] = "close";
    closing["handle"] = handle;
    EXPECT_TRUE(client.call(closing)["ok"].asBool());
}

// The host lists as often as it likes: every listing shows the recorded state at that point,
// before and after the device left; a poll more than the recorded ones is answered from what
// the device said then, without moving the sequence.
TEST_F(ReplayServerTest, ListingsAndExtraPollsAreAnsweredFromTheRecordedState)
{
    start({ list(1, kApp), open(2, 3, 3), write(3, 3, 3, kInfo), read(4, 3, 3, "0106"), close(5, 3, 3),
        open(6, 4, 4), write(7, 4, 4, kRadio), read(8, 4, 4, "013a"), close(9, 4, 4),
        R"({"t_ms":10,"conn":2,"event":{"event":"nodes_changed"}})", list(11, R"("usb":[])") });
    simtest::Client client(m_path);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(usbCount(client), 1) << "listing " << i;
    Json::Value closing(Json::objectValue);
    closing["op"] = "close";
    // The recorded poll, the same poll once more (the recorded host did not ask it twice), then
    // the recorded second poll.
    for (const auto& [question, answer] : std::vector<std::pair<std::string, std::string>> {
             { kInfo, "0106" }, { kInfo, "0106" }, { kRadio, "013a" } }) {
        EXPECT_EQ(usbCount(client), 1);
        const int handle = client.open(0x2B29, 0x55);
        ASSERT_GE(handle, 0) << question;
        EXPECT_TRUE(client.call(writeRequest(handle, question), 1000)["ok"].asBool()) << question;
        EXPECT_EQ(readData(client, handle), answer);
        closing["handle"] = handle;
        EXPECT_TRUE(client.call(closing)["ok"].asBool());
    }
    // The rest of the recording comes by itself: the device is then gone, however often asked.
    for (int i = 0; i < 200 && usbCount(client) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(usbCount(client), 0);
    EXPECT_EQ(usbCount(client), 0);
    EXPECT_LT(client.open(0x2B29, 0x55), 0);
}

// A recording made against a device whose handles count per connection: two connections to
// the bootloader, both handle 1, their exchanges interleaved. The host's handles are told
// apart: a read on the second waits for the second connection's answer, even while the first
// connection's read is the next line.
TEST_F(ReplayServerTest, RecordedHandlesOfOtherConnectionsAreToldApart)
{
    const char* const bootloader = R"("usb":[{"hwid":"USB\\VID_2B29&PID_000D&REV_0100","pid":13,"vid":11049}])";
    const std::string openBoot = R"({"op":"open","vid":11049,"pid":13})";
    start({ list(1, bootloader), exchange(2, 5, openBoot, R"({"ok":true,"handle":1})"),
        exchange(2, 6, openBoot, R"({"ok":true,"handle":1})"), write(3, 5, 1, "0100aa"), write(3, 6, 1, "0100bb"),
        read(4, 5, 1, "03aa"), read(4, 6, 1, "03bb"), close(5, 5, 1), close(5, 6, 1) });
    simtest::Client first(m_path), second(m_path);
    const int a = first.open(0x2B29, 13);
    const int b = second.open(0x2B29, 13);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_NE(a, b) << "the replay gives every host handle its own number";
    EXPECT_TRUE(first.call(writeRequest(a, "0100aa"), 1000)["ok"].asBool());
    EXPECT_TRUE(second.call(writeRequest(b, "0100bb"), 1000)["ok"].asBool());
    std::string secondRead;
    std::thread reader([&] { secondRead = readData(second, b); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(readData(first, a), "03aa");
    reader.join();
    EXPECT_EQ(secondRead, "03bb");
    Json::Value closing(Json::objectValue);
    closing["op"] = "close";
    closing["handle"] = a;
    EXPECT_TRUE(first.call(closing)["ok"].asBool());
    closing["handle"] = b;
    EXPECT_TRUE(second.call(closing)["ok"].asBool());
}

TEST_F(ReplayServerTest, AWriteOnAClosedHostHandleIsAMismatch)
{
    start({ list(1, kApp), open(2, 3, 1), write(3, 3, 1, "000112cc"), close(4, 3, 1), open(5, 4, 1),
        write(6, 4, 1, "000113dd"), close(7, 4, 1) });
    simtest::Client client(m_path);
    const int a = client.open(0x2B29, 0x55);
    ASSERT_GE(a, 0);
    EXPECT_TRUE(client.call(writeRequest(a, "000112cc"), 1000)["ok"].asBool());
    Json::Value closing(Json::objectValue);
    closing["op"] = "close";
    closing["handle"] = a;
    EXPECT_TRUE(client.call(closing)["ok"].asBool());
    const int b = client.open(0x2B29, 0x55);
    ASSERT_GE(b, 0);
    // The second connection's write, sent on the first handle: not what that handle recorded.
    const Json::Value response = client.call(writeRequest(a, "000113dd"), 2000);
    EXPECT_FALSE(response["ok"].asBool());
    EXPECT_FALSE(ended());
    EXPECT_NE(m_server->report().find("line"), std::string::npos) << m_server->report();
}

// A host that is there but sends nothing of what is due (it waits for an event the recording
// lacks) ends the replay as failed, and the device leaves.
TEST_F(ReplayServerTest, AHostThatStopsAskingEndsTheReplayAsFailed)
{
    start({ list(1, kApp), open(2, 3, 1), write(3, 3, 1, "000112cc"), close(4, 3, 1) }, 300);
    simtest::Client client(m_path);
    EXPECT_EQ(usbCount(client), 1);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_FALSE(ended());
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(250));
    EXPECT_NE(m_server->report().find("stopped asking"), std::string::npos) << m_server->report();
    EXPECT_EQ(usbCount(client), 0);
}

// Faults laid over a replay bend the recorded answers the way the simulator's bend a device's.
TEST_F(ReplayServerTest, FaultsBendTheRecordedAnswers)
{
    const std::string generic = "03000c00a000000200000000020000000000000000000000000000000000000000000000";
    const char* const bootloader = R"("usb":[{"hwid":"USB\\VID_2B29&PID_000D&REV_0100","pid":13,"vid":11049}])";
    devsim::Fault drop, repeat, status;
    drop.kind = devsim::FaultKind::DropReport; // the first report
    repeat.kind = devsim::FaultKind::RepeatReport;
    repeat.skip = 1; // the second
    status.kind = devsim::FaultKind::CommandStatus;
    status.commandTag = 2;
    status.status = 0x1234;
    start({ list(1, bootloader), exchange(2, 5, R"({"op":"open","vid":11049,"pid":13})", R"({"ok":true,"handle":1})"),
              write(3, 5, 1, "0100aa"), read(4, 5, 1, "03aa"), write(5, 5, 1, "0100bb"), read(6, 5, 1, "03bb"),
              write(7, 5, 1, "0100cc"), read(8, 5, 1, generic), close(9, 5, 1) },
        5000, { drop, repeat, status });
    simtest::Client client(m_path);
    const int handle = client.open(0x2B29, 13);
    ASSERT_GE(handle, 0);
    EXPECT_TRUE(client.call(writeRequest(handle, "0100aa"), 1000)["ok"].asBool());
    EXPECT_EQ(readData(client, handle), "") << "the first report is lost";
    EXPECT_TRUE(client.call(writeRequest(handle, "0100bb"), 1000)["ok"].asBool());
    EXPECT_EQ(readData(client, handle), "03bb");
    EXPECT_EQ(readData(client, handle), "03bb") << "the second report comes twice";
    EXPECT_TRUE(client.call(writeRequest(handle, "0100cc"), 1000)["ok"].asBool());
    std::string bent = generic;
    bent.replace(16, 8, "34120000");
    EXPECT_EQ(readData(client, handle), bent) << "the erase is answered with the fault's status";
}

TEST_F(ReplayServerTest, AStuckDriveRefusesToLockAndOnlyFaultsOfAnswersAreLaidOverAReplay)
{
    devsim::Fault stuck;
    stuck.kind = devsim::FaultKind::DriveStuck;
    const std::string lock = R"({"op":"volume","root":"/recorded/drive/","step":"lock"})";
    start({ list(1, std::string(kApp) + R"(,"volumes":[{"root":"/recorded/drive/","label":"TARVEL","fs":"FAT32","removable":true}])"),
              exchange(2, 1, lock, R"({"ok":true})") },
        5000, { stuck });
    simtest::Client client(m_path);
    const Json::Value listed = client.op("list");
    ASSERT_EQ(listed["volumes"].size(), 1u);
    Json::Value request(Json::objectValue);
    request["op"] = "volume";
    request["root"] = listed["volumes"][0]["root"];
    request["step"] = "lock";
    const Json::Value response = client.call(request);
    EXPECT_FALSE(response["ok"].asBool());
    EXPECT_TRUE(response["error"].isString());

    EXPECT_TRUE(devsim::replayCanShow(devsim::FaultKind::CorruptCrc));
    EXPECT_TRUE(devsim::replayCanShow(devsim::FaultKind::Silence));
    EXPECT_FALSE(devsim::replayCanShow(devsim::FaultKind::CorruptWrite));
    EXPECT_FALSE(devsim::replayCanShow(devsim::FaultKind::DisconnectInDataPhase));
    EXPECT_FALSE(devsim::replayCanShow(devsim::FaultKind::DriveFull));
}

} // namespace
