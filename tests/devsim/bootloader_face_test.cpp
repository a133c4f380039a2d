// The bootloader faces in hand-built packets: a whole update cycle, the flash model's
// refusals, the properties and what garbage gets.

#include "sim_fixture.h"

#include "image.h"

using namespace simtest;

namespace {

constexpr uint8_t kGeneric = 0xA0;

struct Answer {
    uint8_t tag = 0;
    uint32_t status = 0xFFFFFFFF;
    uint32_t answered = 0;
};

} // namespace

class BootloaderTest : public SimTest {
protected:
    void startBootloader(int model = 11, devsim::Face face = devsim::Face::FlashBootloader)
    {
        devsim::DeviceConfig config;
        config.model = model;
        config.face = face;
        startSim(config);
        m_client = std::make_unique<Client>(m_path);
        m_handle = face == devsim::Face::Rom ? m_client->open(0x15A2, 0x73)
                                             : m_client->open(0x2B29, unsigned(model));
        ASSERT_GE(m_handle, 0) << m_client->error;
    }
    Answer command(uint8_t tag, std::vector<uint32_t> params, uint8_t flags = 0)
    {
        m_client->write(m_handle, commandReport(tag, params, flags));
        return answer();
    }
    Answer answer()
    {
        Answer a;
        auto packet = readPacket(*m_client, m_handle);
        if (!packet || packet->reportId != 3)
            return a;
        a.tag = packet->tag();
        a.status = packet->word(0);
        a.answered = packet->word(1);
        return a;
    }
    // write-memory with its data phase; the final generic response.
    Answer writeMemory(uint32_t address, const Bytes& data)
    {
        Answer first = command(0x04, { address, uint32_t(data.size()) }, 0x01);
        if (first.status != 0)
            return first;
        for (size_t at = 0; at < data.size(); at += 32) {
            size_t n = std::min<size_t>(32, data.size() - at);
            m_client->write(m_handle, dataReport(data.data() + at, n));
        }
        return answer();
    }
    Bytes readMemory(uint32_t address, uint32_t count, Answer* final = nullptr)
    {
        m_client->write(m_handle, commandReport(0x03, { address, count }));
        auto first = readPacket(*m_client, m_handle);
        Bytes data;
        if (!first || first->tag() != 0xA3 || first->word(0) != 0)
            return data;
        EXPECT_EQ(first->word(1), count);
        while (data.size() < count) {
            auto packet = readPacket(*m_client, m_handle);
            if (!packet || packet->reportId != 4 || packet->bytes.empty())
                break;
            data.insert(data.end(), packet->bytes.begin(), packet->bytes.end());
        }
        Answer last = answer();
        if (final)
            *final = last;
        return data;
    }
    std::vector<uint32_t> property(uint32_t tag, uint32_t memoryId = 0, uint32_t* status = nullptr)
    {
        m_client->write(m_handle, commandReport(0x07, { tag, memoryId }));
        auto packet = readPacket(*m_client, m_handle);
        std::vector<uint32_t> values;
        if (!packet || packet->tag() != 0xA7)
            return values;
        if (status)
            *status = packet->word(0);
        for (size_t i = 1; 4 + 4 * i < packet->bytes.size(); ++i)
            values.push_back(packet->word(i));
        return values;
    }

    std::unique_ptr<Client> m_client;
    int m_handle = -1;
};

TEST_F(BootloaderTest, EraseWriteReadBackAndResetStartsTheNewApplication)
{
    startBootloader(11);
    EventRecorder events(m_path);
    // The updater's own region: 0x76000 bytes from 0xA000.
    Answer erase = command(0x02, { 0xA000, 0x76000 });
    EXPECT_EQ(erase.tag, kGeneric);
    EXPECT_EQ(erase.status, 0u);
    EXPECT_EQ(erase.answered, 0x02u);
    Bytes image = devsim::buildApplicationImage(11, 0, 14, 51, 20000);
    Answer written = writeMemory(0xA000, image);
    EXPECT_EQ(written.tag, kGeneric);
    EXPECT_EQ(written.status, 0u);
    EXPECT_EQ(written.answered, 0x04u);
    EXPECT_EQ(readMemory(0xA000, uint32_t(image.size())), image);
    // The rest of the erased region reads 0xFF.
    EXPECT_EQ(readMemory(0xA000 + 20000, 64), Bytes(64, 0xFF));

    Answer reset = command(0x0B, {});
    EXPECT_EQ(reset.status, 0u);
    EXPECT_EQ(reset.answered, 0x0Bu);
    ASSERT_TRUE(idle());
    const std::string root = device().driveRoot();
    EXPECT_EQ(events.waitFor(3),
        (std::vector<std::string> { "nodes_changed", "nodes_changed", "volume_arrival " + root }));
    Client app(m_path);
    auto info = readDeviceInfo(app, openApp(app));
    ASSERT_TRUE(info);
    EXPECT_EQ(*info, (Bytes { 0x06, 11, 14, 51, 0x01, 0x00 }));
}

