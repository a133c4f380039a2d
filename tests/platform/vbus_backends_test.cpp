// The virtual-bus backends of the four platform services against a tiny bus server written
// here from the bus contract alone: JSON lines over a Unix socket, hexadecimal byte strings,
// one response per request in order, events after subscribe, unknown fields ignored.

#include "platform/device_events.h"
#include "platform/hid.h"
#include "platform/usb_devices.h"
#include "platform/vbus/backends.h"
#include "platform/virtual_bus.h"
#include "platform/volumes.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <utility>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

class MiniBus {
public:
    MiniBus()
    {
        char folder[] = "/tmp/minibus-XXXXXX";
        EXPECT_NE(::mkdtemp(folder), nullptr);
        m_folder = folder;
        path = m_folder + "/bus.sock";
        m_fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        ::unlink(path.c_str());
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        EXPECT_EQ(::listen(m_fd, 8), 0);
        m_accept = std::thread([this] { acceptLoop(); });
    }
    ~MiniBus()
    {
        m_stop = true;
        m_accept.join();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (int fd : m_clients)
                ::shutdown(fd, SHUT_RDWR);
            m_cv.notify_all();
        }
        for (auto& t : m_threads)
            t.join();
        ::close(m_fd);
        ::unlink(path.c_str());
        ::rmdir(m_folder.c_str());
    }

    void event(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(line);
        m_cv.notify_all();
    }
    void queueReport(const std::string& hex)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reports.push_back(hex);
    }
    void disconnect()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_disconnected = true;
    }
    std::vector<std::string> requests()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }

    std::string path;
    bool volumeStepsSucceed = true;
    // A peer that misbehaves: the line to send for an op instead of the proper answer
    // ("" for the proper one, "-" for no answer at all).
    std::function<std::string(const std::string& op)> hostile;

private:
    void acceptLoop()
    {
        while (!m_stop) {
            pollfd p { m_fd, POLLIN, 0 };
            if (::poll(&p, 1, 50) <= 0)
                continue;
            int fd = ::accept(m_fd, nullptr, nullptr);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_clients.push_back(fd);
            m_threads.emplace_back([this, fd] { serve(fd); });
        }
    }
    static void send(int fd, const std::string& line)
    {
        std::string out = line + "\n";
        ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    }
    void serve(int fd)
    {
        std::string buffer;
        char chunk[512];
        for (;;) {
            size_t end;
            while ((end = buffer.find('\n')) == std::string::npos) {
                ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
                if (n <= 0) {
                    ::close(fd);
                    return;
                }
                buffer.append(chunk, size_t(n));
            }
            std::string line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            Json::Value request;
            Json::Reader().parse(line, request);
            std::string op = request["op"].asString();
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_requests.push_back(op == "write" ? "write " + request["data"].asString() : op);
            }
            if (op == "subscribe") {
                send(fd, R"({"ok":true})");
                std::unique_lock<std::mutex> lock(m_mutex);
                size_t next = 0;
                while (!m_stop) {
                    m_cv.wait_for(lock, std::chrono::milliseconds(50));
                    while (next < m_events.size())
                        send(fd, m_events[next++]);
                }
                ::close(fd);
                return;
            }
            const std::string bad = hostile ? hostile(op) : "";
            if (bad == "-")
                continue;
            send(fd, bad.empty() ? answer(op, request) : bad);
        }
    }
    std::string answer(const std::string& op, const Json::Value& request)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (op == "hello")
            return R"({"ok":true,"bus":"tarvel-vbus","version":1,"server":"mini"})";
        if (op == "list")
            return R"({"ok":true,"usb":[{"vid":11049,"pid":85,"hwid":"USB\\VID_2B29&PID_0055&REV_0100"},)"
                   R"({"vid":7531,"pid":2,"hwid":"USB\\VID_1D6B&PID_0002&REV_0510","speed":"high"}],)"
                   R"("volumes":[{"root":"/media/TARVEL/","label":"TARVEL","fs":"FAT32","removable":true},)"
                   R"({"root":"/","label":"","fs":"ext4","removable":false}]})";
        if (op == "open")
            return request["pid"].asInt() == 0x55 ? R"({"ok":true,"handle":42})"
                                                  : R"({"ok":false,"error":"no such device"})";
        if ((op == "read" || op == "write") && m_disconnected)
            return R"({"ok":false,"error":"device disconnected"})";
        if (op == "write")
            return R"({"ok":true,"written":65})";
        if (op == "read") {
            if (m_reports.empty())
                return R"({"ok":true,"data":""})";
            std::string hex = m_reports.front();
            m_reports.pop_front();
            return R"({"ok":true,"data":")" + hex + R"("})";
        }
        if (op == "volume")
            return volumeStepsSucceed ? R"({"ok":true})" : R"({"ok":false,"error":"busy"})";
        return R"({"ok":true})";
    }

    int m_fd = -1;
    std::atomic<bool> m_stop { false };
    std::thread m_accept;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<int> m_clients;
    std::list<std::thread> m_threads;
    std::vector<std::string> m_events;
    std::deque<std::string> m_reports;
    std::vector<std::string> m_requests;
    bool m_disconnected = false;
    std::string m_folder;
};

} // namespace

