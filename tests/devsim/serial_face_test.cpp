// The device end of the serial line: the framing target over the bootloader face, the bus
// bridge's command set, and the pseudo-terminal that carries them.
#include "framing_target.h"
#include "serial_face.h"

#include "crc/crc16.h"
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using devsim::Bytes;

uint16_t crcOf(const Bytes& bytes)
{
    Crc16State s;
    crc16_init(&s);
    crc16_update(&s, bytes.data(), uint32_t(bytes.size()));
    uint16_t crc = 0;
    crc16_finalize(&s, &crc);
    return crc;
}

Bytes frame(uint8_t type, const Bytes& payload)
{
    Bytes f = { 0x5A, type, uint8_t(payload.size()), 0 };
    Bytes covered = f;
    covered.insert(covered.end(), payload.begin(), payload.end());
    const uint16_t crc = crcOf(covered);
    f.push_back(uint8_t(crc));
    f.push_back(uint8_t(crc >> 8));
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

Bytes le32(std::initializer_list<uint32_t> words)
{
    Bytes out;
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i)
            out.push_back(uint8_t(w >> (8 * i)));
    return out;
}

Bytes command(uint8_t tag, std::initializer_list<uint32_t> params)
{
    Bytes p = { tag, 0, 0, uint8_t(params.size()) };
    const Bytes words = le32(params);
    p.insert(p.end(), words.begin(), words.end());
    return p;
}

struct Target : ::testing::Test {
    std::unique_ptr<devsim::Device> device;
    std::unique_ptr<devsim::FramingTarget> target;

    void SetUp() override
    {
        platform::setTimeScale(0.0);
        devsim::DeviceConfig config;
        config.face = devsim::Face::FlashBootloader;
        device = std::make_unique<devsim::Device>(config);
        std::string error;
        ASSERT_TRUE(device->init(error)) << error;
        target = std::make_unique<devsim::FramingTarget>(*device);
    }
    void TearDown() override
    {
        target.reset();
        device->shutdown();
        platform::setTimeScale(1.0);
    }
    void send(const Bytes& bytes) { target->receive(bytes.data(), bytes.size()); }
    Bytes take()
    {
        target->poll();
        Bytes out(target->output().begin(), target->output().end());
        target->output().clear();
        return out;
    }
};

TEST_F(Target, AnswersPingAndCommandsWithAckThenTheResponseFrame)
{
    send({ 0x00, 0x13, 0x5A, 0xA6 }); // noise first
    Bytes answer = { 0x5A, 0xA7, 0x00, 0x02, 0x01, 0x50, 0x00, 0x00 };
    const uint16_t crc = crcOf(answer);
    answer.push_back(uint8_t(crc));
    answer.push_back(uint8_t(crc >> 8));
    EXPECT_EQ(take(), answer);

    send(frame(0xA4, command(0x07, { 1, 0 })));
    Bytes expected = { 0x5A, 0xA1 };
    const Bytes response = frame(0xA4, Bytes { 0xA7, 0, 0, 2, 0, 0, 0, 0, 0x00, 0x01, 0x02, 0x4B });
    expected.insert(expected.end(), response.begin(), response.end());
    EXPECT_EQ(take(), expected);
    // A Nak brings the same frame again; an Ack ends it.
    send({ 0x5A, 0xA2 });
    EXPECT_EQ(take(), response);
    send({ 0x5A, 0xA1 });
    EXPECT_TRUE(take().empty());
}

