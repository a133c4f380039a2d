#include "flash/firmware_catalog.h"

#include <cstdio>

std::array<FirmwareCatalogRow, 17> firmwareCatalog {};

void initFirmwareCatalog()
{
    static const FirmwareCatalogRow kRows[13] = {
        { 7, 63, 10, 4, 1, 1 }, // 4 Boosted Peak GPS
        { 7, 63, 10, 2, 1, 1 }, // 5 Ridge GPS
        { 7, 63, 10, 3, 1, 1 }, // 6 Sprig GPS
        { 7, 63, 10, 1, 1, 1 }, // 7 Sprig Color
        { 7, 63, 10, 1, 1, 1 }, // 8 Sprig Band
        { 7, 63, 10, 0, 1, 1 }, // 9 Band Color
        { 7, 63, 10, 3, 1, 1 }, // 10 Lite GPS
        { 14, 51, 13, 1, 1, 1 }, // 11 Summit GPS
        { 14, 51, 13, 1, 1, 1 }, // 12 Summit Color
        { 14, 51, 13, 1, 1, 1 }, // 13 Peak Pro
        { 14, 51, 13, 1, 1, 1 }, // 14 Ridge Plus
        { 13, 12, 13, 1, 1, 1 }, // 15 Ridge Easy
        { 14, 31, 13, 1, 1, 1 }, // 16 Ridge Easy 2
    };
    for (int type = 4; type <= 16; ++type)
        firmwareCatalog[size_t(type)] = kRows[type - 4];
}

const char* aboutText()
{
    static char text[1024];
    initFirmwareCatalog();
    // The About box lists the models in this order; type 16 is not listed.
    static const int kOrder[12] = { 4, 5, 7, 9, 8, 10, 6, 11, 12, 13, 14, 15 };
    auto major = [](int i) { return firmwareCatalog[size_t(kOrder[i])][0]; };
    auto minor = [](int i) { return firmwareCatalog[size_t(kOrder[i])][1]; };
    std::snprintf(text, sizeof text,
        "Tarvel Gps Firmware Programmer\n\nFirmware versions:\n"
        " Peak GPS \t%d.%d\n"
        " Ridge GPS \t%d.%d\n"
        " Sprig Color \t%d.%d\n"
        " Band Color \t%d.%d\n"
        " Sprig Band \t%d.%d\n"
        " Lite GPS  \t%d.%d\n"
        " Sprig GPS \t%d.%d\n"
        "  Summit GPS \t%d.%d\n"
        "  Summit Color \t%d.%d\n"
        "  Peak Pro \t%d.%d\n"
        "  Ridge Plus \t%d.%d\n"
        "  Ridge Easy \t%d.%d\n\r\n",
        major(0), minor(0), major(1), minor(1), major(2), minor(2), major(3), minor(3), major(4), minor(4),
        major(5), minor(5), major(6), minor(6), major(7), minor(7), major(8), minor(8), major(9), minor(9),
        major(10), minor(10), major(11), minor(11));
    return text;
}
