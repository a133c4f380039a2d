// The bus server against clients that misbehave: it answers ok:false or closes the one
// connection, and keeps serving everyone else.

#include "sim_fixture.h"

#include <fstream>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

using namespace simtest;

namespace {

// A raw connection for writing bytes that are not JSON.
int rawConnect(const std::string& path)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    return fd;
}

} // namespace

class BusServerTest : public SimTest { };

TEST_F(BusServerTest, HelloAndListFollowTheContract)
{
    startSim();
    Client client(m_path);
    Json::Value request(Json::objectValue);
    request["op"] = "hello";
    request["client"] = "test";
    request["id"] = 7;
    Json::Value hello = client.call(request);
    EXPECT_TRUE(hello["ok"].asBool());
    EXPECT_EQ(hello["bus"].asString(), "tarvel-vbus");
    EXPECT_EQ(hello["version"].asInt(), 1);
    Json::Value list = client.op("list");
    ASSERT_EQ(list["usb"].size(), 1u);
    EXPECT_EQ(list["usb"][0]["vid"].asUInt(), 0x2B29u);
    EXPECT_EQ(list["usb"][0]["pid"].asUInt(), 0x55u);
    EXPECT_EQ(list["usb"][0]["hwid"].asString(), "USB\\VID_2B29&PID_0055&REV_0100");
    ASSERT_EQ(list["volumes"].size(), 1u);
    const Json::Value& volume = list["volumes"][0];
    EXPECT_EQ(volume["root"].asString(), device().driveRoot());
    EXPECT_EQ(volume["root"].asString().back(), '/');
    EXPECT_EQ(volume["label"].asString(), "TARVEL");
    EXPECT_EQ(volume["fs"].asString(), "FAT32");
    EXPECT_TRUE(volume["removable"].asBool());
}

TEST_F(BusServerTest, FolderDriveHasNoLabelButATarvelFolder)
{
    devsim::DeviceConfig config;
    config.drive = devsim::DriveMode::Folder;
    startSim(config);
    Client client(m_path);
    Json::Value volume = client.op("list")["volumes"][0];
    EXPECT_EQ(volume["label"].asString(), "");
    EXPECT_TRUE(std::filesystem::is_directory(volume["root"].asString() + "Tarvel"));
}

TEST_F(BusServerTest, BadRequestsGetOkFalseAndTheConnectionGoesOn)
{
    startSim();
    Client client(m_path);
    auto& raw = client.raw();
    Json::Value response;
    // Not JSON, then a JSON value that is not an object.
    ASSERT_TRUE(raw.send(Json::Value("just a string")));
    ASSERT_TRUE(raw.readMessage(response));
    EXPECT_FALSE(response["ok"].asBool());
    for (const char* text : { R"({"op":"nonsense"})", R"({"op":"open"})",
             R"({"op":"open","vid":"x","pid":1})", R"({"op":"read","handle":1,"max":64})",
             R"({"op":"write","handle":"1"})", R"({"op":"sim.fault","fault":"silence","count":"many"})",
             R"({"op":"sim.face","face":"sideways"})", R"({"op":"volume","root":"/nowhere/","step":"lock"})",
             R"({"noop":true})" }) {
        Json::Value request;
        ASSERT_TRUE(platform::vbus::parseLine(text, request)) << text;
        Json::Value answer = client.call(request);
        EXPECT_FALSE(answer["ok"].asBool()) << text;
        EXPECT_FALSE(answer["error"].asString().empty()) << text;
    }
    EXPECT_TRUE(client.op("hello")["ok"].asBool());
}

TEST_F(BusServerTest, HandlesBelongToTheirConnectionAndOversizedDataIsRefused)
{
    startSim();
    Client first(m_path), second(m_path);
    int handle = openApp(first);
    ASSERT_GE(handle, 0);
    EXPECT_FALSE(second.write(handle, hostReport(commandFrame(0x06)))["ok"].asBool());
    EXPECT_FALSE(second.read(handle, 0));
    EXPECT_EQ(second.error, "bad handle");
    EXPECT_FALSE(first.write(handle, Bytes(66, 0))["ok"].asBool());
    EXPECT_FALSE(first.write(handle, Bytes { 0x05, 0x01 })["ok"].asBool()); // no report id 5
    Json::Value request(Json::objectValue);
    request["op"] = "write";
    request["handle"] = handle;
    request["data"] = "0g";
    EXPECT_FALSE(first.call(request)["ok"].asBool());
    request["data"] = "abc";
    EXPECT_FALSE(first.call(request)["ok"].asBool());
    // A line far beyond any report ends only that connection.
    int fd = rawConnect(m_path);
    std::string huge(3u << 20, 'a');
    ::send(fd, huge.data(), huge.size(), MSG_NOSIGNAL);
    char byte;
    EXPECT_LE(::recv(fd, &byte, 1, 0), 0);
    ::close(fd);
    // Closed handles are gone; the first connection still works.
    request = Json::Value(Json::objectValue);
    request["op"] = "close";
    request["handle"] = handle;
    EXPECT_TRUE(first.call(request)["ok"].asBool());
    EXPECT_FALSE(first.read(handle, 0));
    EXPECT_GE(openApp(first), 0);
}

