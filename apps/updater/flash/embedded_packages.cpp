#include "flash/embedded_packages.h"

#include "firmware/assets.h"
#include "flash/firmware_catalog.h"
#include "state/device_models.h"

namespace {

void fill(const firmware_assets::Asset* asset, EmbeddedItem* item)
{
    *item = EmbeddedItem {};
    if (asset) {
        item->name = asset->name;
        item->data = asset->data;
        item->compressedSize = asset->compressedSize;
    }
}

} // namespace

bool selectNordicPackage(int deviceType, EmbeddedItem* image, EmbeddedItem* settings)
{
    if (!isFlashableType(deviceType))
        return false;
    const firmware_assets::Asset* bin = firmware_assets::findNordicImage(deviceType);
    if (!bin)
        return false;
    fill(bin, image);
    fill(firmware_assets::findNordicSettings(deviceType), settings);
    return true;
}

bool selectKanjiFont(const char* fileName, EmbeddedItem* font)
{
    const firmware_assets::Asset* asset = firmware_assets::findKanjiFont(fileName);
    if (!asset)
        return false;
    fill(asset, font);
    return true;
}

int decodeEmbeddedItem(const EmbeddedItem& item, uint8_t* out, int capacity)
{
    return decodeLz4Block(item.data, item.compressedSize, out, capacity);
}