TEST_F(BootloaderTest, ImageOfAJapaneseBuildMakesTheApplicationReportItsIdentity)
{
    startBootloader(15);
    EXPECT_EQ(command(0x02, { 0xA000, 0x76000 }).status, 0u);
    EXPECT_EQ(writeMemory(0xA000, devsim::buildApplicationImage(15, 60, 13, 12, 4096)).status, 0u);
    command(0x0B, {});
    ASSERT_TRUE(idle());
    Client app(m_path);
    auto info = readDeviceInfo(app, openApp(app));
    ASSERT_TRUE(info);
    EXPECT_EQ((*info)[1], 75);
    EXPECT_EQ((*info)[2], 13);
    EXPECT_EQ((*info)[3], 12);
}

TEST_F(BootloaderTest, ResetWithoutAValidApplicationComesBackInTheBootloader)
{
    startBootloader(8);
    EventRecorder events(m_path);
    EXPECT_EQ(command(0x01, { 0 }).status, 0u); // erase all: the application goes, the bootloader stays
    EXPECT_EQ(readMemory(0, 8).size(), 8u);
    EXPECT_NE(readMemory(0, 8), Bytes(8, 0xFF));
    command(0x0B, {});
    ASSERT_TRUE(idle());
    EXPECT_EQ(events.waitFor(2), (std::vector<std::string> { "nodes_changed", "nodes_changed" }));
    EXPECT_EQ(m_client->op("list")["usb"][0]["hwid"].asString(), "USB\\VID_2B29&PID_0008&REV_0100");
}

TEST_F(BootloaderTest, RomFaceOpensTheWholeFlashAndAnErasedPartStaysInRom)
{
    startBootloader(11, devsim::Face::Rom);
    EXPECT_EQ(readMemory(0, 32), Bytes(32, 0xFF)); // nothing programmed
    EXPECT_EQ(command(0x02, { 0x0, 0x1000 }).status, 0u); // no protected region in ROM
    command(0x0B, {});
    ASSERT_TRUE(idle());
    EXPECT_EQ(m_client->op("list")["usb"][0]["hwid"].asString(), "USB\\VID_15A2&PID_0073&REV_0100");
    // Recovery: program an image from ROM and reset into the application.
    m_client = std::make_unique<Client>(m_path);
    m_handle = m_client->open(0x15A2, 0x73);
    EXPECT_EQ(writeMemory(0xA000, devsim::buildApplicationImage(11, 0, 14, 51, 2048)).status, 0u);
    command(0x0B, {});
    ASSERT_TRUE(idle());
    EXPECT_EQ(m_client->op("list")["usb"][0]["hwid"].asString(), "USB\\VID_2B29&PID_0055&REV_0100");
}

TEST_F(BootloaderTest, FlashRefusalsCarryTheirStatusCodes)
{
    startBootloader(11);
    EXPECT_EQ(command(0x02, { 0xA800, 0x1000 }).status, 101u); // start not on a sector
    EXPECT_EQ(command(0x02, { 0xA000, 0x0800 }).status, 101u); // count not whole sectors
    EXPECT_EQ(command(0x02, { 0xFF000, 0x2000 }).status, 102u); // past the end of flash
    EXPECT_EQ(command(0x02, { 0x9000, 0x2000 }).status, 104u); // the bootloader's own sectors
    EXPECT_EQ(command(0x01, { 1 }).status, 4u); // no such memory
    EXPECT_EQ(command(0x04, { 0xA004, 16 }, 1).status, 101u); // misaligned program start
    EXPECT_EQ(command(0x04, { 0xFFFF0, 32 }, 1).status, 10200u); // runs past the flash
    EXPECT_EQ(command(0x04, { 0x40000000, 4 }, 1).status, 10200u); // no memory there
    EXPECT_EQ(command(0x04, { 0x0, 32 }, 1).status, 104u); // the bootloader's own bytes
    EXPECT_EQ(command(0x03, { 0x100000, 4 }).status, 10200u); // read past the end
    EXPECT_EQ(command(0x05, { 0x0, 8, 0xAB }).status, 104u); // fill over the bootloader

    // Programming over the shipped application without an erase: the command is accepted,
    // the first data packet fails, and the final response says why.
    Answer over = writeMemory(0xA000, Bytes(64, 0x00));
    EXPECT_EQ(over.status, 105u);
    EXPECT_EQ(over.answered, 0x04u);
    // The refused data left the flash as it was.
    EXPECT_NE(readMemory(0xA000, 4), Bytes(4, 0x00));
}

