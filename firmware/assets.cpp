#include "firmware/assets.h"

#include <cstring>

namespace firmware_assets {

namespace {

const Asset* find(AssetKind kind, int deviceType, int variant)
{
    if (deviceType < 0 || deviceType > 31)
        return nullptr;
    for (int i = 0; i < kAssetCount; ++i) {
        const Asset& a = kAssets[i];
        if (a.kind == kind && (a.typeMask & (1u << deviceType)) && a.variant == variant)
            return &a;
    }
    return nullptr;
}

} // namespace

const Asset* findImage(int deviceType, int variant)
{
    return find(AssetKind::Image, deviceType, variant);
}
const Asset* findNordicImage(int deviceType)
{
    return find(AssetKind::NordicImage, deviceType, 0);
}
const Asset* findNordicSettings(int deviceType)
{
    return find(AssetKind::NordicSettings, deviceType, 0);
}

const Asset* findKanjiFont(const char* fileName)
{
    if (!fileName)
        return nullptr;
    for (int i = 0; i < kAssetCount; ++i)
        if (kAssets[i].kind == AssetKind::KanjiFont && std::strcmp(kAssets[i].name, fileName) == 0)
            return &kAssets[i];
    return nullptr;
}

} // namespace firmware_assets