TEST(VbusHid, OpenReadWriteCloseAndTheirFailures)
{
    MiniBus bus;
    platform::vbus::HidBackend hid(bus.path);
    EXPECT_EQ(hid.open(0x2B29, 0x0B), nullptr);
    // The error names what is present instead: here the device in its application face.
    EXPECT_EQ(hid.lastError(nullptr),
        L"open failed with error 19: no device 0x2b29:0x000b on the bus; present: "
        L"USB\\VID_2B29&PID_0055&REV_0100 USB\\VID_1D6B&PID_0002&REV_0510");
    platform::HidDevice* device = hid.open(0x2B29, 0x55);
    ASSERT_NE(device, nullptr);
    const uint8_t report[] = { 0x00, 0x01, 0x06, 0xC6, 0x60, 0x04, 0xFF };
    EXPECT_EQ(hid.write(device, report, sizeof(report), -1), 65);
    bus.queueReport("0106ab04");
    uint8_t buffer[64] = {};
    EXPECT_EQ(hid.read(device, buffer, sizeof(buffer), 1000), 4);
    EXPECT_EQ(buffer[2], 0xAB);
    EXPECT_EQ(hid.read(device, buffer, sizeof(buffer), 0), 0); // nothing in time
    bus.queueReport("00112233445566");
    EXPECT_EQ(hid.read(device, buffer, 3, 0), 3); // never more than asked for
    bus.disconnect();
    EXPECT_EQ(hid.read(device, buffer, sizeof(buffer), 10), -1);
    EXPECT_EQ(hid.lastError(device), L"read failed with error 19: device disconnected");
    EXPECT_EQ(hid.write(device, report, sizeof(report), -1), -1);
    EXPECT_EQ(hid.lastError(device), L"write failed with error 19: device disconnected");
    hid.close(device);
    auto requests = bus.requests();
    EXPECT_NE(std::find(requests.begin(), requests.end(), "write 000106c66004ff"), requests.end());
    EXPECT_EQ(requests.back(), "close");
}