TEST_F(BusServerTest, ClientsThatVanishMidRequestDoNotStopTheOthers)
{
    startSim();
    // One waits forever on a read, another has subscribed; both vanish.
    {
        Client waiting(m_path);
        int handle = openApp(waiting);
        Json::Value request(Json::objectValue);
        request["op"] = "read";
        request["handle"] = handle;
        request["max"] = 64;
        request["timeout_ms"] = -1;
        ASSERT_TRUE(waiting.raw().send(request));
        EventRecorder events(m_path);
        int fd = rawConnect(m_path);
        const char partial[] = "{\"op\":\"li";
        ::send(fd, partial, sizeof(partial) - 1, MSG_NOSIGNAL);
        ::close(fd);
    }
    Client client(m_path);
    auto info = readDeviceInfo(client, openApp(client));
    ASSERT_TRUE(info);
    EXPECT_EQ((*info)[0], 0x06);
    // The vanished reader's handle was dropped with its connection.
    EXPECT_TRUE(idle());
    for (int i = 0; i < 100 && client.op("sim.state")["state"]["open_handles"].asInt() != 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(client.op("sim.state")["state"]["open_handles"].asInt(), 1);
}

TEST_F(BusServerTest, ReadsWaitForTheirTimeLimitAndHoldBackOnlyTheirConnection)
{
    startSim();
    Client reader(m_path), other(m_path);
    int handle = openApp(reader);
    auto start = std::chrono::steady_clock::now();
    std::thread slow([&] { EXPECT_TRUE(reader.read(handle, 300)->empty()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto listed = std::chrono::steady_clock::now();
    EXPECT_TRUE(other.op("list")["ok"].asBool());
    EXPECT_LT(std::chrono::steady_clock::now() - listed, std::chrono::milliseconds(200));
    slow.join();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
}

TEST_F(BusServerTest, UnplugFailsOpenHandlesAndPlugBringsTheDeviceBack)
{
    startSim();
    EventRecorder events(m_path);
    Client client(m_path);
    int handle = openApp(client);
    client.op("sim.unplug");
    EXPECT_FALSE(client.write(handle, hostReport(commandFrame(0x06)))["ok"].asBool());
    EXPECT_EQ(client.op("list")["usb"].size(), 0u);
    EXPECT_LT(openApp(client), 0);
    client.op("sim.plug");
    ASSERT_TRUE(idle());
    const std::string root = device().driveRoot();
    EXPECT_EQ(events.waitFor(4),
        (std::vector<std::string> {
            "volume_removal " + root, "nodes_changed", "nodes_changed", "volume_arrival " + root }));
    EXPECT_FALSE(client.read(handle, 0)); // the old handle stays dead
    EXPECT_GE(openApp(client), 0);
}

TEST_F(BusServerTest, ASocketPathIsTakenOnlyWhenNothingButAStaleSocketIsThere)
{
    const std::string path = uniqueSocketPath();
    std::string error;
    {
        // An ordinary file (a user's typo names one) is refused and left as it was.
        std::ofstream(path) << "precious";
        devsim::Simulator sim({});
        EXPECT_FALSE(sim.start(path, &error));
        EXPECT_NE(error.find("is not a socket"), std::string::npos) << error;
        std::ifstream in(path);
        std::string content;
        in >> content;
        EXPECT_EQ(content, "precious");
        std::filesystem::remove(path);
    }
    {
        std::filesystem::create_directory(path);
        devsim::Simulator sim({});
        EXPECT_FALSE(sim.start(path, &error));
        EXPECT_TRUE(std::filesystem::is_directory(path));
        std::filesystem::remove(path);
    }
    // A live simulator on the path is detected, and keeps its socket and its clients.
    devsim::Simulator first({});
    ASSERT_TRUE(first.start(path, &error)) << error;
    devsim::Simulator second({});
    EXPECT_FALSE(second.start(path, &error));
    EXPECT_NE(error.find("already listening"), std::string::npos) << error;
    second.stop();
    Client client(path);
    EXPECT_TRUE(client.op("hello")["ok"].asBool());
    first.stop();
    EXPECT_FALSE(std::filesystem::exists(path));

    // A socket nobody listens on any more (a simulator that was killed) is replaced.
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(stale);
    ASSERT_TRUE(std::filesystem::is_socket(path));
    devsim::Simulator third({});
    EXPECT_TRUE(third.start(path, &error)) << error;
    Client again(path);
    EXPECT_TRUE(again.op("hello")["ok"].asBool());
}

TEST_F(BusServerTest, DeepOrOverlongLinesAreRefusedAndTheServerGoesOn)
{
    startSim();
    Client client(m_path);
    // One short line nested far deeper than any message of the bus.
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const int fd = rawConnect(m_path);
    const std::string line = deep + "\n";
    ASSERT_EQ(::send(fd, line.data(), line.size(), MSG_NOSIGNAL), ssize_t(line.size()));
    std::string answer;
    char c;
    while (::recv(fd, &c, 1, 0) == 1 && c != '\n')
        answer += c;
    Json::Value response;
    ASSERT_TRUE(platform::vbus::parseLine(answer, response)) << answer;
    EXPECT_FALSE(response["ok"].asBool());
    EXPECT_EQ(response["error"].asString(), "malformed request");
    Json::Value nested;
    EXPECT_FALSE(platform::vbus::parseLine("{\"a\":" + std::string(20, '[') + std::string(20, ']') + "}", nested));
    EXPECT_TRUE(platform::vbus::parseLine("{\"a\":[{\"b\":[1]}]}", nested));

    // A line longer than any request closes that connection only.
    const std::string huge(2u << 20, 'x');
    ::send(fd, huge.data(), huge.size(), MSG_NOSIGNAL);
    pollfd p { fd, POLLIN, 0 };
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_LE(::recv(fd, &c, 1, 0), 0); // closed without an answer
    ::close(fd);
    EXPECT_TRUE(client.op("hello")["ok"].asBool());
    EXPECT_TRUE(std::filesystem::is_socket(m_path));
}

TEST_F(BusServerTest, ASubscriberMissesNoEventAfterTheAnswer)
{
    startSim();
    // The subscriber is registered before its answer goes out: an event caused right after
    // the answer arrives is always delivered (tried many times, as the gap was short).
    for (int i = 0; i < 40; ++i) {
        platform::vbus::BusClient subscriber;
        ASSERT_TRUE(subscriber.connect(m_path));
        Json::Value request(Json::objectValue), response;
        request["op"] = "subscribe";
        ASSERT_TRUE(subscriber.call(request, response));
        if (i % 2 == 0)
            device().unplug();
        else
            device().plug();
        Json::Value event;
        ASSERT_TRUE(subscriber.readMessage(event, 2000)) << "event lost in round " << i;
        EXPECT_EQ(event["event"].asString(), i % 2 == 0 ? "volume_removal" : "nodes_changed");
        subscriber.close();
        ASSERT_TRUE(idle());
    }
}

TEST_F(BusServerTest, HandlesFailOnceTheDeviceLeftEvenWithReportsQueued)
{
    startSim();
    Client client(m_path);
    const int handle = openApp(client);
    // Two commands whose answers are queued and not read yet.
    EXPECT_TRUE(client.write(handle, hostReport(commandFrame(0x06)))["ok"].asBool());
    EXPECT_TRUE(client.write(handle, hostReport(commandFrame(0x06)))["ok"].asBool());
    device().unplug();
    EXPECT_FALSE(client.read(handle, 0));
    EXPECT_EQ(client.error, "device disconnected");
}

TEST_F(BusServerTest, TwoSimulatorsOneAfterTheOtherInOneProcess)
{
    for (int model : { 5, 12 }) {
        devsim::DeviceConfig config;
        config.model = model;
        startSim(config);
        Client client(m_path);
        auto info = readDeviceInfo(client, openApp(client));
        ASSERT_TRUE(info);
        EXPECT_EQ((*info)[1], model);
        m_sim->stop();
        EXPECT_FALSE(std::filesystem::exists(m_path));
    }
}

TEST(DeviceDescription, ReadsEveryKeyAndRefusesBadOnesWithoutChangingTheConfig)
{
    devsim::DeviceConfig config;
    std::string error;
    ASSERT_TRUE(
        devsim::parseDeviceDescription("model=13,variant=japanese,version=14.5,nrf=1.9.2.5,face=rom,drive=folder,"
                                "user-data=no",
            config, error))
        << error;
    EXPECT_EQ(config.model, 13);
    EXPECT_TRUE(config.japanese);
    EXPECT_EQ(config.major, 14);
    EXPECT_EQ(config.minor, 5);
    EXPECT_EQ(config.nrfVersion, "1.9.2.5");
    EXPECT_EQ(config.face, devsim::Face::Rom);
    EXPECT_EQ(config.drive, devsim::DriveMode::Folder);
    EXPECT_FALSE(config.seedUserData);
    EXPECT_TRUE(devsim::parseDeviceDescription("", config, error));
    for (const char* bad : { "model=3", "model=17", "model=1x", "version=7", "version=7.", "version=200.1",
             "face=sideways", "colour=red", "model=", "nrf=1910", "nrf=1.2.3.4.5", "nrf=1.2.3", "nrf=1..3.4",
             "nrf=1.2.3.", "nrf=.1.2.3", "nrf=1.2.3.x", "nrf=1.2.3.-4", "nrf=" }) {
        devsim::DeviceConfig before = config;
        EXPECT_FALSE(devsim::parseDeviceDescription(std::string("model=5,") + bad, config, error)) << bad;
        EXPECT_EQ(config.model, before.model) << bad;
    }
}
