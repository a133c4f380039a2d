#pragma once
// The catalogue of the firmware this updater carries: the version row per device type, the
// embedded main images and their decoding into the process-wide buffers the programming step
// uses, and the About text.

#include <array>
#include <cstdint>

// Version rows indexed by device type 0..16: words 0 and 1 are the major and minor version
// carried for that type; words 2..5 travel along with the row (into DeviceInfo.catalogRow).
// Rows 0..3 stay zero: those types are not flashable.
using FirmwareCatalogRow = std::array<int32_t, 6>;
extern std::array<FirmwareCatalogRow, 17> firmwareCatalog;

// (Re)writes rows 4..16; called before every read of the catalogue.
void initFirmwareCatalog();

// One embedded main image: a raw LZ4 block, its compressed size (the decoder's input length)
// and the length it decodes to (found by decoding it when the program was built).
struct FirmwareImage {
    const uint8_t* data = nullptr;
    int compressedSize = 0;
    int decodedSize = 0;
};

// The image for a device type and variant: 60 selects the Japanese build, any other value the
// standard one. False, with image untouched, for a type outside 4..16.
bool selectFirmwareImage(int deviceType, int variant, FirmwareImage* image);

// Process-wide buffers shared by every programming attempt, one attempt at a time.
constexpr int kImageBufferSize = 3000000;
constexpr int kHexTextBufferSize = 3000000;
extern uint8_t imageBuffer[kImageBufferSize];
extern char hexTextBuffer[kHexTextBufferSize];

// Largest decoded image whose data text fits hexTextBuffer: "{{", two digits per byte, "}}", NUL.
constexpr int kMaxDataTextBytes = (kHexTextBufferSize - 5) / 2;

// Decodes an image into imageBuffer. Returns the decoded length, or a negative number for a
// malformed block, one that would not fit, or an image without data.
int decodeFirmwareImage(const FirmwareImage& image);

// Decodes one raw LZ4 block of compressedSize bytes into out (capacity bytes). Returns the
// decoded length, or a negative number on any failure; never writes past capacity.
int decodeLz4Block(const uint8_t* block, int compressedSize, uint8_t* out, int capacity);

// Builds the write command's data text from the first length bytes of imageBuffer into
// hexTextBuffer: "{{", every byte as two upper-case hexadecimal digits, "}}", zero-terminated.
// False (and hexTextBuffer emptied) when length is not 1..kMaxDataTextBytes: a failed decode
// or an image too large for the text is a failed programming attempt, not an empty write.
bool buildDataText(int length);

// The same for any bytes into any buffer of textSize characters; false when it does not fit.
bool formatDataText(const uint8_t* bytes, int length, char* text, int textSize);

// The About text: the versions carried for twelve models, in a static buffer.
const char* aboutText();
