// The build-time asset generator: reproducible output, real assets in place of placeholders,
// and refusal of a bad manifest or a bad asset.
#include "firmware/assets.h"

#include <gtest/gtest.h>
#include <lz4.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAll(const fs::path& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary) << data;
}

class AssetGenerator : public testing::Test {
protected:
    void SetUp() override
    {
        m_dir = fs::temp_directory_path() / ("tarvel-asset-gen-" + std::to_string(::getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "src");
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // Runs the generator; its exit status.
    int run(const fs::path& manifest, const fs::path& out)
    {
        std::string command = std::string("'") + TARVEL_ASSET_GEN + "' '" + manifest.string() + "' '"
            + (m_dir / "src").string() + "' '" + out.string() + "' >'" + (m_dir / "log").string() + "' 2>&1";
        int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    fs::path m_dir;
};

std::string symbolFile(const std::string& name)
{
    std::string s = "tarvel_asset_";
    for (char c : name)
        s += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return s + ".lz4";
}

TEST_F(AssetGenerator, TwoRunsGiveTheSameBytesAsTheEmbeddedAssets)
{
    ASSERT_EQ(run(TARVEL_ASSET_MANIFEST, m_dir / "a"), 0) << readAll(m_dir / "log");
    ASSERT_EQ(run(TARVEL_ASSET_MANIFEST, m_dir / "b"), 0) << readAll(m_dir / "log");
    EXPECT_EQ(
        readAll(m_dir / "a" / "firmware_asset_table.cpp"), readAll(m_dir / "b" / "firmware_asset_table.cpp"));
    ASSERT_EQ(firmware_assets::kAssetCount, 46);
    for (int i = 0; i < firmware_assets::kAssetCount; ++i) {
        const firmware_assets::Asset& asset = firmware_assets::kAssets[i];
        const std::string a = readAll(m_dir / "a" / symbolFile(asset.name));
        ASSERT_FALSE(a.empty()) << asset.name;
        EXPECT_EQ(a, readAll(m_dir / "b" / symbolFile(asset.name))) << asset.name;
        if (asset.placeholder) {
            EXPECT_EQ(a, std::string(reinterpret_cast<const char*>(asset.data), size_t(asset.compressedSize)))
                << asset.name;
        }
    }
}

// Placeholders should weigh in the program like real firmware does: neither noise nor padding.
TEST(PlaceholderAssets, ImagesCompressLikeFirmware)
{
    for (int i = 0; i < firmware_assets::kAssetCount; ++i) {
        const firmware_assets::Asset& a = firmware_assets::kAssets[i];
        if (!a.placeholder
            || (a.kind != firmware_assets::AssetKind::Image
                && a.kind != firmware_assets::AssetKind::NordicImage))
            continue;
        const double saved = 1.0 - double(a.compressedSize) / double(a.decodedSize);
        EXPECT_GE(saved, 0.18) << a.name;
        EXPECT_LE(saved, 0.36) << a.name;
    }
}

TEST_F(AssetGenerator, RealAssetsReplaceTheirPlaceholders)
{
    writeAll(m_dir / "manifest.txt",
        "# kind name types variant size form version\n"
        "image  fw_05_std.bin 5 0 4096 raw 7.63\n"
        "font   Kanji_19x19.bin - - 1000 lz4 -\n"
        "nrfbin nrf_05_update.bin 5 - 2000 raw 1.10.31.39\n");
    std::string image(5000, '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = char((i * 7) ^ (i >> 5));
    writeAll(m_dir / "src" / "fw_05_std.bin", image);
    const std::string font(3000, 'K');
    std::string fontBlock(size_t(LZ4_compressBound(3000)), '\0');
    fontBlock.resize(
        size_t(LZ4_compress_default(font.data(), fontBlock.data(), 3000, int(fontBlock.size()))));
    writeAll(m_dir / "src" / "Kanji_19x19.bin", fontBlock);

    ASSERT_EQ(run(m_dir / "manifest.txt", m_dir / "out"), 0) << readAll(m_dir / "log");
    const std::string block = readAll(m_dir / "out" / symbolFile("fw_05_std.bin"));
    std::string decoded(8192, '\0');
    ASSERT_EQ(LZ4_decompress_safe(block.data(), decoded.data(), int(block.size()), 8192), 5000);
    EXPECT_EQ(decoded.substr(0, 5000), image);
    EXPECT_EQ(readAll(m_dir / "out" / symbolFile("Kanji_19x19.bin")), fontBlock)
        << "an lz4 asset is kept as it is";

    const std::string table = readAll(m_dir / "out" / "firmware_asset_table.cpp");
    EXPECT_NE(table.find("\"fw_05_std.bin\", 0x00020u, 0, 5000,"), std::string::npos) << table;
    EXPECT_NE(table.find("\"Kanji_19x19.bin\", 0x00000u, 0, 3000,"), std::string::npos) << table;
    EXPECT_NE(table.find("2000, tarvel_asset_nrf_05_update_bin"), std::string::npos) << "placeholder size";
    EXPECT_NE(readAll(m_dir / "log").find("note: fw_05_std.bin decodes to 5000 bytes"), std::string::npos);
    EXPECT_NE(readAll(m_dir / "out" / "firmware_assets.S").find(".incbin"), std::string::npos);
}

TEST_F(AssetGenerator, RefusesBadManifestsAndBadAssets)
{
    const char* bad[] = {
        "image fw.bin 5 0 4096 raw\n", // a column missing
        "rom fw.bin 5 0 4096 raw 7.63\n", // unknown kind
        "image fw.bin 5 30 4096 raw 7.63\n", // variant neither 0 nor 60
        "image fw.bin 17 0 4096 raw 7.63\n", // no such device type
        "image fw.bin 5 0 4096 raw -\n", // image without version
        "image fw.bin 5 0 3000001 raw 7.63\n", // larger than the decode buffer
        "image fw.bin 5 0 4096 zip 7.63\n", // unknown form
        "font Kanji.bin 11 - 4096 raw -\n", // fonts serve no type
    };
    for (const char* line : bad) {
        writeAll(m_dir / "manifest.txt", line);
        EXPECT_NE(run(m_dir / "manifest.txt", m_dir / "out"), 0) << line;
    }
    EXPECT_NE(run(m_dir / "missing.txt", m_dir / "out"), 0);

    // A real lz4 asset that is no LZ4 block, and a raw font beyond the font limit.
    writeAll(m_dir / "manifest.txt", "image fw_06_std.bin 6 0 4096 lz4 7.63\n");
    writeAll(m_dir / "src" / "fw_06_std.bin", std::string(4096, '\xFF'));
    EXPECT_NE(run(m_dir / "manifest.txt", m_dir / "out"), 0);
    writeAll(m_dir / "manifest.txt", "font Kanji_18x18.bin - - 4096 raw -\n");
    writeAll(m_dir / "src" / "Kanji_18x18.bin", std::string(500001, 'k'));
    EXPECT_NE(run(m_dir / "manifest.txt", m_dir / "out"), 0);
    writeAll(m_dir / "src" / "Kanji_18x18.bin", std::string(500000, 'k'));
    EXPECT_EQ(run(m_dir / "manifest.txt", m_dir / "out"), 0) << readAll(m_dir / "log");
}

} // namespace
