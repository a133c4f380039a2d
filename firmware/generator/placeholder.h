#pragma once
// Deterministic placeholder contents for assets that have no real file: byte streams that look
// and compress roughly like the real thing, each carrying the identity record a device stand-in
// reads (firmware/asset_records.h).

#include "manifest.h"

#include <cstdint>
#include <vector>

// The decoded bytes of the entry's placeholder, exactly entry.size long.
std::vector<uint8_t> makePlaceholder(const ManifestEntry& entry);
