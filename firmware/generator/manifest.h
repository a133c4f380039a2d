#pragma once
// The asset manifest (firmware/manifest.txt): one line per embedded asset.

#include <cstdint>
#include <string>
#include <vector>

enum class AssetKind { Image, NordicImage, NordicSettings, KanjiFont };

struct ManifestEntry {
    AssetKind kind = AssetKind::Image;
    std::string name; // file name of a real asset in firmware/
    uint32_t typeMask = 0; // bit n set: serves device type n
    int variant = 0; // images: 0 or 60
    uint32_t size = 0; // decoded size of the placeholder
    bool rawForm = true; // a real asset is raw bytes (true) or one LZ4 block (false)
    std::string version; // images "major.minor", wireless images the dotted version text
    int line = 0;
};

// Reads the manifest; on a malformed line fills error and returns false.
bool readManifest(const std::string& path, std::vector<ManifestEntry>* entries, std::string* error);

// The lowest device type of the entry's mask, or -1 when it has none.
int firstType(const ManifestEntry& entry);

// The assembler symbol that holds the asset's compressed bytes.
std::string assetSymbol(const ManifestEntry& entry);