TEST(VbusHid, AHostilePeerGetsClearErrorsNeverACrashOrAHang)
{
    MiniBus bus;
    platform::vbus::HidBackend hid(bus.path);
    platform::HidDevice* device = hid.open(0x2B29, 0x55);
    ASSERT_NE(device, nullptr);
    uint8_t buffer[64] = {};
    const uint8_t report[] = { 0x00, 0x01 };
    // Set here, read on the bus's connection threads.
    struct Guarded {
        std::mutex mutex;
        std::string text;
        Guarded& operator=(const std::string& value)
        {
            std::lock_guard<std::mutex> lock(mutex);
            text = value;
            return *this;
        }
        std::string get()
        {
            std::lock_guard<std::mutex> lock(mutex);
            return text;
        }
    } line;
    bus.hostile = [&](const std::string&) { return line.get(); };
    const std::pair<std::string, std::wstring> cases[] = {
        { std::string(5000, '[') + std::string(5000, ']'),
            L"read failed with error 5: malformed line from the bus" },
        { R"({"ok":"yes","data":"00"})", L"read failed with error 5: bus request failed" },
        { R"({"ok":true,"data":7})", L"read failed with error 5: malformed data from the bus" },
        { R"({"ok":true,"data":"0g"})", L"read failed with error 5: malformed data from the bus" },
        { "[1,2]", L"read failed with error 5: malformed line from the bus" },
    };
    for (const auto& [answer, error] : cases) {
        line = answer;
        EXPECT_EQ(hid.read(device, buffer, sizeof buffer, 0), -1) << answer.substr(0, 40);
        EXPECT_EQ(hid.lastError(device), error) << answer.substr(0, 40);
        line = "";
        // A line that is no JSON object ends the connection: later answers could not be matched.
        const bool garbled = answer[0] == '[';
        EXPECT_EQ(hid.read(device, buffer, sizeof buffer, 0), garbled ? -1 : 0) << answer.substr(0, 40);
        hid.close(device);
        device = hid.open(0x2B29, 0x55);
        ASSERT_NE(device, nullptr) << std::string(answer, 0, 40);
    }
    // Counts of the wrong type or range; the last one was a fuzzer's find (it threw).
    for (const char* answer : { R"({"ok":true,"written":"65"})", R"({"ok":true,"written":-1})",
             R"({"ok":true,"written":10832958862218598600})" }) {
        line = answer;
        EXPECT_EQ(hid.write(device, report, sizeof report, 100), -1) << answer;
        EXPECT_EQ(hid.lastError(device), L"write failed with error 5: malformed write answer from the bus");
    }
    line = "";
    hid.close(device);

    // Silence: every request is bounded, a read by its own limit plus the request time limit.
    device = hid.open(0x2B29, 0x55);
    ASSERT_NE(device, nullptr);
    line = "-";
    platform::vbus::setRequestTimeout(200);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(hid.read(device, buffer, sizeof buffer, 100), -1);
    EXPECT_EQ(hid.lastError(device), L"read failed with error 5: no answer from the bus within 300 ms");
    EXPECT_EQ(hid.write(device, report, sizeof report, -1), -1);
    EXPECT_EQ(hid.open(0x2B29, 0x55), nullptr);
    EXPECT_NE(hid.lastError(nullptr).find(L"did not answer hello"), std::wstring::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    platform::vbus::setRequestTimeout(5000);
    line = "";
    hid.close(device);

    // Listings of the wrong shape are refused or skipped, not thrown on.
    auto link = std::make_shared<platform::vbus::ListingLink>(bus.path);
    platform::vbus::UsbBackend usb(link);
    platform::vbus::VolumeBackend volumes(link);
    std::vector<std::string> ids;
    std::vector<platform::VolumeInfo> list;
    line
        = R"({"ok":true,"usb":[1,"x",{"vid":"a"},{"vid":11049,"pid":11}],"volumes":[[],{"root":5},{"root":"/m/","removable":"yes"}]})";
    EXPECT_TRUE(usb.presentHardwareIds(ids));
    EXPECT_EQ(ids, (std::vector<std::string> { "USB\\VID_2B29&PID_000B&REV_0000" }));
    EXPECT_TRUE(volumes.mountedVolumes(list));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_FALSE(list[0].removable);
    line = R"({"ok":true,"usb":"none"})";
    EXPECT_FALSE(usb.presentHardwareIds(ids));
}

TEST(VbusHid, NoServerMeansNoDevice)
{
    platform::vbus::HidBackend hid("/tmp/no-such-bus.sock");
    EXPECT_EQ(hid.open(0x2B29, 0x55), nullptr);
    EXPECT_NE(hid.lastError(nullptr).find(L"open failed with error"), std::wstring::npos);
}

TEST(VbusListing, HardwareIdsVolumesAndRemovalSteps)
{
    MiniBus bus;
    auto link = std::make_shared<platform::vbus::ListingLink>(bus.path);
    platform::vbus::UsbBackend usb(link);
    platform::vbus::VolumeBackend volumes(link);
    std::vector<std::string> ids;
    ASSERT_TRUE(usb.presentHardwareIds(ids));
    EXPECT_EQ(ids,
        (std::vector<std::string> { "USB\\VID_2B29&PID_0055&REV_0100", "USB\\VID_1D6B&PID_0002&REV_0510" }));
    std::vector<platform::VolumeInfo> list;
    ASSERT_TRUE(volumes.mountedVolumes(list));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].root, "/media/TARVEL/");
    EXPECT_EQ(list[0].label, "TARVEL");
    EXPECT_EQ(list[0].fileSystem, "FAT32");
    EXPECT_TRUE(list[0].removable);
    EXPECT_FALSE(list[1].removable);
    for (auto step : { platform::VolumeStep::Lock, platform::VolumeStep::Dismount,
             platform::VolumeStep::AllowRemoval, platform::VolumeStep::Eject })
        EXPECT_TRUE(volumes.removalStep("/media/TARVEL/", step));
    bus.volumeStepsSucceed = false;
    EXPECT_FALSE(volumes.removalStep("/media/TARVEL/", platform::VolumeStep::Lock));
    // Listing and removal share one connection: one hello for all of it.
    auto requests = bus.requests();
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "hello"), 1);
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "volume"), 5);

    platform::vbus::UsbBackend gone(std::make_shared<platform::vbus::ListingLink>("/tmp/no-such-bus.sock"));
    ids = { "stale" };
    EXPECT_FALSE(gone.presentHardwareIds(ids));
    EXPECT_TRUE(ids.empty());
}

