// tarvel-updater on a virtual bus named by TARVEL_VBUS: a whole console update over loopback
// TCP against tarvel-devsim --tcp, and the console runs that must end with 1 and say why when
// the bus cannot be reached or spoken to.

#include "program_run.h"

#include "fake_volumes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using testsupport::TempFolder;
namespace fs = std::filesystem;

namespace {

// Every file below folder with its contents, by relative path.
std::map<std::string, std::string> tree(const std::string& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        files[fs::relative(entry.path(), folder).string()] = all.str();
    }
    return files;
}

// tarvel-devsim on a loopback TCP port of its choosing; the TARVEL_VBUS line it printed.
std::unique_ptr<ProgramRun> startTcpDevice(
    const TempFolder& home, const std::vector<std::string>& options, std::string& vbus)
{
    std::vector<std::string> args = { "--tcp", "127.0.0.1:0", "--drive-dir", home.sub("drive") };
    args.insert(args.end(), options.begin(), options.end());
    auto device = std::make_unique<ProgramRun>(home.path(), args, std::vector<std::string> {}, TARVEL_DEVSIM_PROGRAM);
    std::string line;
    EXPECT_TRUE(device->readLine(line, std::chrono::seconds(10)));
    EXPECT_EQ(line.rfind("TARVEL_VBUS=tcp:127.0.0.1:", 0), 0u) << line;
    vbus = line.substr(std::string("TARVEL_VBUS=").size());
    return device;
}

// A port on 127.0.0.1 that nobody listens on (bound for a moment, then let go).
int refusedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

// A peer on a Unix socket that answers each request line with what answer(op) says.
class HostilePeer {
public:
    HostilePeer(const std::string& path, std::function<std::string(const std::string& line)> answer)
        : m_answer(std::move(answer))
    {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(m_fd, 8), 0);
        m_accept = std::thread([this] {
            while (!m_stop) {
                pollfd p { m_fd, POLLIN, 0 };
                if (::poll(&p, 1, 50) <= 0)
                    continue;
                const int client = ::accept(m_fd, nullptr, nullptr);
                std::lock_guard<std::mutex> lock(m_mutex);
                m_clients.emplace_back([this, client] { serve(client); });
            }
        });
    }
    ~HostilePeer()
    {
        m_stop = true;
        m_accept.join();
        for (auto& t : m_clients)
            t.join();
        ::close(m_fd);
    }

private:
    void serve(int fd)
    {
        std::string buffer;
        char chunk[4096];
        while (!m_stop) {
            pollfd p { fd, POLLIN, 0 };
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                break;
            buffer.append(chunk, size_t(n));
            size_t end;
            while ((end = buffer.find('\n')) != std::string::npos) {
                const std::string reply = m_answer(buffer.substr(0, end)) + "\n";
                buffer.erase(0, end + 1);
                (void)::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
        }
        ::close(fd);
    }

    std::function<std::string(const std::string&)> m_answer;
    int m_fd = -1;
    std::atomic<bool> m_stop { false };
    std::thread m_accept;
    std::mutex m_mutex;
    std::list<std::thread> m_clients;
};

const char kHello[] = R"({"ok":true,"bus":"tarvel-vbus","version":1})";

// The console run on TARVEL_VBUS=vbus: it must end by itself, with 1, and say why.
void expectBusFailure(const TempFolder& home, const std::string& vbus, const std::string& reason)
{
    SCOPED_TRACE(vbus);
    const auto start = std::chrono::steady_clock::now();
    ProgramRun run(home.path(), { "--headless", "--json", "--auto", "--time-scale=0" }, { "TARVEL_VBUS=" + vbus });
    run.closeInput();
    ASSERT_EQ(run.finish(std::chrono::seconds(60)), 1) << run.output();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    const std::vector<Json::Value> events = jsonEvents(run.output());
    ASSERT_FALSE(events.empty());
    const Json::Value& outcome = events.back();
    EXPECT_EQ(outcome["event"], "outcome");
    EXPECT_EQ(outcome["status"], 1);
    EXPECT_EQ(outcome["result"], "bus-failure");
    const std::string message = outcome["message"].asString();
    EXPECT_EQ(message.rfind("The virtual USB bus cannot be used: ", 0), 0u) << message;
    EXPECT_NE(message.find(reason), std::string::npos) << message;
}

} // namespace

