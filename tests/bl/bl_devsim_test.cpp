// The tarvel-bl program itself against the device simulator, found through TARVEL_VBUS.
#include "simulator.h"

#include "platform/clock.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Result {
    int code = -1;
    std::string out;
};

class BlOnTheBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::setTimeScale(0.0);
        char folder[] = "/tmp/bl-e2e-XXXXXX";
        ASSERT_NE(::mkdtemp(folder), nullptr);
        m_folder = folder;
        m_path = m_folder + "/bus.sock";
        devsim::DeviceConfig config;
        config.model = 11;
        config.face = devsim::Face::FlashBootloader;
        m_sim = std::make_unique<devsim::Simulator>(config);
        std::string error;
        ASSERT_TRUE(m_sim->start(m_path, &error)) << error;
    }
    void TearDown() override
    {
        m_sim->stop();
        std::filesystem::remove_all(m_folder);
    }

    // Standard output and error together, or (stdoutOnly) standard output alone.
    Result bl(const std::string& args, bool stdoutOnly = false, const std::string& bus = "")
    {
        const std::string line = "TARVEL_VBUS=" + (bus.empty() ? m_path : bus) + " " TARVEL_BL_PROGRAM " "
            + args + (stdoutOnly ? " 2>/dev/null" : " 2>&1");
        Result r;
        FILE* pipe = ::popen(line.c_str(), "r");
        if (!pipe)
            return r;
        std::array<char, 4096> buffer;
        size_t n;
        while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
            r.out.append(buffer.data(), n);
        const int status = ::pclose(pipe);
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return r;
    }

    std::string m_folder;
    std::string m_path;
    std::unique_ptr<devsim::Simulator> m_sim;
};

TEST_F(BlOnTheBus, EraseWriteReadBackAndProperties)
{
    const std::string image = ::testing::TempDir() + "bl_e2e_image.bin";
    const std::string back = ::testing::TempDir() + "bl_e2e_back.bin";
    std::string bytes(100000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = char((i * 7 + 3) & 0xFF);
    std::ofstream(image, std::ios::binary) << bytes;

    Result r = bl("--usb 0x2b29:0x0b -- flash-erase-region 0xa000 0x19000");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out, "Response status = 0 (0x0) Success.\n");

    r = bl("--usb 0x2b29:0x0b -- write-memory 0xa000 " + image);
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("Wrote 100000 of 100000 bytes."), std::string::npos) << r.out;

    r = bl("--usb 0x2b29:0x0b read-memory 0xa000 100000 " + back);
    EXPECT_EQ(r.code, 0) << r.out;
    std::ifstream f(back, std::ios::binary);
    const std::string read((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(read == bytes) << read.size();

    r = bl("--usb 0x2b29:0x0b --json get-property flash-size-in-bytes");
    EXPECT_EQ(r.code, 0) << r.out;
    Json::Value json;
    ASSERT_TRUE(Json::Reader().parse(r.out, json)) << r.out;
    EXPECT_EQ(json["response"][0].asUInt(), 1u << 20);

    r = bl("--usb 0x2b29:0x0b get-property available-commands");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("Available Commands = flash-erase-all, "), std::string::npos) << r.out;

    // Programming over programmed bytes fails on the device: exit 1.
    r = bl("--usb 0x2b29:0x0b write-memory 0xa000 {{00}}");
    EXPECT_EQ(r.code, 1) << r.out;

    r = bl("--usb 0x2b29:0x0c reset");
    EXPECT_EQ(r.code, 3) << r.out;
    std::remove(image.c_str());
    std::remove(back.c_str());
}

