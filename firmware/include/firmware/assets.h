#pragma once
// The firmware assets compiled into the program: main images, wireless packages and their
// settings files, and the Kanji fonts, each one raw LZ4 block (no frame header).
// The table is generated at build time from firmware/manifest.txt.

#include <cstdint>

namespace firmware_assets {

enum class AssetKind { Image, NordicImage, NordicSettings, KanjiFont };

struct Asset {
    AssetKind kind;
    const char* name; // manifest name ("fw_04_jp.bin", "nrf_14_update.bin", "Kanji_18x18.bin")
    uint32_t typeMask; // bit n set: serves device type n (none for fonts)
    int variant; // images: 0 standard, 60 Japanese
    int decodedSize; // bytes the block decodes to
    const uint8_t* data; // the compressed block
    int compressedSize; // its length, the decoder's input length
    bool placeholder; // generated at build time rather than taken from a real asset
    const char* version; // images "major.minor", wireless images the dotted version text, else ""
};

extern const Asset kAssets[];
extern const int kAssetCount;

// Lookups over the table; nullptr when nothing matches.
const Asset* findImage(int deviceType, int variant); // variant exactly 0 or 60
const Asset* findNordicImage(int deviceType);
const Asset* findNordicSettings(int deviceType);
const Asset* findKanjiFont(const char* fileName);

} // namespace firmware_assets