TEST_F(BootloaderTest, FillAndRamWritesReadBack)
{
    startBootloader(11);
    EXPECT_EQ(command(0x02, { 0x80000, 0x1000 }).status, 0u);
    EXPECT_EQ(command(0x05, { 0x80000, 10, 0x11223344 }).status, 0u);
    EXPECT_EQ(readMemory(0x80000, 12),
        (Bytes { 0x44, 0x33, 0x22, 0x11, 0x44, 0x33, 0x22, 0x11, 0x44, 0x33, 0xFF, 0xFF }));
    // RAM takes any bytes, written or not.
    EXPECT_EQ(writeMemory(0x1FFF8000, Bytes(40, 0x5A)).status, 0u);
    EXPECT_EQ(writeMemory(0x1FFF8000, Bytes(40, 0xA5)).status, 0u);
    EXPECT_EQ(readMemory(0x1FFF8000, 40), Bytes(40, 0xA5));
}

TEST_F(BootloaderTest, PropertiesDescribeAOneMegabytePart)
{
    startBootloader(11);
    EXPECT_EQ(property(1), std::vector<uint32_t> { 0x4B020100u }); // K2.1.0
    EXPECT_EQ(property(2), std::vector<uint32_t> { 0x10u }); // USB HID
    EXPECT_EQ(property(3), std::vector<uint32_t> { 0u });
    EXPECT_EQ(property(4), std::vector<uint32_t> { 0x100000u });
    EXPECT_EQ(property(5), std::vector<uint32_t> { 0x1000u });
    EXPECT_EQ(property(11), std::vector<uint32_t> { 32u });
    EXPECT_EQ(property(14), std::vector<uint32_t> { 0x1FFF0000u });
    EXPECT_EQ(property(17), std::vector<uint32_t> { 0u });
    EXPECT_EQ(property(18).size(), 4u);
    auto reserved = property(12);
    ASSERT_EQ(reserved.size(), 4u);
    EXPECT_EQ(reserved[0], 0u);
    EXPECT_EQ(reserved[1], 0x9FFFu);
    uint32_t status = 0;
    EXPECT_TRUE(property(9, 0, &status).empty());
    EXPECT_EQ(status, 10300u);
    property(255, 0, &status);
    EXPECT_EQ(status, 10300u);
    property(25, 1, &status);
    EXPECT_EQ(status, 405u);
    // Every bit stays within the 17 command rows, the ones the other tests use are listed,
    // and a command it does not list is answered as unknown.
    uint32_t commands = property(7).at(0);
    EXPECT_EQ(commands >> 17, 0u);
    for (uint8_t tag : { 0x01, 0x02, 0x03, 0x04, 0x05, 0x07, 0x0B, 0x0C })
        EXPECT_TRUE(commands & (1u << (tag - 1))) << int(tag);
    for (uint8_t tag = 1; tag <= 17; ++tag) {
        if (commands & (1u << (tag - 1)))
            continue;
        Answer a = command(tag, { 0, 0 });
        EXPECT_EQ(a.status, 10000u) << "tag " << int(tag);
        EXPECT_EQ(a.answered, tag);
    }
}

TEST_F(BootloaderTest, SetPropertyTakesWritableOnesOnly)
{
    startBootloader(11);
    EXPECT_EQ(command(0x0C, { 10, 0 }).status, 0u);
    EXPECT_EQ(property(10), std::vector<uint32_t> { 0u });
    EXPECT_EQ(command(0x0C, { 10, 7 }).status, 10302u);
    EXPECT_EQ(command(0x0C, { 4, 0x200000 }).status, 10301u);
    EXPECT_EQ(command(0x0C, { 200, 1 }).status, 10300u);
}

TEST_F(BootloaderTest, GarbagePacketsGetWhatTheDeviceWouldDo)
{
    startBootloader(11);
    EXPECT_EQ(command(0x30, {}).status, 10000u); // unknown tag
    EXPECT_EQ(command(0x09, { 0xA401, 0, 0 }).status, 10000u); // execute is not carried out
    // A parameter count larger than the packet: invalid argument.
    Bytes bad = commandReport(0x02, { 0xA000 });
    bad[7] = 5;
    m_client->write(m_handle, bad);
    EXPECT_EQ(answer().status, 4u);
    // A length beyond 32 bytes, a data packet outside any data phase, an empty command:
    // dropped without an answer.
    Bytes tooLong = commandReport(0x07, { 1, 0 });
    tooLong[2] = 40;
    m_client->write(m_handle, tooLong);
    Bytes data(8, 0x12);
    m_client->write(m_handle, dataReport(data.data(), data.size()));
    m_client->write(m_handle, commandReport(0x07, {}) /* count 0, length 4 */);
    EXPECT_EQ(answer().status, 4u); // get-property without its property
    auto nothing = m_client->read(m_handle, 0, 36);
    ASSERT_TRUE(nothing);
    EXPECT_TRUE(nothing->empty());
    // Reports the bootloader has no use for are refused by the bus like an unknown report id.
    EXPECT_FALSE(m_client->write(m_handle, Bytes { 3, 0, 0, 0 })["ok"].asBool());
    EXPECT_FALSE(m_client->write(m_handle, Bytes(37, 1))["ok"].asBool());
    // And it still answers.
    EXPECT_EQ(property(4), std::vector<uint32_t> { 0x100000u });
}
