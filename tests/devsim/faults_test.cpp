// Every fault, injected through the control op at a chosen moment, and what the host sees.

#include "sim_fixture.h"

#include "image.h"

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace simtest;

class FaultTest : public SimTest {
protected:
    void inject(Json::Value fault)
    {
        fault["op"] = "sim.fault";
        Client control(m_path);
        ASSERT_TRUE(control.call(fault)["ok"].asBool());
    }
    static Json::Value fault(const char* name)
    {
        Json::Value f(Json::objectValue);
        f["fault"] = name;
        return f;
    }
    std::optional<Bytes> infoReport(Client& client, int handle)
    {
        client.write(handle, hostReport(commandFrame(0x06)));
        return client.read(handle, 50);
    }
};

TEST_F(FaultTest, SilenceSwallowsTheChosenCommandsOnly)
{
    startSim();
    Json::Value f = fault("silence");
    f["skip"] = 1;
    f["count"] = 2;
    inject(f);
    Client client(m_path);
    int handle = openApp(client);
    auto answered = [&] {
        auto report = infoReport(client, handle);
        return report && !report->empty();
    };
    EXPECT_TRUE(answered()); // skipped
    EXPECT_FALSE(answered()); // silent
    EXPECT_FALSE(answered()); // silent
    EXPECT_TRUE(answered()); // the fault is used up
}

TEST_F(FaultTest, LostAndRepeatedReports)
{
    startSim();
    Client client(m_path);
    int handle = openApp(client);
    inject(fault("drop_report"));
    auto lost = infoReport(client, handle);
    ASSERT_TRUE(lost);
    EXPECT_TRUE(lost->empty());
    inject(fault("repeat_report"));
    auto first = infoReport(client, handle);
    auto second = client.read(handle, 50);
    ASSERT_TRUE(first && second);
    EXPECT_FALSE(first->empty());
    EXPECT_EQ(*first, *second);
    auto third = client.read(handle, 0);
    EXPECT_TRUE(third && third->empty());
}

TEST_F(FaultTest, CorruptedCrcStillCarriesTheEchoCode)
{
    startSim();
    Client client(m_path);
    int handle = openApp(client);
    inject(fault("corrupt_crc"));
    auto report = infoReport(client, handle);
    ASSERT_TRUE(report);
    EXPECT_FALSE(frameBody(*report)); // the check fails
    EXPECT_EQ((*report)[1], 0x06); // but the first frame byte is the echo
    auto good = infoReport(client, handle);
    ASSERT_TRUE(good);
    EXPECT_TRUE(frameBody(*good));
}

TEST_F(FaultTest, ErrorStatusFromAChosenBootloaderCommand)
{
    devsim::DeviceConfig config;
    config.face = devsim::Face::FlashBootloader;
    startSim(config);
    Json::Value f = fault("status");
    f["tag"] = 0x02;
    f["status"] = 105;
    inject(f);
    Client client(m_path);
    int handle = client.open(0x2B29, 11);
    client.write(handle, commandReport(0x07, { 4, 0 })); // another command is not affected
    EXPECT_EQ(readPacket(client, handle)->word(0), 0u);
    client.write(handle, commandReport(0x02, { 0xA000, 0x1000 }));
    auto packet = readPacket(client, handle);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->tag(), 0xA0);
    EXPECT_EQ(packet->word(0), 105u);
    EXPECT_EQ(packet->word(1), 0x02u);
    // Nothing was erased.
    EXPECT_EQ(device().flashContents()[0xA000], devsim::buildApplicationImage(11, 0, 7, 63, 0x8000)[0]);
}

TEST_F(FaultTest, DisconnectInTheMiddleOfAWriteDataPhase)
{
    devsim::DeviceConfig config;
    config.face = devsim::Face::FlashBootloader;
    startSim(config);
    EventRecorder events(m_path);
    Json::Value f = fault("disconnect_data_phase");
    f["after_bytes"] = 100;
    inject(f);
    Client client(m_path);
    int handle = client.open(0x2B29, 11);
    client.write(handle, commandReport(0x02, { 0xA000, 0x76000 }));
    readPacket(client, handle);
    client.write(handle, commandReport(0x04, { 0xA000, 320 }, 1));
    EXPECT_EQ(readPacket(client, handle)->word(0), 0u);
    Bytes data(32, 0x42);
    int accepted = 0;
    for (int i = 0; i < 10; ++i)
        if (client.write(handle, dataReport(data.data(), 32))["ok"].asBool())
            ++accepted;
    EXPECT_EQ(accepted, 4); // the fourth packet crosses byte 100 and the device is gone
    EXPECT_EQ(client.write(handle, dataReport(data.data(), 32))["error"].asString(), "device disconnected");
    ASSERT_TRUE(idle());
    // It comes back as its bootloader: the half-written application is not valid.
    EXPECT_EQ(events.waitFor(2), (std::vector<std::string> { "nodes_changed", "nodes_changed" }));
    EXPECT_GE(client.open(0x2B29, 11), 0);
}

