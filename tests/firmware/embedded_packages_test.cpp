// The wireless packages, their settings files and the Kanji fonts the updater carries.
#include "firmware/asset_records.h"
#include "flash/embedded_packages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

namespace rec = firmware_records;

std::vector<uint8_t> decode(const EmbeddedItem& item, int capacity)
{
    std::vector<uint8_t> out(static_cast<size_t>(capacity));
    const int n = decodeEmbeddedItem(item, out.data(), capacity);
    out.resize(n > 0 ? size_t(n) : 0);
    return out;
}

// The version text each model reports once it has applied its package; after the updater's
// version parse these are 1333026, 1332013 and 1031039, the builds it expects per type.
std::string expectedNordicVersion(int type)
{
    if (type == 15)
        return "2.13.32.13";
    return type >= 11 ? "2.13.33.26" : "1.10.31.39";
}

TEST(NordicPackages, EveryModelHasAnImageWithTheVersionItExpects)
{
    for (int type = 4; type <= 16; ++type) {
        SCOPED_TRACE(testing::Message() << "type " << type);
        EmbeddedItem image, settings;
        ASSERT_TRUE(selectNordicPackage(type, &image, &settings));
        ASSERT_GT(image.compressedSize, 0);
        const std::vector<uint8_t> bytes = decode(image, 3000000);
        ASSERT_GT(bytes.size(), 1000u);
        char version[rec::kNordicVersionSize + 1];
        ASSERT_TRUE(rec::parseNordicRecord(bytes.data(), bytes.size(), version, sizeof version));
        EXPECT_EQ(std::string(version), expectedNordicVersion(type));
        // Zero padding up to the end of the 32-byte record.
        for (size_t i = rec::kNordicVersionOffset + std::strlen(version); i < rec::kNordicRecordSize; ++i)
            EXPECT_EQ(bytes[i], 0) << "offset " << i;

        if (type >= 11) {
            ASSERT_NE(settings.data, nullptr);
            const std::vector<uint8_t> dat = decode(settings, 3000000);
            EXPECT_TRUE(rec::isNordicDat(dat.data(), dat.size()));
        } else {
            EXPECT_EQ(settings.data, nullptr);
            EXPECT_EQ(settings.compressedSize, 0);
        }
    }
}

TEST(NordicPackages, TypesFourteenAndSixteenShareTheirItemsWhileElevenAndTwelveDiffer)
{
    EmbeddedItem image14, dat14, image16, dat16, image11, dat11, image12, dat12;
    ASSERT_TRUE(selectNordicPackage(14, &image14, &dat14));
    ASSERT_TRUE(selectNordicPackage(16, &image16, &dat16));
    EXPECT_EQ(image14.data, image16.data);
    EXPECT_EQ(dat14.data, dat16.data);

    ASSERT_TRUE(selectNordicPackage(11, &image11, &dat11));
    ASSERT_TRUE(selectNordicPackage(12, &image12, &dat12));
    EXPECT_NE(decode(image11, 3000000), decode(image12, 3000000));
}

TEST(NordicPackages, TypesWithoutAPackageAreRefused)
{
    for (int type : { -1, 0, 3, 17, 64, 76 }) {
        EmbeddedItem image, settings;
        EXPECT_FALSE(selectNordicPackage(type, &image, &settings)) << type;
    }
}

TEST(KanjiFonts, EachFontDecodesWithinItsLimitAndNamesItself)
{
    for (const char* name : { "Kanji_11x12.bin", "Kanji_18x18.bin", "Kanji_19x19.bin" }) {
        SCOPED_TRACE(name);
        EmbeddedItem font;
        ASSERT_TRUE(selectKanjiFont(name, &font));
        const std::vector<uint8_t> bytes = decode(font, kFontDecodeLimit);
        ASSERT_GT(bytes.size(), rec::kKanjiRecordSize);
        char fileName[rec::kKanjiNameSize + 1];
        ASSERT_TRUE(rec::parseKanjiRecord(bytes.data(), bytes.size(), fileName, sizeof fileName));
        EXPECT_STREQ(fileName, name);
        // A buffer one byte short of the decoded size is refused rather than overrun.
        std::vector<uint8_t> shortBuffer(bytes.size() + 16, 0x5A);
        EXPECT_LT(decodeEmbeddedItem(font, shortBuffer.data(), int(bytes.size()) - 1), 0);
        EXPECT_EQ(shortBuffer[bytes.size() - 1], 0x5A);
    }
    EmbeddedItem none;
    EXPECT_FALSE(selectKanjiFont("Kanji_16x16.bin", &none));
    EXPECT_FALSE(selectKanjiFont(nullptr, &none));
}

} // namespace
