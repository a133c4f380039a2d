#include "blfwk/protocol_tables.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

using namespace blfwk;

namespace {

TEST(ProtocolTables, CommandRowsAreInTagOrderWithTheirBits)
{
    ASSERT_EQ(commandTable.size(), 17u);
    std::set<std::string> names;
    for (size_t i = 0; i < commandTable.size(); ++i) {
        EXPECT_EQ(commandTable[i].tag, i + 1);
        EXPECT_EQ(commandTable[i].mask, 1u << (commandTable[i].tag - 1));
        names.insert(commandTable[i].name);
    }
    EXPECT_EQ(names.size(), 17u);
    EXPECT_STREQ(commandTable[0].name, "flash-erase-all");
    EXPECT_STREQ(commandTable[6].name, "get-property");
    EXPECT_STREQ(commandTable[10].name, "reset");
    EXPECT_STREQ(commandTable[16].name, "configure-quadspi");

    // "available-commands" 0x41 names the rows of bits 0 and 6.
    std::vector<std::string> named;
    for (size_t bit = 0; bit < 32; ++bit)
        if (0x41u & (1u << bit))
            named.push_back(commandRow(bit).name);
    EXPECT_EQ(named, (std::vector<std::string> { "flash-erase-all", "get-property" }));
}

TEST(ProtocolTables, PropertyAndPeripheralRows)
{
    ASSERT_EQ(propertyTable.size(), 26u);
    for (size_t i = 0; i < propertyTable.size(); ++i)
        EXPECT_EQ(propertyTable[i].value, i);
    EXPECT_STREQ(propertyTable[0].name, "list-properties");
    EXPECT_STREQ(propertyTable[9].name, "reserved");
    EXPECT_STREQ(propertyTable[23].name, "qspi/otfad-init-status");
    EXPECT_STREQ(propertyTable[25].name, "external-memory-attributes");
    EXPECT_EQ(kInvalidProperty.value, 255);
    EXPECT_STREQ(kInvalidProperty.name, "invalid-property");

    ASSERT_EQ(peripheralTable.size(), 7u);
    for (size_t i = 0; i < peripheralTable.size(); ++i)
        EXPECT_EQ(peripheralTable[i].mask, 1u << i);
    EXPECT_STREQ(peripheralTable[4].name, "USB HID");
    EXPECT_STREQ(peripheralRow(6).name, "USB DFU");
}

TEST(ProtocolTables, RowsBeyondTheTablesThrowOutOfRange)
{
    try {
        commandRow(17);
        FAIL();
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "invalid array<T, N> subscript");
    }
    EXPECT_THROW(peripheralRow(7), std::out_of_range);
    EXPECT_NO_THROW(commandRow(16));
}

TEST(StatusMessage, KnownCodesAndTheFallback)
{
    EXPECT_EQ(statusMessage(0), "Success.");
    EXPECT_EQ(statusMessage(1), "Failure.");
    EXPECT_EQ(statusMessage(109), "kStatus_FlashExecuteInRamFunctionNotReady");
    EXPECT_EQ(statusMessage(407), "QSPI Command Timeout");
    EXPECT_EQ(statusMessage(408), "QSPI Write Failure.");
    EXPECT_EQ(statusMessage(10004), "No response packet from target device.");
    EXPECT_EQ(statusMessage(10302), "Invalid property value.");
    EXPECT_EQ(statusMessage(10503), "No response received for command.");

    EXPECT_EQ(statusMessage(107), "Unknown error code (107)");
    EXPECT_EQ(statusMessage(5), "Unknown error code (5)");
    EXPECT_EQ(statusMessage(-1), "Unknown error code (-1)");
    EXPECT_EQ(statusMessage(2147483647), "Unknown error code (2147483647)");
    EXPECT_EQ(statusMessage(-2147483647 - 1), "Unknown error code (-2147483648)");
}

TEST(StatusMessage, TableHasEveryRowOnceAndEndsWithTheTerminator)
{
    ASSERT_EQ(statusMessageTable.size(), 68u);
    EXPECT_EQ(statusMessageTable.back().status, kStatusTableTerminator);
    EXPECT_STREQ(statusMessageTable.back().message, "");
    std::set<status_t> seen;
    for (size_t i = 0; i + 1 < statusMessageTable.size(); ++i) {
        EXPECT_TRUE(seen.insert(statusMessageTable[i].status).second) << statusMessageTable[i].status;
        EXPECT_NE(std::string(statusMessageTable[i].message), "") << statusMessageTable[i].status;
        if (i > 0) {
            EXPECT_LT(statusMessageTable[i - 1].status, statusMessageTable[i].status);
        }
    }
    EXPECT_EQ(statusMessageTable[66].status, 10503);
}

} // namespace