TEST_F(FaultTest, DeviceAbortsWriteAndReadDataPhases)
{
    devsim::DeviceConfig config;
    config.face = devsim::Face::FlashBootloader;
    startSim(config);
    Client client(m_path);
    int handle = client.open(0x2B29, 11);
    client.write(handle, commandReport(0x02, { 0xA000, 0x76000 }));
    readPacket(client, handle);
    Json::Value f = fault("abort_data_phase");
    f["after_bytes"] = 32;
    inject(f);
    client.write(handle, commandReport(0x04, { 0xA000, 96 }, 1));
    EXPECT_EQ(readPacket(client, handle)->word(0), 0u);
    Bytes data(32, 0x42);
    EXPECT_TRUE(client.write(handle, dataReport(data.data(), 32))["ok"].asBool());
    // The packet that crosses the limit is refused, like every later one of the phase: the
    // host counts only what the device took, and reads the abort as the phase's response.
    Json::Value refused = client.write(handle, dataReport(data.data(), 32));
    EXPECT_FALSE(refused["ok"].asBool());
    EXPECT_EQ(refused["error"].asString(), "data phase aborted by the device");
    EXPECT_FALSE(client.write(handle, dataReport(data.data(), 32))["ok"].asBool());
    auto final = readPacket(client, handle);
    ASSERT_TRUE(final);
    EXPECT_EQ(final->reportId, 3);
    EXPECT_EQ(final->word(0), 10002u);
    EXPECT_EQ(device().flashContents()[0xA000 + 32], 0xFF); // nothing past the first packet

    inject(f);
    client.write(handle, commandReport(0x03, { 0xA000, 96 }));
    EXPECT_EQ(readPacket(client, handle)->tag(), 0xA3);
    EXPECT_EQ(readPacket(client, handle)->bytes.size(), 32u); // the first data packet
    auto zero = readPacket(client, handle);
    ASSERT_TRUE(zero);
    EXPECT_EQ(zero->reportId, 4);
    EXPECT_TRUE(zero->bytes.empty()); // the sender's abort
    EXPECT_EQ(readPacket(client, handle)->word(0), 10002u);
}

TEST_F(FaultTest, StuckDriveRefusesLockAndDismountUntilCleared)
{
    startSim();
    inject(fault("drive_stuck"));
    Client client(m_path);
    const std::string root = device().driveRoot();
    Json::Value request(Json::objectValue);
    request["op"] = "volume";
    request["root"] = root;
    for (const char* step : { "lock", "dismount" }) {
        request["step"] = step;
        EXPECT_FALSE(client.call(request)["ok"].asBool()) << step;
    }
    EXPECT_EQ(client.op("list")["volumes"].size(), 1u);
    client.op("sim.clear_faults");
    request["step"] = "dismount";
    EXPECT_TRUE(client.call(request)["ok"].asBool());
    EXPECT_EQ(client.op("list")["volumes"].size(), 0u);
}

TEST_F(FaultTest, FullDriveMakesOrdinaryCopiesFail)
{
    startSim();
    const std::string root = device().driveRoot();
    std::ofstream(root + "nrf_update.bin") << "old";
    inject(fault("drive_full"));
    fs::path source = fs::temp_directory_path() / "devsim-source.bin";
    std::ofstream(source) << "new image";
    std::error_code ec;
    EXPECT_FALSE(fs::copy_file(source, root + "nrf_update.bin", fs::copy_options::overwrite_existing, ec));
    EXPECT_TRUE(bool(ec));
    std::ofstream direct(root + "Kanji_19x19.bin", std::ios::binary);
    EXPECT_FALSE(direct.is_open());
    Client client(m_path);
    client.op("sim.clear_faults");
    EXPECT_TRUE(fs::copy_file(source, root + "nrf_update.bin", fs::copy_options::overwrite_existing, ec))
        << ec.message();
    fs::remove(source);
}
