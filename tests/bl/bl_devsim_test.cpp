// The tarvel-bl program itself against the device simulator, found through TARVEL_VBUS.
#include "simulator.h"

#include "platform/clock.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <array>
#include <cstdio>
#include <fstream>
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
        m_path = "/tmp/bl-e2e-" + std::to_string(::getpid()) + ".sock";
        devsim::DeviceConfig config;
        config.model = 11;
        config.face = devsim::Face::FlashBootloader;
        m_sim = std::make_unique<devsim::Simulator>(config);
        std::string error;
        ASSERT_TRUE(m_sim->start(m_path, &error)) << error;
    }
    void TearDown() override { m_sim->stop(); }

    Result bl(const std::string& args)
    {
        const std::string line = "TARVEL_VBUS=" + m_path + " " TARVEL_BL_PROGRAM " " + args + " 2>&1";
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

} // namespace