TEST(VbusEvents, DeliveredInOrderWithTheirRootsUntilStopped)
{
    MiniBus bus;
    platform::vbus::EventBackend events(bus.path);
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> seen;
    ASSERT_TRUE(events.start([&](const platform::DeviceEvent& e) {
        const char* names[] = { "nodes", "arrival", "remove" };
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(std::string(names[int(e.kind)]) + (e.root.empty() ? "" : " " + e.root));
        cv.notify_all();
    }));
    bus.event(R"({"event":"volume_removal","root":"/media/TARVEL/"})");
    bus.event(R"({"event":"nodes_changed"})");
    bus.event(R"({"event":"something_new"})");
    bus.event(R"({"event":"nodes_changed","extra":1})");
    bus.event(R"({"event":"volume_arrival","root":"/media/TARVEL/"})");
    {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_for(lock, std::chrono::seconds(5), [&] { return seen.size() >= 4; });
    }
    events.stop();
    EXPECT_EQ(seen,
        (std::vector<std::string> { "remove /media/TARVEL/", "nodes", "nodes", "arrival /media/TARVEL/" }));
    bus.event(R"({"event":"nodes_changed"})");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(seen.size(), 4u); // nothing after stop
    platform::vbus::EventBackend nowhere("/tmp/no-such-bus.sock");
    EXPECT_FALSE(nowhere.start([](const platform::DeviceEvent&) {}));
}

TEST(VbusSelection, EnvironmentAndExplicitSelectionChooseTheBus)
{
    MiniBus bus;
    ::setenv("TARVEL_VBUS", bus.path.c_str(), 1);
    EXPECT_EQ(platform::virtualBusPath(), bus.path);
    platform::HidDevice* device = platform::hidService().open(0x2B29, 0x55);
    ASSERT_NE(device, nullptr);
    platform::hidService().close(device);
    std::vector<std::string> ids;
    EXPECT_TRUE(platform::usbDeviceService().presentHardwareIds(ids));
    EXPECT_EQ(ids.size(), 2u);
    std::vector<platform::VolumeInfo> volumes;
    EXPECT_TRUE(platform::volumeService().mountedVolumes(volumes));
    EXPECT_EQ(volumes.size(), 2u);

    // An explicit selection wins over the environment.
    MiniBus other;
    platform::selectVirtualBus(other.path);
    EXPECT_EQ(platform::virtualBusPath(), other.path);
    device = platform::hidService().open(0x2B29, 0x55);
    ASSERT_NE(device, nullptr);
    platform::hidService().close(device);
    auto requests = other.requests();
    EXPECT_NE(std::find(requests.begin(), requests.end(), "open"), requests.end());
    platform::selectVirtualBus("");
    EXPECT_EQ(platform::virtualBusPath(), bus.path);
    ::unsetenv("TARVEL_VBUS");
    EXPECT_EQ(platform::virtualBusPath(), "");
    EXPECT_EQ(platform::vbus::selectedBus(), nullptr);
}

namespace {

// What the fault report told, in order.
struct FaultLog {
    FaultLog()
    {
        platform::setVirtualBusFaultHandler([this](const std::string& message) {
            std::lock_guard<std::mutex> lock(mutex);
            messages.push_back(message);
        });
    }
    ~FaultLog() { platform::setVirtualBusFaultHandler(nullptr); }
    std::vector<std::string> take()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(messages, {});
    }
    std::mutex mutex;
    std::vector<std::string> messages;
};

::testing::AssertionResult toldOnce(FaultLog& faults, const std::string& piece)
{
    const auto told = faults.take();
    if (told.size() != 1 || told[0].find(piece) == std::string::npos) {
        auto failure = ::testing::AssertionFailure() << "wanted one report with \"" << piece << "\", got:";
        for (const auto& m : told)
            failure << "\n  " << m;
        return failure;
    }
    return ::testing::AssertionSuccess();
}

} // namespace

TEST(VbusFaults, ABusThatCannotBeReachedIsReportedByEveryService)
{
    FaultLog faults;
    const std::string missing = "/tmp/no-such-bus-" + std::to_string(::getpid()) + ".sock";
    platform::vbus::UsbBackend usb(std::make_shared<platform::vbus::ListingLink>(missing));
    std::vector<std::string> ids;
    EXPECT_FALSE(usb.presentHardwareIds(ids));
    EXPECT_TRUE(toldOnce(faults,
        "The virtual USB bus cannot be used: cannot reach the bus at " + missing + ": No such file or directory."));
    platform::vbus::HidBackend hid(missing);
    EXPECT_EQ(hid.open(0x2B29, 0x55), nullptr);
    EXPECT_TRUE(toldOnce(faults, "cannot reach the bus at " + missing));
    platform::vbus::EventBackend events(missing);
    EXPECT_FALSE(events.start([](const platform::DeviceEvent&) {}));
    EXPECT_TRUE(toldOnce(faults, "cannot reach the bus at " + missing));

    // An address of neither form: said as it is, without its token.
    platform::vbus::UsbBackend refused(std::make_shared<platform::vbus::ListingLink>("tcp:10.1.2.3:80/secret"));
    EXPECT_FALSE(refused.presentHardwareIds(ids));
    const auto told = faults.take();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find("the bus host \"10.1.2.3\" is not a loopback address"), std::string::npos) << told[0];
    EXPECT_EQ(told[0].find("secret"), std::string::npos) << told[0];
}

