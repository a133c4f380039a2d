// Selecting and decoding the embedded images, and the write command's data text.
#include "firmware/asset_records.h"
#include "flash/firmware_catalog.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace {

namespace rec = firmware_records;

// Decoded sizes of the standard and Japanese image of types 4..16.
const int kDecodedSizes[13][2] = {
    { 467264, 466864 },
    { 459600, 459264 },
    { 440288, 454176 },
    { 446024, 459776 },
    { 460992, 474856 },
    { 464568, 478464 },
    { 431952, 445840 },
    { 570480, 568944 },
    { 560056, 561592 },
    { 546272, 566752 },
    { 521264, 541744 },
    { 470632, 507928 },
    { 500688, 518096 },
};

FirmwareImage imageFor(int type, int variant)
{
    FirmwareImage image;
    EXPECT_TRUE(selectFirmwareImage(type, variant, &image)) << type << "/" << variant;
    return image;
}

TEST(FirmwareImages, VariantSixtySelectsTheJapaneseImageAndAnyOtherTheStandardOne)
{
    for (int type = 4; type <= 16; ++type) {
        const FirmwareImage japanese = imageFor(type, 60);
        const FirmwareImage standard = imageFor(type, 0);
        EXPECT_NE(japanese.data, standard.data) << type;
        for (int variant : { -99, 1, 59, 61, 120, -60 }) {
            const FirmwareImage other = imageFor(type, variant);
            EXPECT_EQ(other.data, standard.data) << type << "/" << variant;
            EXPECT_EQ(other.compressedSize, standard.compressedSize);
        }
    }
}

TEST(FirmwareImages, TypesOutsideFourToSixteenHaveNoImage)
{
    for (int type : { -99, -1, 0, 1, 2, 3, 17, 64, 71, 1000 }) {
        FirmwareImage image { reinterpret_cast<const uint8_t*>("x"), 7 };
        EXPECT_FALSE(selectFirmwareImage(type, 60, &image)) << type;
        EXPECT_FALSE(selectFirmwareImage(type, 0, &image)) << type;
        EXPECT_EQ(image.compressedSize, 7) << "left untouched";
    }
}

TEST(FirmwareImages, EveryImageDecodesToItsSizeWithSaneVectorsAndItsIdentity)
{
    initFirmwareCatalog();
    for (int type = 4; type <= 16; ++type) {
        for (int v = 0; v < 2; ++v) {
            const int variant = v ? 60 : 0;
            SCOPED_TRACE(testing::Message() << "type " << type << " variant " << variant);
            const int length = decodeFirmwareImage(imageFor(type, variant));
            ASSERT_EQ(length, kDecodedSizes[type - 4][v]);

            const uint32_t sp = rec::readLe32(imageBuffer);
            const uint32_t reset = rec::readLe32(imageBuffer + 4);
            EXPECT_GE(sp, rec::kRamStart);
            EXPECT_LE(sp, rec::kRamEnd);
            EXPECT_EQ(sp % 8, 0u);
            EXPECT_EQ(reset & 1, 1u) << "Thumb bit";
            EXPECT_GT(reset, 0xA000u);
            EXPECT_LT(reset, 0xA000u + uint32_t(length));
            EXPECT_LT(reset, 0xA000u + 0x1000) << "reset handler just above the base";

            rec::ImageRecord id;
            ASSERT_TRUE(rec::parseImageRecord(imageBuffer, size_t(length), &id));
            EXPECT_EQ(id.deviceType, uint32_t(type));
            EXPECT_EQ(id.variant, uint32_t(variant));
            EXPECT_EQ(int(id.major), firmwareCatalog[size_t(type)][0]);
            EXPECT_EQ(int(id.minor), firmwareCatalog[size_t(type)][1]);
            EXPECT_EQ(id.length, uint32_t(length));
        }
    }
}

// The erase region is sized from the length the catalogue knows without decoding: it must be
// the length the write then carries.
TEST(FirmwareImages, TheCatalogueKnowsTheLengthEveryImageDecodesTo)
{
    for (int type = 4; type <= 16; ++type)
        for (int variant : { 0, 60 }) {
            const FirmwareImage image = imageFor(type, variant);
            EXPECT_EQ(image.decodedSize, decodeFirmwareImage(image)) << type << "/" << variant;
        }
}

// A copy of a real block, for damaging.
std::vector<uint8_t> blockCopy(int type, int variant)
{
    const FirmwareImage image = imageFor(type, variant);
    return std::vector<uint8_t>(image.data, image.data + image.compressedSize);
}

