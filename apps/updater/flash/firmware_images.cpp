#include "flash/firmware_catalog.h"

#include "firmware/assets.h"
#include "state/device_models.h"

#include <lz4.h>

uint8_t imageBuffer[kImageBufferSize];
char hexTextBuffer[kHexTextBufferSize];

bool selectFirmwareImage(int deviceType, int variant, FirmwareImage* image)
{
    if (!isFlashableType(deviceType))
        return false;
    const firmware_assets::Asset* asset
        = firmware_assets::findImage(deviceType, variant == kJapaneseVariant ? kJapaneseVariant : 0);
    if (!asset)
        return false;
    image->data = asset->data;
    image->compressedSize = asset->compressedSize;
    image->decodedSize = asset->decodedSize;
    return true;
}

int decodeLz4Block(const uint8_t* block, int compressedSize, uint8_t* out, int capacity)
{
    if (!block || compressedSize <= 0 || !out || capacity <= 0)
        return -1;
    return LZ4_decompress_safe(
        reinterpret_cast<const char*>(block), reinterpret_cast<char*>(out), compressedSize, capacity);
}

int decodeFirmwareImage(const FirmwareImage& image)
{
    return decodeLz4Block(image.data, image.compressedSize, imageBuffer, kImageBufferSize);
}

bool formatDataText(const uint8_t* bytes, int length, char* text, int textSize)
{
    if (textSize > 0)
        text[0] = 0;
    if (!bytes || length <= 0 || textSize < 5 || length > (textSize - 5) / 2)
        return false;
    static const char kDigits[] = "0123456789ABCDEF";
    char* p = text;
    *p++ = '{';
    *p++ = '{';
    for (int i = 0; i < length; ++i) {
        *p++ = kDigits[bytes[i] >> 4];
        *p++ = kDigits[bytes[i] & 15];
    }
    *p++ = '}';
    *p++ = '}';
    *p = 0;
    return true;
}

bool buildDataText(int length)
{
    return formatDataText(imageBuffer, length, hexTextBuffer, kHexTextBufferSize);
}