TEST(VbusFaults, APeerThatBreaksTheContractIsReportedAndNotRetried)
{
    FaultLog faults;
    MiniBus bus;
    std::mutex mutex;
    std::map<std::string, std::string> answers; // op -> the hostile line
    bus.hostile = [&](const std::string& op) {
        std::lock_guard<std::mutex> lock(mutex);
        return answers.count(op) ? answers[op] : std::string();
    };
    auto answer = [&](const std::string& op, const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        answers[op] = line;
    };
    auto link = std::make_shared<platform::vbus::ListingLink>(bus.path);
    platform::vbus::UsbBackend usb(link);
    platform::vbus::VolumeBackend volumes(link);
    std::vector<std::string> ids;
    std::vector<platform::VolumeInfo> list;
    ASSERT_TRUE(usb.presentHardwareIds(ids));
    EXPECT_TRUE(faults.take().empty());

    // Blank lines.
    answer("list", "\n");
    EXPECT_FALSE(usb.presentHardwareIds(ids));
    EXPECT_TRUE(toldOnce(faults, "the bus at " + bus.path + " broke the bus's contract (malformed line from the bus)"));

    // A line more than was asked for: the next request finds it waiting.
    const std::string proper = R"({"ok":true,"usb":[],"volumes":[]})";
    answer("list", proper + "\n" + proper);
    EXPECT_TRUE(usb.presentHardwareIds(ids));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(usb.presentHardwareIds(ids));
    EXPECT_TRUE(toldOnce(faults, "(a line from the bus that no request asked for)"));

    // Fields of the wrong type.
    answer("list", R"({"ok":true,"usb":"none","volumes":{}})");
    EXPECT_FALSE(usb.presentHardwareIds(ids));
    EXPECT_TRUE(toldOnce(faults, "(a list answer with a field of the wrong type)"));
    EXPECT_FALSE(volumes.mountedVolumes(list));
    EXPECT_TRUE(toldOnce(faults, "(a list answer with a field of the wrong type)"));
    answer("list", "");

    // A hello of the wrong shape: another kind of server on the address.
    answer("hello", R"({"ok":"sure"})");
    platform::vbus::HidBackend hid(bus.path);
    EXPECT_EQ(hid.open(0x2B29, 0x55), nullptr);
    EXPECT_TRUE(toldOnce(faults, "does not speak the bus"));
    answer("hello", R"({"ok":true,"bus":"another-bus"})");
    EXPECT_EQ(hid.open(0x2B29, 0x55), nullptr);
    EXPECT_TRUE(toldOnce(faults, "does not speak the bus"));
    answer("hello", R"({"ok":false,"error":"token required"})");
    EXPECT_EQ(hid.open(0x2B29, 0x55), nullptr);
    EXPECT_EQ(hid.lastError(nullptr), L"open failed with error 5: the bus at " + std::wstring(bus.path.begin(), bus.path.end())
            + L" refused hello: token required");
    EXPECT_TRUE(toldOnce(faults, "refused hello: token required"));
    answer("hello", "");

    // On a device's connection: garbled data is the bus's fault; a device that is gone, or a
    // read that got nothing in time, is not.
    platform::HidDevice* device = hid.open(0x2B29, 0x55);
    ASSERT_NE(device, nullptr);
    uint8_t buffer[64];
    EXPECT_EQ(hid.read(device, buffer, sizeof buffer, 0), 0);
    answer("read", R"({"ok":true,"data":"0g"})");
    EXPECT_EQ(hid.read(device, buffer, sizeof buffer, 0), -1);
    EXPECT_TRUE(toldOnce(faults, "(a read answer whose data is not hexadecimal text)"));
    answer("read", "");
    bus.disconnect();
    EXPECT_EQ(hid.read(device, buffer, sizeof buffer, 0), -1);
    EXPECT_TRUE(faults.take().empty());
    hid.close(device);
}
