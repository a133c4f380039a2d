// With --json every byte tarvel-updater writes to standard output belongs to one JSON object on
// a line of its own: whatever the device sends (here a bus peer that corrupts the device's
// reports), and when the command line cannot be used.

#include "program_run.h"

#include "devlink/frame_codec.h"
#include "fake_volumes.h"

#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

using testsupport::TempFolder;
namespace fs = std::filesystem;

namespace {

// True when text is well-formed UTF-8 (what a JSON text must be).
bool validUtf8(const std::string& text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        if (c >= 0x80)
            extra = (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : text.size();
        if (extra > 0 && i + extra >= text.size())
            return false;
        for (; extra > 0; --extra)
            if ((static_cast<unsigned char>(text[++i]) & 0xC0) != 0x80)
                return false;
    }
    return true;
}

// Every line of output is one JSON object with an "event", read strictly (nothing before or
// after it); the failures name the lines that are not.
::testing::AssertionResult everyLineIsOneJsonEvent(const std::string& output)
{
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!output.empty() && output.back() != '\n')
        return ::testing::AssertionFailure() << "the output does not end with a line end";
    std::istringstream in(output);
    std::string line;
    std::string bad;
    int lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        Json::Value event;
        std::string errors;
        if (!validUtf8(line) || !reader->parse(line.data(), line.data() + line.size(), &event, &errors)
            || !event.isObject() || !event["event"].isString())
            bad += "  " + line + "\n";
    }
    if (!bad.empty())
        return ::testing::AssertionFailure() << "lines that are not one JSON event:\n" << bad;
    if (lines == 0)
        return ::testing::AssertionFailure() << "no output at all";
    return ::testing::AssertionSuccess();
}

// The last JSON event of output.
Json::Value lastEvent(const std::string& output)
{
    std::istringstream in(output);
    std::string line;
    std::string last;
    while (std::getline(in, line))
        if (!line.empty())
            last = line;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value event;
    std::string errors;
    reader->parse(last.data(), last.data() + last.size(), &event, &errors);
    return event;
}

int connectTo(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const std::string& text)
{
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

std::string hex(const uint8_t* bytes, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 15]);
    }
    return text;
}

// One 64-byte application report holding a text line from the device.
std::string textReportHex(const std::string& text)
{
    std::vector<uint8_t> body { kTextMessageCode };
    body.insert(body.end(), text.begin(), text.end());
    body.push_back(0);
    uint8_t report[kInputReportSize];
    std::memset(report, 0, sizeof report);
    EXPECT_GT(encodeFrame(body.data(), body.size(), report, sizeof report), 0u);
    return hex(report, sizeof report);
}

// A bus peer between the updater and the simulator that alters what the device sends:
// - the code byte of every third progress tick ('*') of a wireless update becomes '%', which
//   stops the update early while the device goes on reporting;
// - every READ_DEVICE_INFO is first answered with a line of device text, as by a device that
//   still reports an earlier job (the texts of a wireless update, and bytes that are not text).
// Everything else passes unchanged.
class CorruptingPeer {
public:
    CorruptingPeer(const std::string& path, const std::string& upstream)
        : m_upstream(upstream)
    {
        m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        EXPECT_EQ(::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(m_listen, 16), 0);
        m_accepting = std::thread([this] { acceptLoop(); });
    }
    ~CorruptingPeer()
    {
        m_stop = true;
        ::shutdown(m_listen, SHUT_RDWR);
        m_accepting.join();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (const auto& link : m_links) {
                ::shutdown(link->client, SHUT_RDWR);
                ::shutdown(link->device, SHUT_RDWR);
            }
        }
        for (std::thread& pump : m_pumps)
            pump.join();
        for (const auto& link : m_links) {
            ::close(link->client);
            ::close(link->device);
        }
        ::close(m_listen);
    }
    int corruptedTicks() const { return m_corrupted.load(); }
    int injectedTexts() const { return m_injected.load(); }

