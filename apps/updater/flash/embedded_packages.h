#pragma once
// The wireless packages and Kanji fonts the updater carries: raw LZ4 blocks with their
// compressed sizes, for the wireless update and the language packs to decode and stage.

#include <cstdint>

struct EmbeddedItem {
    const char* name = nullptr; // the asset's name in the firmware manifest
    const uint8_t* data = nullptr;
    int compressedSize = 0;
};

// Decoded fonts may not exceed this many bytes.
constexpr int kFontDecodeLimit = 500000;

// The wireless image of a device type (4..16) and, for types 11..16, its settings file; types 14
// and 16 share theirs. The language variant plays no part. False for any other type. For types
// 4..10 settings is left with no data.
bool selectNordicPackage(int deviceType, EmbeddedItem* image, EmbeddedItem* settings);

// A font by its file name ("Kanji_11x12.bin", "Kanji_18x18.bin", "Kanji_19x19.bin").
bool selectKanjiFont(const char* fileName, EmbeddedItem* font);

// Decodes an item into out (capacity bytes): the decoded length, or negative on failure.
int decodeEmbeddedItem(const EmbeddedItem& item, uint8_t* out, int capacity);
