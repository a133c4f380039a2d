// tarvel-bl over a serial line: the simulator's bootloader face on a pseudo-terminal, spoken
// to directly and through the bus bridge, and lines that misbehave. Everything lives in a
// private folder; every run of the program is bounded by `timeout`.
#include "serial_face.h"
#include "simulator.h"

#include "platform/clock.h"
#include "platform/serial_port.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

struct Result {
    int code = -1;
    std::string out;
    double seconds = 0;
};

Result run(const std::string& args)
{
    const std::string line = "timeout 60 " TARVEL_BL_PROGRAM " " + args + " 2>&1";
    Result r;
    const auto start = std::chrono::steady_clock::now();
    FILE* pipe = ::popen(line.c_str(), "r");
    if (!pipe)
        return r;
    std::array<char, 4096> buffer;
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        r.out.append(buffer.data(), n);
    const int status = ::pclose(pipe);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
}

std::string slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

class BlOverSerial : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        platform::setTimeScale(0.0);
        char dir[] = "/tmp/bl-serial-XXXXXX";
        ASSERT_TRUE(::mkdtemp(dir));
        m_dir = dir;
        devsim::DeviceConfig config;
        config.model = 11;
        config.face = devsim::Face::FlashBootloader;
        m_sim = std::make_unique<devsim::Simulator>(config);
        std::string error;
        ASSERT_TRUE(m_sim->start(m_dir + "/bus.sock", &error)) << error;
        devsim::SerialFaceConfig serial;
        serial.linkPath = m_dir + "/tty";
        serial.busPal = GetParam();
        m_face = std::make_unique<devsim::SerialFace>(m_sim->device(), serial);
        ASSERT_TRUE(m_face->start(&error)) << error;
    }
    void TearDown() override
    {
        m_face.reset();
        m_sim->stop();
        std::filesystem::remove_all(m_dir);
        platform::setTimeScale(1.0);
    }
    std::string port() const { return "--port " + m_dir + "/tty" + (GetParam() ? " --buspal spi" : ""); }

    std::string m_dir;
    std::unique_ptr<devsim::Simulator> m_sim;
    std::unique_ptr<devsim::SerialFace> m_face;
};

TEST_P(BlOverSerial, PingPropertiesEraseWriteReadBackAndReset)
{
    Result r = run(port() + " --ping");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out, "Framing protocol version = P1.2.0 (0x50010200), options = 0x0\n");

    r = run(port() + " get-property current-version");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("Current Version = K2.1.0"), std::string::npos) << r.out;

    const std::string image = m_dir + "/image.bin";
    const std::string back = m_dir + "/back.bin";
    std::string bytes(20000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = char((i * 13 + 5) & 0xFF);
    std::ofstream(image, std::ios::binary) << bytes;

    r = run(port() + " -- flash-erase-region 0xa000 0x5000");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out, "Response status = 0 (0x0) Success.\n");
    r = run(port() + " -- write-memory 0xa000 " + image);
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("Wrote 20000 of 20000 bytes."), std::string::npos) << r.out;
    r = run(port() + " -- read-memory 0xa000 20000 " + back);
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(slurp(back) == bytes);
    std::vector<uint8_t> flash = m_sim->device().flashContents();
    ASSERT_GE(flash.size(), 0xA000u + bytes.size());
    EXPECT_EQ(std::memcmp(flash.data() + 0xA000, bytes.data(), bytes.size()), 0);

    // Programmed bytes cannot be programmed again: the device says so, exit 1.
    r = run(port() + " -- write-memory 0xa000 {{00}}");
    EXPECT_EQ(r.code, 1) << r.out;

    r = run(port() + " reset");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(m_sim->device().waitIdle(10000));
}

TEST_P(BlOverSerial, ADeviceThatLeavesMidTransferEndsInAStatus)
{
    Result r = run(port() + " -- flash-erase-region 0xa000 0x8000");
    ASSERT_EQ(r.code, 0) << r.out;
    devsim::Fault fault;
    fault.kind = devsim::FaultKind::DisconnectInDataPhase;
    fault.afterBytes = 4096;
    fault.comesBack = false;
    m_sim->device().injectFault(fault);
    const std::string image = m_dir + "/image.bin";
    std::ofstream(image, std::ios::binary) << std::string(0x8000, '\x42');
    r = run("--timeout 1000 " + port() + " -- write-memory 0xa000 " + image);
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_LT(r.seconds, 20.0);
    EXPECT_EQ(r.out.find("Wrote 32768"), std::string::npos) << r.out;
}