TEST_F(Target, RefusesDamagedPacketsAndSendsDataOnePacketPerAck)
{
    Bytes bad = frame(0xA4, command(0x07, { 1, 0 }));
    bad.back() ^= 0x01;
    send(bad);
    EXPECT_EQ(take(), Bytes({ 0x5A, 0xA2 }));
    send({ 0x5A, 0xA4, 40, 0, 0, 0 }); // longer than any packet
    EXPECT_EQ(take(), Bytes({ 0x5A, 0xA2 }));
    EXPECT_EQ(target->packetsIn(), 0u);

    // read-memory of 40 bytes: the response, then one data frame per Ack, then the final one.
    send(frame(0xA4, command(0x03, { 0, 40 })));
    Bytes first = take();
    ASSERT_GE(first.size(), 8u);
    EXPECT_EQ(Bytes(first.begin(), first.begin() + 4), Bytes({ 0x5A, 0xA1, 0x5A, 0xA4 }));
    EXPECT_TRUE(take().empty()); // nothing more until the host acknowledges
    send({ 0x5A, 0xA1 });
    Bytes data1 = take();
    ASSERT_EQ(data1.size(), 6u + 32u);
    EXPECT_EQ(data1[1], 0xA5);
    send({ 0x5A, 0xA1 });
    EXPECT_EQ(take().size(), 6u + 8u);
    send({ 0x5A, 0xA1 });
    Bytes last = take();
    ASSERT_EQ(last.size(), 6u + 12u);
    EXPECT_EQ(last[6], 0xA0); // the generic response
}

TEST_F(Target, ADeviceThatGivesUpADataPhaseAnswersWithAckAbort)
{
    send(frame(0xA4, command(0x02, { 0xA000, 0x1000 })));
    take();
    send({ 0x5A, 0xA1 });
    take();
    devsim::Fault fault;
    fault.kind = devsim::FaultKind::AbortDataPhase;
    device->injectFault(fault);
    send(frame(0xA4, command(0x04, { 0xA000, 64 })));
    take();
    send({ 0x5A, 0xA1 });
    take();
    send(frame(0xA5, Bytes(32, 0x11)));
    Bytes out = take();
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 2), Bytes({ 0x5A, 0xA3 }));
    // The generic response with 10002 follows.
    ASSERT_EQ(out.size(), 2u + 6u + 12u);
    EXPECT_EQ(Bytes(out.begin() + 12, out.begin() + 16), le32({ 10002 }));
}

TEST_F(Target, BridgeAnswersItsCommandSetAndCarriesTransfers)
{
    devsim::BusPalBridge bridge(*target);
    auto in = [&](const Bytes& b) {
        bridge.receive(b.data(), b.size());
        Bytes out(bridge.output().begin(), bridge.output().end());
        bridge.output().clear();
        return out;
    };
    EXPECT_TRUE(in({ 0x01, 0x02 }).empty()); // nothing before bit-bang mode
    EXPECT_EQ(in({ 0x00 }), Bytes({ 'B', 'B', 'I', 'O', '1' }));
    EXPECT_EQ(in({ 0x01 }), Bytes({ 'S', 'P', 'I', '1' }));
    EXPECT_EQ(in({ 0x60, 0x64, 0x00 }), Bytes {}); // incomplete: waits for the rest
    EXPECT_EQ(in({ 0x00, 0x00, 0x86 }), Bytes({ 0x01, 0x01 }));
    // A ping written, then three bytes read: the start of the answer.
    EXPECT_EQ(in({ 0x04, 0x02, 0x00, 0x00, 0x00, 0x5A, 0xA6 }), Bytes({ 0x01 }));
    EXPECT_EQ(in({ 0x04, 0x00, 0x00, 0x03, 0x00 }), Bytes({ 0x01, 0x5A, 0xA7, 0x00 }));
    // An idle target reads as zeros past its last byte.
    const Bytes rest = in({ 0x04, 0x00, 0x00, 0x09, 0x00 });
    ASSERT_EQ(rest.size(), 10u);
    EXPECT_EQ(Bytes(rest.begin(), rest.begin() + 6), Bytes({ 0x01, 0x02, 0x01, 0x50, 0x00, 0x00 }));
    EXPECT_EQ(Bytes(rest.begin() + 8, rest.end()), Bytes({ 0x00, 0x00 }));
    EXPECT_EQ(in({ 0x00, 0x02 }), Bytes({ 'B', 'B', 'I', 'O', '1', 'I', '2', 'C', '1' }));
    EXPECT_EQ(in({ 0x70, 0x10 }), Bytes({ 0x01 }));
    EXPECT_EQ(in({ 0x04 }), Bytes({ 0x00 })); // the SPI transfer means nothing in I2C mode
}

