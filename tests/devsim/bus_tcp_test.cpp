// The bus on loopback TCP: the real client backends against the real server on 127.0.0.1
// port 0, the token's handshake on every connection, and drive roots in the client's form.

#include "root_map.h"
#include "sim_fixture.h"

#include "platform/vbus/backends.h"

#include <filesystem>

namespace fs = std::filesystem;
using platform::vbus::BusAddress;
using platform::vbus::BusClient;

namespace {

BusAddress loopback(const std::string& token, const std::string& host = "127.0.0.1")
{
    BusAddress address;
    address.kind = BusAddress::Kind::Tcp;
    address.host = host;
    address.token = token;
    return address;
}

Json::Value request(const std::string& op)
{
    Json::Value r(Json::objectValue);
    r["op"] = op;
    return r;
}

class BusTcpTest : public simtest::SimTest {
protected:
    // The simulator on a TCP port of the system's choosing; its client address.
    std::string startTcp(const std::string& token, devsim::RootMap roots = {}, const std::string& host = "127.0.0.1")
    {
        devsim::DeviceConfig config;
        config.driveDir = m_folder.path() + "/drive";
        m_sim = std::make_unique<devsim::Simulator>(config);
        m_sim->setRootMap(std::move(roots));
        std::string error;
        EXPECT_TRUE(m_sim->start(loopback(token, host), &error)) << error;
        return m_sim->socketPath();
    }
    struct Folder {
        Folder()
        {
            char pattern[] = "/tmp/bus-tcp-test-XXXXXX";
            m_path = ::mkdtemp(pattern);
        }
        ~Folder() { fs::remove_all(m_path); }
        const std::string& path() const { return m_path; }
        std::string m_path;
    } m_folder;
};

} // namespace

TEST_F(BusTcpTest, AConnectionIsServedOnlyAfterAHelloWithTheToken)
{
    const std::string address = startTcp("s3cr3t-t0ken");
    ASSERT_EQ(address.rfind("tcp:127.0.0.1:", 0), 0u) << address;
    ASSERT_EQ(address.substr(address.size() - 13), "/s3cr3t-t0ken");
    BusAddress parsed;
    std::string error;
    ASSERT_TRUE(platform::vbus::parseBusAddress(address, parsed, error));
    EXPECT_NE(parsed.port, 0);
    const std::string noToken = address.substr(0, address.find('/'));

    // Whatever comes first without the token is answered "token required", then the line ends.
    Json::Value wrongHello = request("hello");
    wrongHello["token"] = "s3cr3t-t0keN";
    Json::Value numberToken = request("hello");
    numberToken["token"] = 7;
    for (const Json::Value& first : { request("list"), request("hello"), wrongHello, numberToken, request("sim.unplug") }) {
        BusClient raw;
        ASSERT_TRUE(raw.connect(noToken));
        Json::Value response;
        ASSERT_TRUE(raw.call(first, response)) << platform::vbus::toLine(first);
        EXPECT_EQ(response["ok"], false) << platform::vbus::toLine(first);
        EXPECT_EQ(response["error"], "token required") << platform::vbus::toLine(first);
        EXPECT_FALSE(raw.call(request("list"), response)) << platform::vbus::toLine(first);
        EXPECT_EQ(raw.error(), "bus connection lost");
    }
    EXPECT_TRUE(device().state()["present"].asBool()); // the refused sim.unplug did nothing

    // The client's hello carries the token of its address.
    BusClient client;
    ASSERT_TRUE(client.open(address, "test")) << client.error();
    Json::Value response;
    ASSERT_TRUE(client.call(request("list"), response));
    EXPECT_EQ(response["ok"], true);
    EXPECT_EQ(response["usb"].size(), 1u);
    BusClient without;
    EXPECT_FALSE(without.open(noToken, "test"));
    EXPECT_EQ(without.error(), "the bus at " + noToken + " refused hello: token required");
    EXPECT_FALSE(without.contractBroken());
}

TEST_F(BusTcpTest, EveryServiceRoundTripsOverTcpGreetingWithTheTokenOnEachConnection)
{
    // With a token, any connection without its hello would be refused: each service works only
    // when its own connection (each HID handle's, the listing's, the events') sends it.
    const std::string address = startTcp("0123456789abcdef");
    platform::vbus::Bus bus(address);
    std::vector<std::string> ids;
    ASSERT_TRUE(bus.usb.presentHardwareIds(ids));
    EXPECT_EQ(ids, std::vector<std::string> { "USB\\VID_2B29&PID_0055&REV_0100" });
    std::vector<platform::VolumeInfo> volumes;
    ASSERT_TRUE(bus.volumes.mountedVolumes(volumes));
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].root, device().driveRoot());
    EXPECT_EQ(volumes[0].label, "TARVEL");

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;
    ASSERT_TRUE(bus.events.start([&](const platform::DeviceEvent& e) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(std::to_string(int(e.kind)) + " " + e.root);
        changed.notify_all();
    }));

    for (int handleCount = 0; handleCount < 2; ++handleCount) {
        platform::HidDevice* hid = bus.hid.open(0x2B29, 0x55);
        ASSERT_NE(hid, nullptr) << std::string(bus.hid.lastError(nullptr).begin(), bus.hid.lastError(nullptr).end());
        const simtest::Bytes report = simtest::hostReport(simtest::commandFrame(0x06));
        EXPECT_EQ(bus.hid.write(hid, report.data(), report.size(), 1000), 65);
        uint8_t buffer[64] = {};
        const int got = bus.hid.read(hid, buffer, sizeof buffer, 2000);
        ASSERT_EQ(got, 64);
        auto body = simtest::frameBody(simtest::Bytes(buffer, buffer + got));
        ASSERT_TRUE(body.has_value());
        EXPECT_EQ((*body)[0], 0x06);
        bus.hid.close(hid);
    }

    device().unplug();
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(5), [&] { return events.size() >= 2; });
    }
    bus.events.stop();
    EXPECT_EQ(events, (std::vector<std::string> { "2 " + device().driveRoot(), "0 " }));
}

