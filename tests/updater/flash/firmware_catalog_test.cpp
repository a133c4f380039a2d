// The version rows and the About text.
#include "flash/firmware_catalog.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FirmwareCatalog, RowsCarryTheVersionsOfEveryFlashableModel)
{
    const FirmwareCatalogRow expected[17] = {
        {},
        {},
        {},
        {},
        { 7, 63, 10, 4, 1, 1 },
        { 7, 63, 10, 2, 1, 1 },
        { 7, 63, 10, 3, 1, 1 },
        { 7, 63, 10, 1, 1, 1 },
        { 7, 63, 10, 1, 1, 1 },
        { 7, 63, 10, 0, 1, 1 },
        { 7, 63, 10, 3, 1, 1 },
        { 14, 51, 13, 1, 1, 1 },
        { 14, 51, 13, 1, 1, 1 },
        { 14, 51, 13, 1, 1, 1 },
        { 14, 51, 13, 1, 1, 1 },
        { 13, 12, 13, 1, 1, 1 },
        { 14, 31, 13, 1, 1, 1 },
    };
    initFirmwareCatalog();
    for (int type = 0; type <= 16; ++type)
        EXPECT_EQ(firmwareCatalog[size_t(type)], expected[type]) << "type " << type;
}

TEST(FirmwareCatalog, InitRewritesRowsThatWereChangedAndLeavesRowsZeroToThreeAlone)
{
    initFirmwareCatalog();
    firmwareCatalog[11] = { 1, 2, 3, 4, 5, 6 };
    firmwareCatalog[16][1] = 0;
    initFirmwareCatalog();
    EXPECT_EQ(firmwareCatalog[11], (FirmwareCatalogRow { 14, 51, 13, 1, 1, 1 }));
    EXPECT_EQ(firmwareCatalog[16], (FirmwareCatalogRow { 14, 31, 13, 1, 1, 1 }));
    for (int type = 0; type < 4; ++type) {
        EXPECT_EQ(firmwareCatalog[size_t(type)][0], 0);
        EXPECT_EQ(firmwareCatalog[size_t(type)][1], 0);
    }
}

TEST(FirmwareCatalog, AboutTextListsTwelveModelsWithTheirVersions)
{
    firmwareCatalog[15] = {}; // the About text must read the catalogue afresh
    const std::string expected
        = "Tarvel Gps Firmware Programmer\n\nFirmware versions:\n"
          " Peak GPS \t7.63\n Ridge GPS \t7.63\n Sprig Color \t7.63\n Band Color \t7.63\n"
          " Sprig Band \t7.63\n Lite GPS  \t7.63\n Sprig GPS \t7.63\n  Summit GPS \t14.51\n"
          "  Summit Color \t14.51\n  Peak Pro \t14.51\n  Ridge Plus \t14.51\n"
          "  Ridge Easy \t13.12\n\r\n";
    EXPECT_EQ(std::string(aboutText()), expected);
    EXPECT_EQ(std::string(aboutText()).find("14.31"), std::string::npos) << "type 16 is not listed";
}

} // namespace