TEST(SerialFace, ServesOnAPseudoTerminalLinkedWhereAsked)
{
    platform::setTimeScale(0.0);
    devsim::DeviceConfig config;
    config.face = devsim::Face::FlashBootloader;
    devsim::Device device(config);
    std::string error;
    ASSERT_TRUE(device.init(error)) << error;

    char dir[] = "/tmp/serial-face-test-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    devsim::SerialFaceConfig faceConfig;
    faceConfig.linkPath = std::string(dir) + "/tty";
    {
        devsim::SerialFace face(device, faceConfig);
        ASSERT_TRUE(face.start(&error)) << error;
        char target[256] = {};
        ASSERT_GT(::readlink(faceConfig.linkPath.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(face.slavePath(), target);

        const int fd = ::open(faceConfig.linkPath.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios tio {};
        ::tcgetattr(fd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
        ASSERT_EQ(::write(fd, "\x5a\xa6", 2), 2);
        uint8_t answer[10] = {};
        size_t got = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (got < sizeof answer && std::chrono::steady_clock::now() < deadline) {
            pollfd p { fd, POLLIN, 0 };
            if (::poll(&p, 1, 100) > 0) {
                const ssize_t n = ::read(fd, answer + got, sizeof answer - got);
                if (n > 0)
                    got += size_t(n);
            }
        }
        EXPECT_EQ(got, sizeof answer);
        EXPECT_EQ(answer[1], 0xA7);
        ::close(fd);

        // A file of the user's is never replaced by the link.
        devsim::SerialFaceConfig taken = faceConfig;
        taken.linkPath = std::string(dir) + "/file";
        FILE* f = std::fopen(taken.linkPath.c_str(), "w");
        ASSERT_TRUE(f);
        std::fclose(f);
        devsim::SerialFace refused(device, taken);
        EXPECT_FALSE(refused.start(&error));
        struct stat st { };
        EXPECT_EQ(::lstat(taken.linkPath.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        ::unlink(taken.linkPath.c_str());
    }
    struct stat st { };
    EXPECT_NE(::lstat(faceConfig.linkPath.c_str(), &st), 0); // the link goes with the face
    ::rmdir(dir);
    device.shutdown();
    platform::setTimeScale(1.0);
}

// A paced line answers no sooner than its bytes take on the wire: the ping's 2 bytes in, then
// the 10-byte answer going out at the line's rate (at 2400 baud, 4.17 ms a byte), so nothing
// of it is there before 12 byte times.
TEST(SerialFace, APacedLineTakesItsBytesTime)
{
    platform::setTimeScale(0.0);
    devsim::DeviceConfig config;
    config.face = devsim::Face::FlashBootloader;
    devsim::Device device(config);
    std::string error;
    ASSERT_TRUE(device.init(error)) << error;

    char dir[] = "/tmp/serial-face-test-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    devsim::SerialFaceConfig faceConfig;
    faceConfig.linkPath = std::string(dir) + "/tty";
    faceConfig.baudRate = 2400;
    {
        devsim::SerialFace face(device, faceConfig);
        ASSERT_TRUE(face.start(&error)) << error;
        const int fd = ::open(faceConfig.linkPath.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios tio {};
        ::tcgetattr(fd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(::write(fd, "\x5a\xa6", 2), 2);
        uint8_t answer[10] = {};
        size_t got = 0;
        std::chrono::steady_clock::duration firstByte {};
        const auto deadline = start + std::chrono::seconds(5);
        while (got < sizeof answer && std::chrono::steady_clock::now() < deadline) {
            pollfd p { fd, POLLIN, 0 };
            if (::poll(&p, 1, 100) > 0) {
                const ssize_t n = ::read(fd, answer + got, sizeof answer - got);
                if (n > 0 && got == 0)
                    firstByte = std::chrono::steady_clock::now() - start;
                if (n > 0)
                    got += size_t(n);
            }
        }
        ::close(fd);
        ASSERT_EQ(got, sizeof answer);
        EXPECT_EQ(answer[1], 0xA7);
        const auto byteTime = std::chrono::microseconds(10'000'000 / 2400);
        EXPECT_GE(firstByte, 12 * byteTime);
    }
    ::rmdir(dir);
    device.shutdown();
    platform::setTimeScale(1.0);
}

} // namespace
