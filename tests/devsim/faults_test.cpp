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

// A late answer is held back with what follows it, reaches the handles open when it comes
// (one opened meanwhile included) in order, and is lost when the device leaves first.
TEST_F(FaultTest, LateReplyComesInOrderToTheHandlesOpenThen)
{
    startSim();
    Client client(m_path);
    int first = openApp(client);
    Json::Value f = fault("late_reply");
    f["tag"] = 0x06;
    f["ms"] = 300;
    inject(f);
    const auto sent = std::chrono::steady_clock::now();
    client.write(first, hostReport(commandFrame(0x06)));
    auto early = client.read(first, 100);
    ASSERT_TRUE(early);
    EXPECT_TRUE(early->empty()); // not yet
    int second = openApp(client);
    client.write(second, hostReport(commandFrame(0x3A))); // asked meanwhile: answered after
    auto info = client.read(first, 2000);
    ASSERT_TRUE(info && frameBody(*info));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(300));
    EXPECT_EQ((*frameBody(*info))[0], 0x06);
    auto seenBySecond = client.read(second, 1000);
    ASSERT_TRUE(seenBySecond && frameBody(*seenBySecond));
    EXPECT_EQ((*frameBody(*seenBySecond))[0], 0x06);
    auto version = client.read(second, 1000);
    ASSERT_TRUE(version && frameBody(*version));
    EXPECT_EQ((*frameBody(*version))[0], 0x0A); // the version text, after the late answer
    auto versionToFirst = client.read(first, 1000);
    ASSERT_TRUE(versionToFirst && frameBody(*versionToFirst));
    EXPECT_EQ((*frameBody(*versionToFirst))[0], 0x0A);

    // Other codes are answered at once: the fault waits for its own.
    f["ms"] = 5000;
    inject(f);
    client.write(first, hostReport(commandFrame(0x3A)));
    auto text = client.read(first, 1000);
    ASSERT_TRUE(text && frameBody(*text));
    EXPECT_EQ((*frameBody(*text))[0], 0x0A);
    client.write(first, hostReport(commandFrame(0x06)));
    ASSERT_TRUE(client.write(first, hostReport(commandFrame(0x09)))["ok"].asBool()); // the jump
    auto lost = client.read(first, 3000);
    EXPECT_FALSE(lost && !lost->empty()) << "a held answer outlived the device's departure";
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

// A write whose byte at the offset is stored wrongly while the device answers success; once
// by default, on every write with always.
TEST_F(FaultTest, CorruptWriteStoresOneByteWronglyAndStillAnswersSuccess)
{
    devsim::DeviceConfig config;
    config.face = devsim::Face::FlashBootloader;
    startSim(config);
    Client client(m_path);
    int handle = client.open(0x2B29, 11);
    Bytes data(32);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(0x40 + i);
    // Erases, then writes 96 bytes; the final status and the byte stored at 0xA000 + 40.
    auto writeOnce = [&] {
        client.write(handle, commandReport(0x02, { 0xA000, 0x1000 }));
        EXPECT_EQ(readPacket(client, handle)->word(0), 0u);
        client.write(handle, commandReport(0x04, { 0xA000, 96 }, 1));
        EXPECT_EQ(readPacket(client, handle)->word(0), 0u);
        for (int i = 0; i < 3; ++i)
            EXPECT_TRUE(client.write(handle, dataReport(data.data(), 32))["ok"].asBool());
        auto final = readPacket(client, handle);
        EXPECT_TRUE(final && final->word(0) == 0u) << "the device must not tell";
        const auto flash = device().flashContents();
        size_t wrong = 0;
        for (size_t i = 0; i < 96; ++i)
            wrong += flash[0xA000 + i] != data[i % 32];
        return std::make_pair(wrong, flash[0xA000 + 40]);
    };
    const uint8_t right = data[40 % 32];

    Json::Value f = fault("corrupt_write");
    f["offset"] = 40;
    inject(f);
    EXPECT_EQ(writeOnce(), std::make_pair(size_t(1), uint8_t(right ^ 0x10)));
    EXPECT_EQ(writeOnce(), std::make_pair(size_t(0), right)); // once: the next write is stored right

    f["offset"] = 500; // beyond this write: not an occasion, so it waits
    inject(f);
    EXPECT_EQ(writeOnce().first, 0u);
    EXPECT_EQ(device().state()["faults"][0].asString(), "corrupt_write");
    Client(m_path).op("sim.clear_faults");

    f["offset"] = 40;
    f["always"] = true;
    f["skip"] = 1;
    inject(f);
    EXPECT_EQ(writeOnce().first, 0u); // skipped
    EXPECT_EQ(writeOnce().first, 1u);
    EXPECT_EQ(writeOnce().first, 1u);
    EXPECT_EQ(device().state()["faults"].size(), 1u); // still in place
    Client(m_path).op("sim.clear_faults");
    EXPECT_EQ(writeOnce().first, 0u);
}

TEST(FaultText, NamesAndSettingsAsTheCommandLineGivesThem)
{
    devsim::Fault fault;
    std::string error;
    ASSERT_TRUE(devsim::faultFromText("corrupt_write,offset=0x1000,always", fault, error)) << error;
    EXPECT_EQ(fault.kind, devsim::FaultKind::CorruptWrite);
    EXPECT_EQ(fault.offset, 0x1000u);
    EXPECT_TRUE(fault.always);
    EXPECT_EQ(fault.count, 1);

    ASSERT_TRUE(devsim::faultFromText("status,tag=3,status=10200,skip=2,count=4", fault, error)) << error;
    EXPECT_EQ(fault.kind, devsim::FaultKind::CommandStatus);
    EXPECT_EQ(fault.commandTag, 3);
    EXPECT_EQ(fault.status, 10200u);
    EXPECT_EQ(fault.skip, 2);
    EXPECT_EQ(fault.count, 4);
    EXPECT_FALSE(fault.always); // a new text starts from the defaults

    ASSERT_TRUE(devsim::faultFromText("disconnect_data_phase,after_bytes=4096,comes_back=no", fault, error));
    EXPECT_EQ(fault.afterBytes, 4096u);
    EXPECT_FALSE(fault.comesBack);

    ASSERT_TRUE(devsim::faultFromText("late_reply,tag=6,ms=1500", fault, error)) << error;
    EXPECT_EQ(fault.kind, devsim::FaultKind::LateReply);
    EXPECT_EQ(fault.commandTag, 6);
    EXPECT_EQ(fault.holdMs, 1500);

    fault.offset = 7;
    for (const char* bad : { "", "corrupt", "corrupt_write,", "corrupt_write,offset", "corrupt_write,offset=-1",
             "corrupt_write,offset=12x", "corrupt_write,offset=0x100000000", "corrupt_write,count=0",
             "status,tag=256", "disconnect_data_phase,comes_back=maybe", "corrupt_write,colour=red",
             "late_reply,ms=600001", "late_reply,ms=-5" }) {
        EXPECT_FALSE(devsim::faultFromText(bad, fault, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    EXPECT_EQ(fault.offset, 7u); // a refused text leaves the fault as it was
}
