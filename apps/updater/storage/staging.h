#pragma once
// Staging one file onto the device's drive: written to a local copy under a byte-range lock,
// then copied to the drive, with the log lines that say how far it got.

#include <cstddef>
#include <cstdint>
#include <string>

enum class StageResult { Done, LocalCreateFailed, CopyFailed };

StageResult stageFile(const std::string& localPath, const std::string& drivePath, const uint8_t* bytes, size_t length);

// Creates the local staging folder, with its log lines; on failure also the status message
// the wireless update and the language packs show. False when it cannot be had.
bool createStagingFolder();
