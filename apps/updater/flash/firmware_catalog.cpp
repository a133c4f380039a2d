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

namespace {

// The About box's lines in their order, each label as it stands; type 16 is not listed.
struct AboutLine {
    int type;
    const char* label;
};
const AboutLine kAboutLines[] = {
    { 4, " Peak GPS " },
    { 5, " Ridge GPS " },
    { 7, " Sprig Color " },
    { 9, " Band Color " },
    { 8, " Sprig Band " },
    { 10, " Lite GPS  " },
    { 6, " Sprig GPS " },
    { 11, "  Summit GPS " },
    { 12, "  Summit Color " },
    { 13, "  Peak Pro " },
    { 14, "  Ridge Plus " },
    { 15, "  Ridge Easy " },
};

} // namespace

const char* aboutText()
{
    static char text[1024];
    initFirmwareCatalog();
    int used = std::snprintf(text, sizeof text, "Tarvel Gps Firmware Programmer\n\nFirmware versions:\n");
    for (const AboutLine& line : kAboutLines) {
        const FirmwareCatalogRow& row = firmwareCatalog[size_t(line.type)];
        used += std::snprintf(
            text + used, sizeof text - size_t(used), "%s\t%d.%d\n", line.label, row[0], row[1]);
    }
    std::snprintf(text + used, sizeof text - size_t(used), "\r\n");
    return text;
}