TEST(UpdaterOnTcpBus, AWholeConsoleUpdateAgainstTheSimulatorOnLoopbackTcp)
{
    TempFolder home;
    std::string vbus;
    std::unique_ptr<ProgramRun> device
        = startTcpDevice(home, { "--model", "11", "--version", "7.63", "--time-scale", "0" }, vbus);
    ASSERT_NE(vbus.find('/'), std::string::npos) << "a TCP bus gets a random token: " << vbus;
    const auto ridersFiles = tree(home.sub("drive/Tarvel"));
    ASSERT_FALSE(ridersFiles.empty());

    ProgramRun run(home.path(), { "--headless", "--auto", "--json", "--time-scale=0" }, { "TARVEL_VBUS=" + vbus });
    run.closeInput();
    ASSERT_EQ(run.finish(), 0) << run.output() << run.errorOutput();
    const std::vector<Json::Value> events = jsonEvents(run.output());
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["event"], "outcome");
    EXPECT_EQ(events.back()["result"], "up-to-date");
    bool flashed = false;
    for (const Json::Value& e : events)
        if (e["event"] == "status" && e["line1"].asString().find("Summit GPS Flashing success") != std::string::npos)
            flashed = true;
    EXPECT_TRUE(flashed) << run.output();
    EXPECT_EQ(tree(home.sub("drive/Tarvel")), ridersFiles);

    // The simulator's own record: its application is the carried one now.
    device->signal(SIGTERM);
    EXPECT_EQ(device->finish(), 0);
    EXPECT_NE(device->errorOutput().find("firmware 14.51"), std::string::npos) << device->errorOutput();
}

TEST(UpdaterOnTcpBus, ABusThatCannotBeReachedEndsTheConsoleRunWithOne)
{
    TempFolder home;
    expectBusFailure(
        home, home.sub("no-such.sock"), "cannot reach the bus at " + home.sub("no-such.sock") + ": No such file");
    const int port = refusedPort();
    ASSERT_NE(port, 0);
    const std::string refused = "tcp:127.0.0.1:" + std::to_string(port);
    expectBusFailure(home, refused + "/tok", "cannot reach the bus at " + refused + ": Connection refused");
    // Neither form: refused before anything is connected to.
    expectBusFailure(home, "tcp:0.0.0.0:4000", "the bus host \"0.0.0.0\" is not a loopback address");
    expectBusFailure(home, "tcp:127.0.0.1:70000", "the bus port \"70000\" is not a number 1 to 65535");

    // The plain console says it too.
    ProgramRun run(home.path(), { "--headless", "--auto" }, { "TARVEL_VBUS=" + home.sub("no-such.sock") });
    run.closeInput();
    EXPECT_EQ(run.finish(std::chrono::seconds(60)), 1);
    EXPECT_NE(run.output().find("The virtual USB bus cannot be used: cannot reach the bus at"), std::string::npos)
        << run.output();
}

TEST(UpdaterOnTcpBus, AWrongTokenEndsTheConsoleRunWithOne)
{
    TempFolder home;
    std::string vbus;
    std::unique_ptr<ProgramRun> device = startTcpDevice(home, { "--token", "right-token" }, vbus);
    ASSERT_EQ(vbus.substr(vbus.find('/')), "/right-token");
    const std::string bare = vbus.substr(0, vbus.find('/'));
    expectBusFailure(home, bare + "/wrong-token", "the bus at " + bare + " refused hello: token required");
    expectBusFailure(home, bare, "refused hello: token required");
    device->signal(SIGTERM);
    EXPECT_EQ(device->finish(), 0);
}

TEST(UpdaterOnTcpBus, APeerThatBreaksTheBusContractEndsTheConsoleRunWithOne)
{
    TempFolder home;
    struct Case {
        const char* name;
        std::function<std::string(const std::string& line)> answer;
        const char* reason;
    };
    const auto opOf = [](const std::string& line) {
        const size_t at = line.find("\"op\":\"");
        return at == std::string::npos ? std::string() : line.substr(at + 6, line.find('"', at + 6) - at - 6);
    };
    const Case cases[] = {
        { "blank lines", [](const std::string&) { return std::string("\n"); }, "malformed line from the bus" },
        { "garbage", [](const std::string&) { return std::string("NRF DFU START"); }, "malformed line from the bus" },
        { "extra lines",
            [&](const std::string& line) {
                return opOf(line) == "hello" ? kHello : R"({"ok":true,"usb":[],"volumes":[]})" "\n" R"({"ok":true})";
            },
            "a line from the bus that no request asked for" },
        { "wrong field types",
            [&](const std::string& line) {
                return opOf(line) == "hello" ? std::string(kHello) : std::string(R"({"ok":true,"usb":"none","volumes":7})");
            },
            "a list answer with a field of the wrong type" },
        { "another server", [](const std::string&) { return std::string(R"({"ok":1})"); }, "does not speak the bus" },
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = home.sub("peer-" + std::to_string(index++) + ".sock");
        HostilePeer peer(path, c.answer);
        expectBusFailure(home, path, c.reason);
    }
}
