// The session recording's file: the reader names the line it refuses for every kind of bad
// input, the writer keeps existing files and writes lines the reader takes back, and the
// recording layer of the service selection writes what passed through the services.
#include "platform/hid.h"
#include "platform/recording/recording.h"
#include "platform/recording/sha256.h"
#include "platform/session_recording.h"
#include "platform/usb_devices.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using namespace platform::recording;

namespace {

const char kHeader[] = "{\"recording\":\"tarvel-vbus\",\"version\":1,\"program\":\"t\",\"platform\":\"linux\",\"started\":\"x\"}\n";

std::string refusal(const std::string& text)
{
    Recording recording;
    std::string error;
    EXPECT_FALSE(parseRecording(text, recording, error)) << text;
    EXPECT_TRUE(recording.lines.empty());
    return error;
}

struct TempDir {
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "recording-test-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path); }
    std::string path;
};

std::string fileText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

TEST(RecordingReader, TakesEachLineKindAndSkipsUnknownOnes)
{
    const std::string text = std::string(kHeader)
        + "{\"t_ms\":1,\"conn\":3,\"request\":{\"op\":\"open\",\"vid\":11049,\"pid\":85},\"response\":{\"ok\":true,\"handle\":3}}\n"
        + "{\"t_ms\":2,\"conn\":3,\"request\":{\"op\":\"read\",\"handle\":3,\"max\":64,\"timeout_ms\":5},\"response\":{\"ok\":true,\"data\":\"01ff\"}}\n"
        + "{\"t_ms\":2,\"something_new\":true}\n"
        + "\n"
        + "{\"t_ms\":3,\"conn\":2,\"event\":{\"event\":\"nodes_changed\"}}\n"
        + "{\"t_ms\":4,\"drive\":\"/d/\",\"files\":[{\"path\":\"a/b\",\"size\":3,\"sha256\":\""
        + std::string(64, 'a') + "\"}]}\n"
        + "{\"t_ms\":5,\"conn\":1,\"request\":{\"op\":\"list\"},\"response\":{\"ok\":false,\"error\":\"x\"}}\n";
    Recording recording;
    std::string error;
    ASSERT_TRUE(parseRecording(text, recording, error)) << error;
    ASSERT_EQ(recording.lines.size(), 5u);
    EXPECT_EQ(recording.lines[0].kind, RecordingLine::Kind::Exchange);
    EXPECT_EQ(recording.lines[0].number, 2u);
    EXPECT_EQ(recording.lines[1].response["data"].asString(), "01ff");
    EXPECT_EQ(recording.lines[2].kind, RecordingLine::Kind::Event);
    EXPECT_EQ(recording.lines[2].number, 6u);
    EXPECT_EQ(recording.lines[3].kind, RecordingLine::Kind::Drive);
    EXPECT_EQ(recording.lines[3].root, "/d/");
    EXPECT_EQ(recording.lines[4].tMs, 5);
}

TEST(RecordingReader, RefusesAFileWithoutItsHeaderOrOfAnotherVersion)
{
    EXPECT_EQ(refusal(""), "line 1: empty file: no recording header");
    EXPECT_NE(refusal("{\"t_ms\":0,\"conn\":1,\"event\":{\"event\":\"nodes_changed\"}}\n").find("line 1: no recording header"),
        std::string::npos);
    EXPECT_NE(refusal("{\"recording\":\"tarvel-vbus\",\"version\":2}\n").find("line 1: unknown recording version 2"),
        std::string::npos);
    EXPECT_NE(refusal("{\"recording\":\"tarvel-vbus\"}\n").find("line 1: the header has no version"), std::string::npos);
    EXPECT_NE(refusal("{\"recording\":\"other\",\"version\":1}\n").find("line 1"), std::string::npos);
}

TEST(RecordingReader, NamesTheLineOfABrokenOrIncompleteLine)
{
    const std::string h = kHeader;
    const std::string ok = "{\"t_ms\":1,\"conn\":2,\"event\":{\"event\":\"nodes_changed\"}}\n";
    struct Case {
        std::string body;
        const char* says;
    } cases[] = {
        { ok + "{\"t_ms\":1,\"conn\":2,\"event\":{\"ev", "line 3: cut short" },
        { ok + "not json at all\n", "line 3: not one JSON object" },
        { "[1,2]\n", "line 2: not one JSON object" },
        { "{\"t_ms\":1,\"conn\":1,\"request\":{\"op\":\"open\",\"vid\":1,\"pid\":2},\"response\":{\"ok\":true}}\n",
            "line 2: an open response without a handle" },
        { "{\"t_ms\":1,\"conn\":1,\"request\":{\"op\":\"read\",\"handle\":1,\"max\":4},\"response\":{\"ok\":true}}\n",
            "line 2: a read response whose data" },
        { "{\"t_ms\":1,\"conn\":1,\"request\":{\"op\":\"read\",\"handle\":1,\"max\":4},\"response\":{\"ok\":true,\"data\":\"0g\"}}\n",
            "line 2: a read response whose data" },
        { "{\"t_ms\":1,\"conn\":1,\"request\":{\"op\":\"write\",\"handle\":1,\"data\":\"00\"},\"response\":{\"ok\":true}}\n",
            "line 2: a write response without written" },
        { "{\"t_ms\":1,\"conn\":1,\"request\":{\"op\":\"write\",\"handle\":1},\"response\":{\"ok\":true,\"written\":1}}\n",
            "line 2: a write request whose data" },
        { "{\"t_ms\":1,\"conn\":1,\"request\":{\"op\":\"list\"},\"response\":{\"ok\":true}}\n",
            "line 2: a list response with neither" },
        { "{\"t_ms\":1,\"conn\":1,\"request\":{\"op\":\"list\"}}\n", "line 2: a request without its response" },
        { "{\"t_ms\":1,\"conn\":1,\"request\":{\"op\":\"close\",\"handle\":1},\"response\":{}}\n", "line 2: a response without ok" },
        { "{\"conn\":1,\"event\":{\"event\":\"nodes_changed\"}}\n", "line 2: no t_ms" },
        { "{\"t_ms\":1,\"event\":{\"event\":\"nodes_changed\"}}\n", "line 2: no conn" },
        { "{\"t_ms\":1,\"conn\":1,\"event\":\"nodes_changed\"}\n", "line 2: an event that is not an object" },
        { "{\"t_ms\":5,\"conn\":1,\"event\":{\"event\":\"a\"}}\n{\"t_ms\":4,\"conn\":1,\"event\":{\"event\":\"a\"}}\n",
            "line 3: t_ms goes back" },
        { "{\"t_ms\":1,\"drive\":\"/d/\",\"files\":[{\"path\":\"a\",\"size\":1}]}\n", "line 2: a drive line with a file" },
        { "{\"t_ms\":1,\"drive\":\"/d/\"}\n", "line 2: a drive line without files" },
    };
    for (const Case& c : cases) {
        const std::string error = refusal(h + c.body);
        EXPECT_EQ(error.rfind(c.says, 0), 0u) << "got: " << error << "\nfor: " << c.body;
    }
}

TEST(RecordingReader, RefusesAHugeLineWithoutReadingItAsJson)
{
    std::string huge = kHeader;
    huge += "{\"t_ms\":1,\"x\":\"" + std::string(kMaxRecordingLine, 'a') + "\"}\n";
    EXPECT_EQ(refusal(huge).rfind("line 2: longer than", 0), 0u);
    // Deeply nested: refused as not one object within the limits, not a crash.
    std::string deep = kHeader + std::string(100000, '[') + "\n";
    EXPECT_EQ(refusal(deep).rfind("line 2: not one JSON object", 0), 0u);
}

TEST(Sha256, MatchesTheStandardTestVectors)
{
    auto hash = [](const std::string& text) {
        Sha256 h;
        h.update(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        return h.hexDigest();
    };
    EXPECT_EQ(hash(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hash("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hash("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
        "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // Fed in pieces that straddle the blocks: the same digest.
    Sha256 pieces;
    const std::string million(1000000, 'a');
    for (size_t at = 0; at < million.size(); at += 999)
        pieces.update(reinterpret_cast<const uint8_t*>(million.data()) + at, std::min<size_t>(999, million.size() - at));
    EXPECT_EQ(pieces.hexDigest(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(RecordingWriter, KeepsAnExistingFileUnlessToldAndWritesLinesTheReaderTakes)
{
    TempDir dir;
    const std::string path = dir.path + "/rec.jsonl";
    { std::ofstream(path) << "keep me\n"; }
    RecordingOrigin origin { "test 1", "linux" };
    std::string error;
    {
        RecordingWriter writer;
        EXPECT_FALSE(writer.open(path, false, origin, error));
        EXPECT_NE(error.find("exists already"), std::string::npos);
        EXPECT_EQ(fileText(path), "keep me\n");
    }
    fs::create_directories(dir.path + "/drive/Tarvel");
    { std::ofstream(dir.path + "/drive/Tarvel/ride.fit") << "abc"; }
    {
        RecordingWriter writer;
        ASSERT_TRUE(writer.open(path, true, origin, error)) << error;
        Json::Value request(Json::objectValue), response(Json::objectValue), event(Json::objectValue);
        request["op"] = "close";
        request["handle"] = 3;
        response["ok"] = true;
        writer.request(3, request, response);
        event["event"] = "nodes_changed";
        writer.event(2, event);
        writer.driveTree(dir.path + "/drive/");
        // Flushed per line: readable before the writer is closed.
        Recording recording;
        ASSERT_TRUE(parseRecording(fileText(path), recording, error)) << error;
        EXPECT_EQ(recording.header["program"].asString(), "test 1");
        EXPECT_EQ(recording.header["platform"].asString(), "linux");
        ASSERT_EQ(recording.lines.size(), 3u);
        const Json::Value& file = recording.lines[2].files[0];
        EXPECT_EQ(file["path"].asString(), "Tarvel/ride.fit");
        EXPECT_EQ(file["size"].asUInt64(), 3u);
        EXPECT_EQ(file["sha256"].asString(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    }
    EXPECT_EQ(fileText(path).find("abc\""), std::string::npos); // hashes, never contents
}

namespace {

// A stand-in HID device: answers one report to each write.
class EchoHid : public platform::HidService {
public:
    platform::HidDevice* open(uint16_t vid, uint16_t) override
    {
        return vid == 1 ? reinterpret_cast<platform::HidDevice*>(&m_token) : nullptr;
    }
    int read(platform::HidDevice*, uint8_t* buffer, size_t length, int) override
    {
        if (!m_pending || length < 2)
            return 0;
        m_pending = false;
        buffer[0] = 0xAB;
        buffer[1] = 0xCD;
        return 2;
    }
    int write(platform::HidDevice*, const uint8_t*, size_t length, int) override
    {
        m_pending = true;
        return int(length);
    }
    std::wstring lastError(platform::HidDevice*) override { return L"open failed with error 19: gone"; }
    void close(platform::HidDevice*) override { }
    void shutdown() override { }

private:
    int m_token = 0;
    bool m_pending = false;
};

class FixedUsb : public platform::UsbDeviceService {
public:
    bool presentHardwareIds(std::vector<std::string>& ids) override
    {
        ids = { "USB\\VID_2B29&PID_0055&REV_0100" };
        return true;
    }
};

} // namespace

TEST(SessionRecording, WritesWhatPassesThroughTheInstalledServices)
{
    TempDir dir;
    EchoHid hid;
    FixedUsb usb;
    platform::setHidService(&hid);
    platform::setUsbDeviceService(&usb);
    std::string error;
    ASSERT_TRUE(platform::startSessionRecording(dir.path + "/s.jsonl", false, "test", error)) << error;
    EXPECT_EQ(platform::hidService().open(2, 2), nullptr);
    platform::HidDevice* device = platform::hidService().open(1, 2);
    ASSERT_NE(device, nullptr);
    const uint8_t report[] = { 0x00, 0x01, 0x02 };
    EXPECT_EQ(platform::hidService().write(device, report, sizeof report, 100), 3);
    uint8_t in[8];
    EXPECT_EQ(platform::hidService().read(device, in, sizeof in, 10), 2);
    EXPECT_EQ(platform::hidService().read(device, in, sizeof in, 10), 0);
    platform::hidService().close(device);
    std::vector<std::string> ids;
    EXPECT_TRUE(platform::usbDeviceService().presentHardwareIds(ids));
    platform::stopSessionRecording();
    platform::setHidService(nullptr);
    platform::setUsbDeviceService(nullptr);

    Recording recording;
    ASSERT_TRUE(readRecording(dir.path + "/s.jsonl", recording, error)) << error;
    ASSERT_EQ(recording.lines.size(), 7u);
    const auto& l = recording.lines;
    EXPECT_FALSE(l[0].response["ok"].asBool());
    EXPECT_EQ(l[0].response["error"].asString(), "open failed with error 19: gone");
    EXPECT_EQ(l[1].request["vid"].asInt(), 1);
    const int handle = l[1].response["handle"].asInt();
    EXPECT_EQ(l[2].request["data"].asString(), "000102");
    EXPECT_EQ(l[2].request["handle"].asInt(), handle);
    EXPECT_EQ(l[2].response["written"].asInt(), 3);
    EXPECT_EQ(l[3].response["data"].asString(), "abcd");
    EXPECT_EQ(l[4].response["data"].asString(), "");
    EXPECT_EQ(l[5].request["op"].asString(), "close");
    EXPECT_EQ(l[6].response["usb"][0]["vid"].asInt(), 0x2B29);
    EXPECT_EQ(l[6].response["usb"][0]["pid"].asInt(), 0x55);
}