TEST_F(BlOnTheBus, AWriteTheDeviceAbortsReportsItsStatusAndTheBytesItTook)
{
    const std::string image = m_folder + "/image.bin";
    std::ofstream(image, std::ios::binary) << std::string(20000, '\x5A');
    EXPECT_EQ(bl("--usb 0x2b29:0x0b -- flash-erase-region 0xa000 0x5000").code, 0);
    devsim::Fault abort;
    abort.kind = devsim::FaultKind::AbortDataPhase;
    abort.afterBytes = 4096;
    m_sim->device().injectFault(abort);
    Result r = bl("--usb 0x2b29:0x0b -- write-memory 0xa000 " + image);
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("Response status = 10002 (0x2712) kStatus_AbortDataPhase"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Wrote 4096 of 20000 bytes."), std::string::npos) << r.out;
}

TEST_F(BlOnTheBus, NumbersBeyond32BitsAreUsageErrors)
{
    EXPECT_EQ(bl("--usb 0x2b29:0x0b -- flash-erase-region 0xa000 0x8000").code, 0);
    EXPECT_EQ(bl("--usb 0x2b29:0x0b -- write-memory 0xa000 {{0102}}").code, 0);
    for (const char* line : { "flash-erase-region 0xa000 0x100000000", "read-memory 0xa000 0x100000004",
             "get-property 4294967297" }) {
        Result r = bl(std::string("--usb 0x2b29:0x0b -- ") + line);
        EXPECT_EQ(r.code, 2) << line << "\n" << r.out;
        EXPECT_NE(r.out.find("usage: tarvel-bl"), std::string::npos) << r.out;
    }
    const std::vector<uint8_t> flash = m_sim->device().flashContents();
    EXPECT_EQ(flash[0xa000], 0x01); // nothing was erased
}

TEST_F(BlOnTheBus, ReadMemoryOutputIsWholeOrTheOldFileStays)
{
    const std::string out = m_folder + "/out.bin";
    std::ofstream(out, std::ios::binary) << "kept";
    // Beyond the flash: the device refuses, the file stays.
    Result r = bl("--usb 0x2b29:0x0b read-memory 0xfffff000 16 " + out);
    EXPECT_EQ(r.code, 1) << r.out;
    std::ifstream in(out, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "kept");
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(m_folder))
        ++entries;
    EXPECT_EQ(entries, 2u); // the socket and the file: no temporary file left

    r = bl("--usb 0x2b29:0x0b read-memory 0xa000 16 /dev/full");
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("cannot write output data file '/dev/full'"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Success"), std::string::npos) << r.out;
}

TEST_F(BlOnTheBus, JsonModePrintsOnlyJsonOnStandardOutput)
{
    Json::Value json;
    Result r = bl("--usb 0x2b29:0x0b --json read-memory 0xa000 20", true);
    EXPECT_EQ(r.code, 0);
    ASSERT_TRUE(Json::Reader().parse(r.out, json)) << r.out;
    EXPECT_EQ(json["status"]["value"].asInt(), 0);

    r = bl("--usb 0x2b29:0x0b --json write-memory 0xa000 " + m_folder + "/missing.bin", true);
    EXPECT_EQ(r.code, 1);
    ASSERT_TRUE(Json::Reader().parse(r.out, json)) << r.out;
    EXPECT_NE(json["error"].asString().find("cannot open input data file"), std::string::npos) << r.out;

    r = bl("--usb 0x2b29:0x0b --json read-memory 0xa000 0x100000004", true);
    EXPECT_EQ(r.code, 2);
    ASSERT_TRUE(Json::Reader().parse(r.out, json)) << r.out;
    EXPECT_EQ(json["exit_status"].asInt(), 2);

    r = bl("--usb 0x2b29:0x0c --json reset", true);
    EXPECT_EQ(r.code, 3);
    ASSERT_TRUE(Json::Reader().parse(r.out, json)) << r.out;
    EXPECT_NE(json["error"].asString().find("cannot open USB HID device"), std::string::npos);
}

TEST_F(BlOnTheBus, WriteMemoryInputIsCheckedBeforeTheDeviceIsAsked)
{
    const std::string empty = m_folder + "/empty.bin";
    std::ofstream(empty).close();
    const auto start = std::chrono::steady_clock::now();
    Result r = bl("--usb 0x2b29:0x0b write-memory 0xa000 " + empty);
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("is empty"), std::string::npos) << r.out;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)); // no wait on the device
    r = bl("--usb 0x2b29:0x0b write-memory 0xa000 " + m_folder);
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("is not a file"), std::string::npos) << r.out;
    EXPECT_EQ(bl("--usb 0x2b29:0x0b write-memory 0xa000 '{{0102'").code, 2);
    EXPECT_EQ(bl("--usb 0x2b29:0x0b write-memory 0xa000 '{{010}}'").code, 2);
}

TEST_F(BlOnTheBus, ConnectionErrorsSayWhatIsWrong)
{
    Result r = bl("--usb 0x2b29:0x0b reset", false, m_folder + "/no-such.sock");
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.out.find("No such file or directory"), std::string::npos) << r.out;

    // The device is there in another face: the identities present are named.
    r = bl("--usb 0x2b29:0x55 reset");
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.out.find("present: USB\\VID_2B29&PID_000B"), std::string::npos) << r.out;

    // A bus that takes the connection and never answers: --timeout bounds the wait.
    const std::string silent = m_folder + "/silent.sock";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, silent.c_str(), silent.size() + 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    const auto start = std::chrono::steady_clock::now();
    r = bl("--usb 0x2b29:0x0b --timeout 300 reset", false, silent);
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.out.find("did not answer hello"), std::string::npos) << r.out;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    ::close(fd);
}

} // namespace