TEST_F(BusTcpTest, LocalhostAndTheIpv6LoopbackServeToo)
{
    const std::string address = startTcp("tok", {}, "localhost");
    ASSERT_EQ(address.rfind("tcp:localhost:", 0), 0u) << address;
    BusClient client;
    ASSERT_TRUE(client.open(address, "test")) << client.error();
    m_sim->stop();

    devsim::Simulator six(devsim::DeviceConfig {});
    std::string error;
    if (!six.start(loopback("tok", "::1"), &error))
        GTEST_SKIP() << "no IPv6 loopback here: " << error;
    ASSERT_EQ(six.socketPath().rfind("tcp:[::1]:", 0), 0u) << six.socketPath();
    BusClient overSix;
    EXPECT_TRUE(overSix.open(six.socketPath(), "test")) << overSix.error();
    six.stop();
}

TEST_F(BusTcpTest, ARefusedPortOrAnotherKindOfServerIsAClearError)
{
    // A port nobody listens on: the simulator's, after it stopped.
    const std::string address = startTcp("tok");
    m_sim->stop();
    BusClient client;
    EXPECT_FALSE(client.open(address, "test"));
    EXPECT_EQ(client.error().rfind("cannot reach the bus at " + address.substr(0, address.find('/')) + ": ", 0), 0u)
        << client.error();

    // A listener is for loopback addresses only, whatever a caller builds.
    platform::vbus::LineListener listener;
    BusAddress anywhere = loopback("");
    anywhere.host = "0.0.0.0";
    std::string error;
    EXPECT_FALSE(listener.listen(anywhere, error));
    EXPECT_EQ(error, "a bus server listens on a loopback address only");
}

TEST_F(BusTcpTest, DriveRootsAreListedAndEventedInTheClientsFormAndMappedBack)
{
    const std::string host = m_folder.path() + "/";
    std::string windows = "Z:" + m_folder.path() + "/";
    for (char& c : windows)
        if (c == '/')
            c = '\\';
    devsim::RootMapping mapping;
    std::string error;
    ASSERT_TRUE(devsim::parseRootMapping(host + "=" + windows, mapping, error)) << error;
    const std::string address = startTcp("tok", { mapping });
    const std::string clientRoot = windows + "drive\\";
    ASSERT_EQ(device().driveRoot(), host + "drive/");

    platform::vbus::Bus bus(address);
    std::vector<platform::VolumeInfo> volumes;
    ASSERT_TRUE(bus.volumes.mountedVolumes(volumes));
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].root, clientRoot);

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> roots;
    ASSERT_TRUE(bus.events.start([&](const platform::DeviceEvent& e) {
        std::lock_guard<std::mutex> lock(mutex);
        roots.push_back(e.root);
        changed.notify_all();
    }));
    // The client names the root as listed; the simulator's own form is no volume of the client's.
    EXPECT_TRUE(bus.volumes.removalStep(clientRoot, platform::VolumeStep::Lock));
    EXPECT_TRUE(bus.volumes.removalStep(clientRoot, platform::VolumeStep::Dismount));
    EXPECT_FALSE(device().state()["drive"]["mounted"].asBool());
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(5), [&] { return !roots.empty(); });
    }
    bus.events.stop();
    EXPECT_EQ(roots, std::vector<std::string> { clientRoot });
}

TEST(RootMap, MappingsAreFoldersAndMapBothWays)
{
    devsim::RootMapping mapping;
    std::string error;
    for (const char* bad : { "", "/tmp/x/", "/tmp/x=Z:\\tmp\\x\\", "/tmp/x/=Z:\\tmp\\x", "=Z:\\", "/tmp/=" }) {
        EXPECT_FALSE(devsim::parseRootMapping(bad, mapping, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
    ASSERT_TRUE(devsim::parseRootMapping("/tmp/x/=Z:\\tmp\\x\\", mapping, error));
    EXPECT_EQ(mapping.host, "/tmp/x/");
    EXPECT_EQ(mapping.client, "Z:\\tmp\\x\\");
    const devsim::RootMap map = { mapping, { "/media/", "E:\\" } };
    EXPECT_EQ(devsim::rootToClient(map, "/tmp/x/drive/"), "Z:\\tmp\\x\\drive\\");
    EXPECT_EQ(devsim::rootToClient(map, "/tmp/x/"), "Z:\\tmp\\x\\");
    EXPECT_EQ(devsim::rootToClient(map, "/media/TARVEL/"), "E:\\TARVEL\\");
    EXPECT_EQ(devsim::rootToClient(map, "/tmp/xy/"), "/tmp/xy/"); // no mapping begins it
    EXPECT_EQ(devsim::rootFromClient(map, "Z:\\tmp\\x\\drive\\"), "/tmp/x/drive/");
    EXPECT_EQ(devsim::rootFromClient(map, "E:\\TARVEL\\"), "/media/TARVEL/");
    EXPECT_EQ(devsim::rootFromClient(map, "/tmp/x/drive/"), "/tmp/x/drive/");
    EXPECT_EQ(devsim::rootFromClient({}, "Z:\\a\\"), "Z:\\a\\");
    // A mapping between two forms of one kind keeps the separators.
    ASSERT_TRUE(devsim::parseRootMapping("/srv/sim/=/media/rider/", mapping, error));
    EXPECT_EQ(devsim::rootToClient({ mapping }, "/srv/sim/d/"), "/media/rider/d/");
}