private:
    // One client connection and its own connection to the device's bus.
    struct Link {
        int client = -1;
        int device = -1;
        std::mutex writing; // to the client, from both pumps
        int outstanding = 0; // requests passed on and not yet answered
        bool textDue = false; // a READ_DEVICE_INFO was written: its first read gets text
    };

    void acceptLoop()
    {
        for (;;) {
            const int client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0 || m_stop) {
                if (client >= 0)
                    ::close(client);
                return;
            }
            auto link = std::make_shared<Link>();
            link->client = client;
            link->device = connectTo(m_upstream);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_links.push_back(link);
            if (link->device < 0) {
                ::shutdown(client, SHUT_RDWR);
                continue;
            }
            m_pumps.emplace_back([this, link] { pump(*link, true); });
            m_pumps.emplace_back([this, link] { pump(*link, false); });
        }
    }
    void pump(Link& link, bool fromClient)
    {
        const int from = fromClient ? link.client : link.device;
        std::string buffer;
        char chunk[65536];
        bool open = true;
        while (open) {
            const ssize_t n = ::recv(from, chunk, sizeof chunk, 0);
            if (n <= 0)
                break;
            buffer.append(chunk, size_t(n));
            for (size_t end; open && (end = buffer.find('\n')) != std::string::npos;) {
                const std::string line = buffer.substr(0, end);
                buffer.erase(0, end + 1);
                open = fromClient ? fromClientLine(link, line) : fromDeviceLine(link, line);
            }
        }
        ::shutdown(fromClient ? link.device : link.client, SHUT_WR);
    }
    bool fromClientLine(Link& link, const std::string& line)
    {
        const Json::Value request = parse(line);
        std::lock_guard<std::mutex> lock(link.writing);
        const std::string op = request["op"].isString() ? request["op"].asString() : "";
        if (op == "write" && request["data"].isString() && request["data"].asString().rfind("000106c66004", 0) == 0)
            link.textDue = true;
        if (op == "read" && link.textDue && link.outstanding == 0) {
            link.textDue = false;
            static const char* const texts[] = { "NRF DFU START", "*", "\"odd\" \\ \x1b\xc3\x28\xff text" };
            Json::Value response;
            response["ok"] = true;
            response["data"] = textReportHex(texts[m_injected++ % 3]);
            return sendAll(link.client, oneLine(response) + "\n");
        }
        ++link.outstanding;
        return sendAll(link.device, line + "\n");
    }
    bool fromDeviceLine(Link& link, const std::string& line)
    {
        std::string out = line;
        Json::Value response = parse(line);
        if (response["data"].isString() && response["data"].asString().rfind("010a2a", 0) == 0
            && ++m_ticks % 3 == 0) {
            std::string data = response["data"].asString();
            data.replace(2, 2, "25");
            response["data"] = data;
            out = oneLine(response);
            ++m_corrupted;
        }
        std::lock_guard<std::mutex> lock(link.writing);
        if (!response.isMember("event") && link.outstanding > 0)
            --link.outstanding;
        return sendAll(link.client, out + "\n");
    }
    static Json::Value parse(const std::string& line)
    {
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value value;
        std::string errors;
        if (!reader->parse(line.data(), line.data() + line.size(), &value, &errors) || !value.isObject())
            return Json::Value(Json::objectValue);
        return value;
    }
    static std::string oneLine(const Json::Value& value)
    {
        Json::StreamWriterBuilder writer;
        writer["indentation"] = "";
        return Json::writeString(writer, value);
    }

    std::string m_upstream;
    int m_listen = -1;
    std::atomic<bool> m_stop { false };
    std::atomic<int> m_ticks { 0 };
    std::atomic<int> m_corrupted { 0 };
    std::atomic<int> m_injected { 0 };
    std::thread m_accepting;
    std::mutex m_mutex;
    std::vector<std::shared_ptr<Link>> m_links;
    std::vector<std::thread> m_pumps;
};

TEST(JsonLines, ADeviceWhoseReportsAreCorruptedSendsNoRawTextToStandardOutput)
{
    TempFolder home;
    std::unique_ptr<ProgramRun> device
        = startDevice(home.path(), { "--model", "11", "--version", "7.63", "--time-scale", "0" });
    auto peer = std::make_unique<CorruptingPeer>(home.sub("peer.sock"), home.sub("bus.sock"));
    ProgramRun run(home.path(), { "--json", "--auto", "--time-scale=0" }, { "TARVEL_VBUS=" + home.sub("peer.sock") });
    run.closeInput();
    // The run is watched until it ends or for a while (a device that keeps failing may keep an
    // unattended run going); stopped, it still ends with its JSON outcome.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    std::string line;
    bool ended = false;
    while (!ended && std::chrono::steady_clock::now() < deadline
        && run.readLine(line, std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())))
        ended = line.find("\"event\":\"outcome\"") != std::string::npos;
    if (!ended)
        run.signal(SIGTERM);
    run.finish();
    EXPECT_GT(peer->corruptedTicks(), 0) << "the wireless update never began";
    EXPECT_GT(peer->injectedTexts(), 2) << "the device was never read";
    EXPECT_TRUE(everyLineIsOneJsonEvent(run.output()));
    EXPECT_EQ(lastEvent(run.output())["event"], "outcome");
    // The device's text is kept in the log, as a log event.
    const std::string& out = run.output();
    const std::size_t text = out.find(R"("text":"\"odd\" \\ \u001b)");
    EXPECT_NE(text, std::string::npos) << out;
    if (text != std::string::npos) {
        const std::size_t newline = out.rfind('\n', text);
        const std::size_t lineStart = newline == std::string::npos ? 0 : newline + 1;
        EXPECT_EQ(out.compare(lineStart, 15, R"({"event":"log",)"), 0) << out.substr(lineStart, text - lineStart);
    }
    peer.reset();
    device->signal(SIGTERM);
    EXPECT_EQ(device->finish(), 0);
}

TEST(JsonLines, UsageErrorsEndWithAJsonOutcome)
{
    TempFolder home;
    const std::vector<std::vector<std::string>> cases = {
        { "--json", "--bogus" },
        { "--recover=99", "--json" },
        { "--json", "--simulate=model=3" },
        { "--json", "--time-scale=soon" },
        { "--json", "firmware.bin" },
        { "--json", "--json=yes" },
        { "--json", "--log=" + home.sub("no/such/folder/u.log"), "--simulate=model=11,version=14.51" },
    };
    for (const std::vector<std::string>& args : cases) {
        const ProgramResult result = runProgram(home.path(), args);
        EXPECT_EQ(result.status, 2) << args[1];
        EXPECT_TRUE(everyLineIsOneJsonEvent(result.out)) << args[1];
        const Json::Value outcome = lastEvent(result.out);
        EXPECT_EQ(outcome["event"], "outcome") << result.out;
        EXPECT_EQ(outcome["status"], 2) << result.out;
        EXPECT_EQ(outcome["result"], "usage") << result.out;
        // The reason is the one standard error gives a person.
        const std::string message = outcome["message"].asString();
        EXPECT_FALSE(message.empty());
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err << " / " << message;
    }
    // Without --json a usage error prints nothing on standard output.
    EXPECT_EQ(runProgram(home.path(), { "--bogus" }).out, "");
    EXPECT_TRUE(fs::is_empty(home.sub("tmp"))) << "a private folder was left behind";
}

} // namespace