TEST_P(BlOverSerial, EveryBridgeBusReachesTheBootloader)
{
    if (!GetParam())
        GTEST_SKIP() << "a bridge test";
    for (const char* bus : { "i2c", "i2c,0x22,400", "can", "can,2,0x100,0x200", "spi,,0,0,1" }) {
        const Result r
            = run("--port " + m_dir + "/tty --buspal " + bus + " --ping get-property flash-sector-size");
        EXPECT_EQ(r.code, 0) << bus << ": " << r.out;
        EXPECT_NE(r.out.find("Framing protocol version = P1.2.0"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Flash Sector Size = 4 KB"), std::string::npos) << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Uart, BlOverSerial, ::testing::Values(false));
INSTANTIATE_TEST_SUITE_P(BusPalSpi, BlOverSerial, ::testing::Values(true));

// Lines that cannot be used: exit 3 with the constructor's text, quickly.
TEST(BlSerialLine, MissingBusyAndGarbageLinesAreNoConnection)
{
    char dir[] = "/tmp/bl-serial-bad-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string base = dir;

    Result r = run("--port " + base + "/ttyNONE,9600 get-property 1");
    EXPECT_EQ(r.code, 3) << r.out;
    EXPECT_EQ(
        r.out, "Error: UartPeripheral() cannot open PC UART port(" + base + "/ttyNONE), speed(9600 Hz).\n");

    // A line whose far end talks garbage and never a start byte.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    char name[128] = {};
    ASSERT_EQ(::ptsname_r(master, name, sizeof name), 0);
    const int keep = ::open(name, O_RDWR | O_NOCTTY); // keeps the line up between programs
    std::atomic<bool> stop { false };
    std::thread garbage([&] {
        uint8_t junk[64];
        for (size_t i = 0; i < sizeof junk; ++i)
            junk[i] = uint8_t(0xA0 + i % 7); // never 0x5A
        while (!stop) {
            (void)!::write(master, junk, sizeof junk);
            uint8_t sink[256];
            fcntl(master, F_SETFL, O_NONBLOCK);
            while (::read(master, sink, sizeof sink) > 0) { }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    r = run(std::string("--port ") + name + " get-property 1");
    EXPECT_EQ(r.code, 3) << r.out;
    EXPECT_EQ(r.out, "Error: Initial ping failure: No response received for ping command.\n");
    EXPECT_LT(r.seconds, 10.0);
    r = run(std::string("--port ") + name + " --buspal i2c get-property 1");
    EXPECT_EQ(r.code, 3) << r.out;
    EXPECT_EQ(r.out,
        "Error: enter bit bang mode failed\nDumping any remaining data...\n"
        "Error: BusPalUartPeripheral() cannot enter BitBang Mode.\n");

    // Busy: another program holds the line.
    {
        auto holder = platform::openSerialPort(name, 115200);
        ASSERT_TRUE(holder);
        r = run(std::string("--port ") + name + " get-property 1");
        EXPECT_EQ(r.code, 3) << r.out;
        EXPECT_EQ(r.out,
            std::string("Error: UartPeripheral() cannot open PC UART port(") + name
                + "), speed(115200 Hz).\n");
    }
    stop = true;
    garbage.join();
    ::close(keep);
    ::close(master);

    // The command line itself.
    r = run("--port " + base + "/tty,12 reset");
    EXPECT_EQ(r.code, 2) << r.out;
    r = run("--buspal spi reset");
    EXPECT_EQ(r.code, 2) << r.out;
    r = run("--port x --buspal usb reset");
    EXPECT_EQ(r.code, 2) << r.out;
    EXPECT_NE(r.out.find("--buspal: bad value 'usb'"), std::string::npos) << r.out;
    r = run("--port x --buspal spi,100,2 reset");
    EXPECT_EQ(r.code, 2) << r.out;
    ::rmdir(dir);
}

} // namespace