TEST(FirmwareImages, DamagedBlocksAndShortBuffersFailWithoutOverrunning)
{
    std::vector<uint8_t> block = blockCopy(11, 0);
    const int size = int(block.size());
    const int decoded = kDecodedSizes[7][0];
    std::vector<uint8_t> out(size_t(decoded) + 64, 0xA5);

    // A destination one byte short fails and leaves the bytes beyond capacity alone.
    EXPECT_LT(decodeLz4Block(block.data(), size, out.data(), decoded - 1), 0);
    for (size_t i = size_t(decoded - 1); i < out.size(); ++i)
        ASSERT_EQ(out[i], 0xA5) << "written past the capacity at " << i;
    EXPECT_EQ(decodeLz4Block(block.data(), size, out.data(), decoded), decoded);

    // The input cut short: the decoder may not read beyond the length it was given.
    EXPECT_LT(decodeLz4Block(block.data(), size - 100, out.data(), int(out.size())), 0);
    EXPECT_LT(decodeLz4Block(block.data(), 1, out.data(), int(out.size())), 0);

    // The first match pointing 65535 bytes back, before the start of the output.
    size_t pos = 1;
    size_t literals = block[0] >> 4;
    if (literals == 15)
        for (uint8_t more = 255; more == 255; literals += more)
            more = block[pos++];
    pos += literals;
    block[pos] = 0xFF;
    block[pos + 1] = 0xFF;
    EXPECT_LT(decodeLz4Block(block.data(), size, out.data(), int(out.size())), 0);
    EXPECT_LT(decodeFirmwareImage(FirmwareImage { block.data(), size }), 0);

    std::vector<uint8_t> garbage(4096, 0xFF);
    EXPECT_LT(decodeLz4Block(garbage.data(), int(garbage.size()), out.data(), int(out.size())), 0);

    // No data at all.
    EXPECT_LT(decodeFirmwareImage(FirmwareImage {}), 0);
    EXPECT_LT(decodeFirmwareImage(FirmwareImage { block.data(), 0 }), 0);
    EXPECT_LT(decodeLz4Block(block.data(), size, nullptr, 100), 0);
}

TEST(DataText, BracesAroundTwoUpperCaseDigitsPerByte)
{
    const uint8_t bytes[] = { 0x00, 0xAB, 0x0F, 0x9C, 0xFF, 0x10 };
    char text[32];
    ASSERT_TRUE(formatDataText(bytes, 6, text, sizeof text));
    EXPECT_STREQ(text, "{{00AB0F9CFF10}}");

    // Exactly 2n + 5 characters are needed, terminator included.
    EXPECT_TRUE(formatDataText(bytes, 6, text, 17));
    EXPECT_FALSE(formatDataText(bytes, 6, text, 16));
    EXPECT_STREQ(text, "") << "a text that does not fit leaves an empty text, not a partial one";
    EXPECT_FALSE(formatDataText(bytes, 0, text, sizeof text));
    EXPECT_FALSE(formatDataText(bytes, -1, text, sizeof text));
    EXPECT_FALSE(formatDataText(nullptr, 6, text, sizeof text));
}

TEST(DataText, LargestImageRoundTripsThroughTheHexText)
{
    const int length = decodeFirmwareImage(imageFor(11, 0));
    ASSERT_EQ(length, 570480);
    ASSERT_TRUE(buildDataText(length));
    ASSERT_EQ(std::strlen(hexTextBuffer), size_t(2 * length + 4));
    ASSERT_EQ(std::string(hexTextBuffer, 2), "{{");
    ASSERT_EQ(std::string(hexTextBuffer + 2 + 2 * length), "}}");
    for (int i = 0; i < length; ++i) {
        const char* digits = hexTextBuffer + 2 + 2 * i;
        ASSERT_TRUE(std::isxdigit(digits[0]) && std::isxdigit(digits[1]) && !std::islower(digits[0])
            && !std::islower(digits[1]))
            << "at byte " << i;
        ASSERT_EQ(std::stoi(std::string(digits, 2), nullptr, 16), imageBuffer[i]) << "at byte " << i;
    }
}

TEST(DataText, DecodeFailuresAndOversizedImagesAreNotTurnedIntoAWrite)
{
    hexTextBuffer[0] = 'x';
    EXPECT_FALSE(buildDataText(-1)); // what a failed decode returns
    EXPECT_EQ(hexTextBuffer[0], 0);
    EXPECT_FALSE(buildDataText(0));
    EXPECT_FALSE(buildDataText(kMaxDataTextBytes + 1));
    EXPECT_EQ(kMaxDataTextBytes, 1499997);
    EXPECT_TRUE(buildDataText(kMaxDataTextBytes));
    EXPECT_EQ(std::strlen(hexTextBuffer), size_t(2 * kMaxDataTextBytes + 4));
}

} // namespace
