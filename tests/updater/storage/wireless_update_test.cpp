#include "storage_fixture.h"

#include "platform/files.h"
#include "platform/local_folders.h"

#include "crc/app_crc.h"
#include "devlink/frame_codec.h"
#include "flash/embedded_packages.h"
#include "state/app_callbacks.h"
#include "storage/language_packs.h"
#include "storage/wireless_update.h"

using namespace testsupport;

namespace {

class WirelessUpdate : public StorageTest {
protected:
    void SetUp() override
    {
        StorageTest::SetUp();
        drive = addDeviceDrive();
        record.deviceType = 5;
        record.modelName = "Ridge GPS";
        appCallbacks.currentDevice.store(&record);
    }
    // The decoded package the updater carries for a type.
    static std::string decodedImage(int type)
    {
        EmbeddedItem image, settings;
        EXPECT_TRUE(selectNordicPackage(type, &image, &settings));
        std::vector<uint8_t> bytes(kPackageBufferSize);
        const int n = decodeEmbeddedItem(image, bytes.data(), int(bytes.size()));
        return std::string(bytes.begin(), bytes.begin() + std::max(n, 0));
    }
    // The arguments of the UPDATE_NORDIC command in the last report written.
    void expectUpdateCommandFor(const std::string& image)
    {
        ASSERT_FALSE(hid.writes.empty());
        const Bytes& report = hid.writes.back();
        uint8_t body[7];
        const uint16_t crc = crc16CcittFalse(reinterpret_cast<const uint8_t*>(image.data()), image.size());
        const uint32_t length = uint32_t(image.size());
        body[0] = 0x0E;
        body[1] = uint8_t(crc);
        body[2] = uint8_t(crc >> 8);
        for (int i = 0; i < 4; ++i)
            body[3 + i] = uint8_t(length >> (8 * i));
        uint8_t frame[32];
        const size_t frameLength = encodeFrame(body, 7, frame, sizeof frame);
        ASSERT_GT(frameLength, 0u);
        EXPECT_TRUE(std::equal(frame, frame + frameLength, report.begin() + 1))
            << "the command must carry the CRC and length of the decoded image";
    }
    ScriptedHid hid;
    DeviceInfo record;
    std::string drive;
};

TEST_F(WirelessUpdate, UpToDateOlderModelsNeedNothing)
{
    NRFV = 1031039;
    EXPECT_TRUE(updateNordicFirmware());
    EXPECT_TRUE(log.contains("\n--NORDIC UP TO DATE--\r\n"));
    EXPECT_TRUE(hid.writes.empty());
    record.deviceType = 16;
    NRFV = 1333026; // the build type 16 carries
    EXPECT_TRUE(updateNordicFirmware());
    EXPECT_EQ(log.count("\n--NORDIC UP TO DATE--\r\n"), 2u);
    EXPECT_TRUE(hid.writes.empty());
}

// A type 16 at the first models' build is behind the build it carries: it is updated, with
// its settings file, instead of being told up to date with nothing done.
TEST_F(WirelessUpdate, TypeSixteenAtTheFirstModelsBuildIsUpdated)
{
    record.deviceType = 16;
    record.modelName = "Ridge Easy 2";
    NRFV = 1031039;
    hid.queueReport(textReport("Succus!!"));
    ASSERT_TRUE(updateNordicFirmware());
    EXPECT_FALSE(log.contains("UP TO DATE"));
    EXPECT_TRUE(std::filesystem::exists(drive + "nrf_update.dat"));
    expectUpdateCommandFor(decodedImage(16));
}

TEST_F(WirelessUpdate, StandardModelStagesOnlyTheImageAndFollowsToTheEnd)
{
    for (int i = 0; i < 3; ++i)
        hid.queueReport(textReport("*"));
    hid.queueReport(textReport("Succes!! is not the word"));
    hid.queueReport(textReport("Succus!!"));
    ASSERT_TRUE(updateNordicFirmware());
    const std::string image = decodedImage(5);
    EXPECT_EQ(readText(drive + "nrf_update.bin"), image);
    EXPECT_FALSE(std::filesystem::exists(drive + "nrf_update.dat"));
    expectUpdateCommandFor(image);
    EXPECT_TRUE(status.hasMessage("Ridge GPS\nProgramming wireless firmware"));
    EXPECT_TRUE(status.hasDetail("Waiting for Device."));
    EXPECT_TRUE(log.contains("Succes!! is not the word"));
    EXPECT_TRUE(log.contains("xfer SUCCESS source "));
    EXPECT_TRUE(log.contains("Sending UPDATE_NORDIC command\r\n"));
    // The drive was taken offline before the device was told to read it.
    ASSERT_FALSE(volumes.steps.empty());
    EXPECT_EQ(volumes.steps.front(), "lock " + drive);
    // The local copies are gone after the eject.
    EXPECT_FALSE(std::filesystem::exists(home.sub("data/Tarvel/candidatefrmwile.txt")));
    // Waits: 5 s before staging, after it, after the eject.
    EXPECT_EQ(std::count(recordedPauses().begin(), recordedPauses().end(), 5000L), 3);
}

TEST_F(WirelessUpdate, CorrectlySpelledWordIsOnlyLoggedOtherEndWordsFinish)
{
    hid.queueReport(textReport("Success!!"));
    hid.queueReport(textReport("file closed"));
    ASSERT_TRUE(updateNordicFirmware());
    EXPECT_TRUE(log.contains("Success!!"));
    EXPECT_TRUE(status.hasDetail("Waiting for Device"));
}

TEST_F(WirelessUpdate, NewerModelsStageTheSettingsToo)
{
    record.deviceType = 13;
    record.modelName = "Peak Pro";
    NRFV = 1333026; // up to date, but the newer models update all the same
    hid.queueReport(textReport("complete"));
    ASSERT_TRUE(updateNordicFirmware());
    EXPECT_TRUE(log.contains("\n--NORDIC UP TO DATE SUMMIT--\r\n"));
    EXPECT_TRUE(std::filesystem::exists(drive + "nrf_update.dat"));
    expectUpdateCommandFor(decodedImage(13));
}

TEST_F(WirelessUpdate, ForcedModelChoosesThePackage)
{
    record.deviceType = 11;
    modelOverride = 12;
    hid.queueReport(textReport("complete"));
    ASSERT_TRUE(updateNordicFirmware());
    expectUpdateCommandFor(decodedImage(12));
}

TEST_F(WirelessUpdate, DeviceFailureReport)
{
    Bytes failure(64, 0);
    failure[0] = 0x01;
    failure[1] = '%';
    failure[2] = 'C';
    failure[3] = 'R';
    failure[4] = 'C';
    hid.queueReport(failure);
    EXPECT_FALSE(updateNordicFirmware());
    EXPECT_TRUE(log.contains("ANT_UPDATE_FAILED [   \x01%CRC]\r\n")) << log.text(); // width 8, at most 8
    EXPECT_EQ(hid.closes, 1);
}

TEST_F(WirelessUpdate, ProgressTextsAtTheirCounts)
{
    for (int i = 0; i < 1300; ++i)
        hid.queueReport(textReport("*"));
    hid.queueReport(textReport("complete"));
    ASSERT_TRUE(updateNordicFirmware());
    std::vector<std::string> details;
    for (const auto& call : status.calls())
        if (call.message == "<none>" && call.detail.find("% done") != std::string::npos)
            details.push_back(call.detail);
    EXPECT_EQ(details, (std::vector<std::string>{"25% done", "50% done", "75% done"}));
    EXPECT_TRUE(log.contains("63 "));
    EXPECT_TRUE(log.contains("127 "));
    EXPECT_FALSE(log.contains("64 "));
}

TEST_F(WirelessUpdate, OnlyATickAtCount375ShowsTheFirstPercentage)
{
    hid.queueSilence(1); // a silent read costs 11 counts: the ticks then fall on 12, 13, ...
    for (int i = 0; i < 370; ++i)
        hid.queueReport(textReport("*"));
    hid.queueReport(textReport("complete"));
    ASSERT_TRUE(updateNordicFirmware());
    EXPECT_TRUE(status.hasDetail("25% done")); // 375 = 11 + 364th tick

    for (int i = 0; i < 374; ++i)
        hid.queueReport(textReport("*"));
    hid.queueReport(textReport("a line at 375"));
    for (int i = 0; i < 10; ++i)
        hid.queueReport(textReport("*")); // 376 and on
    hid.queueReport(textReport("complete"));
    const size_t before = status.calls().size();
    ASSERT_TRUE(updateNordicFirmware());
    for (size_t i = before; i < status.calls().size(); ++i)
        EXPECT_NE(status.calls()[i].detail, "25% done");
}

TEST_F(WirelessUpdate, SilentDeviceEndsTheWait)
{
    EXPECT_FALSE(updateNordicFirmware());
    EXPECT_EQ(hid.reads, 455);
    EXPECT_TRUE(status.hasMessage("Ridge GPS\nError updating wireless firmware"));
}

TEST_F(WirelessUpdate, FailuresBeforeTheCommand)
{
    gpsDrivePath.set("");
    EXPECT_FALSE(updateNordicFirmware());
    EXPECT_TRUE(status.hasMessage("Can not find GPS USB drive"));
    gpsDrivePath.set(drive);

    appCallbacks.currentDevice.store(nullptr);
    EXPECT_FALSE(updateNordicFirmware());
    EXPECT_TRUE(status.hasMessage("Error\nUnable to determine device model."));
    appCallbacks.currentDevice.store(&record);

    record.deviceType = 3;
    EXPECT_FALSE(updateNordicFirmware());
    EXPECT_TRUE(log.contains("Invalid device type\r\n"));
    record.deviceType = 5;

    hid.openSucceeds = false;
    EXPECT_FALSE(updateNordicFirmware());
    EXPECT_TRUE(log.contains("Open HID device failed\r\n"));
    EXPECT_TRUE(hid.writes.empty());
}

TEST_F(WirelessUpdate, AStagingFolderThatCannotBeMadeIsNamedAsThisComputerHasIt)
{
    writeText(home.sub("data-file"), "a file where the data folder should be");
    platform::setDataHome(home.sub("data-file"));
    EXPECT_FALSE(updateNordicFirmware());
    const std::string folder = platform::joinPath(home.sub("data-file"), "Tarvel");
    ASSERT_FALSE(status.calls().empty());
    EXPECT_EQ(status.calls().back().isComplete, 1);
    EXPECT_EQ(status.calls().back().message, "Error\nUnable to create " + folder + " folder.");
    EXPECT_EQ(status.calls().back().detail, folder + " folder needed");
    EXPECT_TRUE(hid.writes.empty());
    EXPECT_FALSE(std::filesystem::exists(drive + "nrf_update.bin"));
}

TEST_F(WirelessUpdate, CopyFailureOfTheSettingsKeepsTheImageOnTheDrive)
{
    record.deviceType = 13;
    std::filesystem::create_directories(drive + "nrf_update.dat"); // a folder in the way
    EXPECT_FALSE(updateNordicFirmware());
    EXPECT_TRUE(std::filesystem::exists(drive + "nrf_update.bin"));
    EXPECT_TRUE(log.contains("xfer FAIL source "));
    EXPECT_FALSE(std::filesystem::exists(home.sub("data/Tarvel/candidatefdtwile.txt")));
    EXPECT_TRUE(hid.writes.empty()); // the device was never told to update
}

class LanguagePacks : public WirelessUpdate {
protected:
    void SetUp() override
    {
        WirelessUpdate::SetUp();
        record.deviceType = 13;
        record.dlv = 60;
    }
    static Bytes result(char letter)
    {
        Bytes report(64, 0);
        report[0] = 0x01;
        report[1] = uint8_t(letter);
        return report;
    }
};

TEST_F(LanguagePacks, TwoFontsConfirmedOneAfterTheOther)
{
    hid.queueReport(result('A'));
    hid.queueReport(result('B'));
    ASSERT_TRUE(updateLanguagePacks());
    EXPECT_TRUE(std::filesystem::exists(drive + "Kanji_11x12.bin"));
    EXPECT_TRUE(std::filesystem::exists(drive + "Kanji_18x18.bin"));
    EXPECT_FALSE(std::filesystem::exists(drive + "Kanji_19x19.bin"));
    EXPECT_TRUE(std::filesystem::exists(home.sub("data/Tarvel/Kanji_11x12.bin"))); // kept locally
    EXPECT_EQ(hid.writes.at(0)[2], 0x40);
    EXPECT_TRUE(status.hasDetail("Language Pack 2 of 2 done!"));
    EXPECT_TRUE(log.contains("RX  KANJI_18x18_SUCCESS [2][64][0][01][42][00]\r\n"));
    EXPECT_EQ(status.calls().back().detail, "");
}

TEST_F(LanguagePacks, OnlyTheLargeFontIsNotEnough)
{
    hid.queueReport(result('B'));
    EXPECT_FALSE(updateLanguagePacks());
}

TEST_F(LanguagePacks, SummitTakesOneLargeFont)
{
    record.deviceType = 11;
    hid.queueReport(result('C'));
    ASSERT_TRUE(updateLanguagePacks());
    EXPECT_TRUE(std::filesystem::exists(drive + "Kanji_19x19.bin"));
    EXPECT_FALSE(std::filesystem::exists(drive + "Kanji_11x12.bin"));

    hid.queueReport(result('A'));
    hid.queueReport(result('B'));
    EXPECT_FALSE(updateLanguagePacks());
}

TEST_F(LanguagePacks, FailureReportClearsEverything)
{
    hid.queueReport(result('A'));
    hid.queueReport(result('D'));
    hid.queueReport(result('B')); // never read: 'D' ends the wait
    EXPECT_FALSE(updateLanguagePacks());
    EXPECT_EQ(hid.pendingInputs(), 1u);
}

TEST_F(LanguagePacks, StandardDeviceGetsNothing)
{
    record.dlv = 0;
    EXPECT_FALSE(updateLanguagePacks());
    EXPECT_TRUE(hid.writes.empty());
    EXPECT_FALSE(std::filesystem::exists(drive + "Kanji_11x12.bin"));
}

TEST_F(LanguagePacks, CopyFailureOfTheSecondFontKeepsTheFirst)
{
    std::filesystem::create_directories(drive + "Kanji_18x18.bin");
    EXPECT_FALSE(updateLanguagePacks());
    EXPECT_TRUE(std::filesystem::exists(drive + "Kanji_11x12.bin"));
    EXPECT_TRUE(hid.writes.empty());
}

} // namespace
