#include "blfwk/command.h"
#include "blfwk/property_commands.h"
#include "command_fixture.h"

#include <stdexcept>

using namespace blfwk;
using blfwktest::genericResponse;
using blfwktest::report;
using blfwktest::responsePacket;
using Prop = blfwktest::CommandFixture;
using U = std::vector<uint32_t>;

namespace {

TEST(ScaleBytes, UnitsAndWholeMultiples)
{
    EXPECT_EQ(scaleBytes(524288), "512 KB");
    EXPECT_EQ(scaleBytes(1572864), "1.500 MB");
    EXPECT_EQ(scaleBytes(100), "100 bytes");
    EXPECT_EQ(scaleBytes(0), "0 bytes");
    EXPECT_EQ(scaleBytes(1023), "1023 bytes");
    EXPECT_EQ(scaleBytes(1024), "1 KB");
    EXPECT_EQ(scaleBytes(1025), "1.001 KB");
    EXPECT_EQ(scaleBytes(1ull << 30), "1 GB");
    EXPECT_EQ(scaleBytes(4294967295ull * 1024), "4096.000 GB");
}

TEST(GetPropertyArgs, NumbersNamesAndTheInvalidProperty)
{
    for (const char* text : { "1", "current-version", "0x01" }) {
        auto cmd = Command::create({ "get-property", text });
        ASSERT_NE(cmd, nullptr);
        EXPECT_EQ(static_cast<GetProperty&>(*cmd).property().value, 1) << text;
    }
    auto cmd = Command::create({ "get-property", "-1" });
    EXPECT_EQ(static_cast<GetProperty&>(*cmd).property().value, 255);
    cmd = Command::create({ "get-property", "Current-Version" });
    EXPECT_EQ(static_cast<GetProperty&>(*cmd).property().value, 255);
    cmd = Command::create({ "get-property", "26" });
    EXPECT_EQ(static_cast<GetProperty&>(*cmd).property().value, 255);
    cmd = Command::create({ "get-property", "external-memory-attributes", "1" });
    EXPECT_EQ(static_cast<GetProperty&>(*cmd).property().value, 25);
    EXPECT_EQ(static_cast<GetProperty&>(*cmd).memoryId(), 1u);

    GetProperty direct(propertyByValue(17));
    EXPECT_EQ(direct.arg(1), "0x00000011");
    EXPECT_EQ(direct.name(), "get-property");

    auto set = Command::create({ "set-property", "verify-writes", "1" });
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(static_cast<SetProperty&>(*set).propertyTag(), 0u); // names are not looked up
}

TEST_F(Prop, ListPropertiesSendsNothing)
{
    logger.setFilterLevel(Logger::Info);
    auto cmd = run({ "get-property", "0" });
    EXPECT_TRUE(hid.writes.empty());
    EXPECT_EQ(values(*cmd), U { 10005 });
    ASSERT_EQ(logger.lines.size(), 27u);
    EXPECT_EQ(logger.lines[0], "The possible properties for the get-property command are\n");
    EXPECT_EQ(logger.lines[1], "    0 or 'list-properties'\n");
    EXPECT_EQ(logger.lines[26], "    25 or 'external-memory-attributes'\n");
}

TEST_F(Prop, EveryPropertyText)
{
    struct Case {
        uint32_t property;
        U words;
        std::string text;
        uint32_t memoryId = 0;
    };
    const std::vector<Case> cases = {
        { 1, { 0x4B020600 }, "Current Version = K2.6.0" },
        { 2, { 0x11 }, "Available Peripherals = UART, USB HID" },
        { 2, { 0x40 }, "Available Peripherals = USB DFU" },
        { 3, { 0xA000 }, "Flash Start Address = 0x0000A000" },
        { 4, { 0x100000 }, "Flash Size = 1 MB" },
        { 5, { 4096 }, "Flash Sector Size = 4 KB" },
        { 6, { 2 }, "Flash Block Count = 2" },
        { 7, { 0x41 }, "Available Commands = flash-erase-all, get-property" },
        { 7, { 0x1FFFF },
            "Available Commands = flash-erase-all, flash-erase-region, read-memory, write-memory, "
            "fill-memory, "
            "flash-security-disable, get-property, receive-sb-file, execute, call, reset, set-property, "
            "flash-erase-all-unsecure, flash-program-once, flash-read-once, flash-read-resource, "
            "configure-quadspi" },
        { 8, { 10400 }, "CRC Check Status = kStatus_AppCrcCheckPassed" },
        { 8, { 5 }, "CRC Check Status = Unknown error code (5)" },
        { 10, { 1 }, "Verify Writes Flag = ON" },
        { 10, { 0 }, "Verify Writes Flag = OFF" },
        { 11, { 32 }, "Max Packet Size = 32 bytes" },
        { 12, { 0x0, 0x7FFF, 0x20000000, 0x20000000 },
            "Reserved Regions = Flash: 0x0-0x7FFF (32 KB), RAM: 0x20000000-0x20000000 (0 bytes)" },
        { 13, { 0 }, "Validate Regions Flag = OFF" },
        { 14, { 0x1FFF0000 }, "RAM Start Address = 0x1FFF0000" },
        { 15, { 0x30000 }, "RAM Size = 192 KB" },
        { 16, { 0x12345678 }, "System Device ID = 0x12345678" },
        { 17, { 1 }, "Flash Security State = SECURE" },
        { 17, { 0 }, "Flash Security State = UNSECURE" },
        { 18, { 0x00010002, 0xABCD1234 }, "Unique Device ID = 0001 0002 ABCD 1234" },
        { 19, { 1 }, "Flash Access Controller (FAC) Support Flag = SUPPORTED" },
        { 20, { 0x4000 }, "Flash Access Segment Size = 16 KB" },
        { 21, { 8 }, "Flash Access Segment Count = 8" },
        { 22, { 0 }, "Flash read margin level = NORMAL" },
        { 22, { 2 }, "Flash read margin level = FACTORY" },
        { 22, { 7 }, "Flash read margin level = UNKNOWN (7)" },
        { 23, { 405 }, "QSPI Init Status = QSPI Not Configured." },
        { 24, { 0x54010203 }, "Target Version = T1.2.3" },
        { 25, { 0x1F, 0x68000000, 4096, 256, 4096, 65536 },
            "QuadSPI Attributes: Start Address = 0x68000000  Total Size = 4 MB  Page Size = 256 bytes  "
            "Sector Size = 4 KB  Block Size = 64 KB ",
            1 },
        { 25, { 0x02, 0, 4194304, 0, 0, 0 }, "UNKNOWN Attributes: Total Size = 4 GB  " },
        { 25, { 0, 1, 2, 3, 4, 5 }, "" },
        { 9, { 1 }, "" },
    };
    for (const Case& c : cases) {
        target.properties[c.property] = c.words;
        auto cmd = run({ "get-property", std::to_string(c.property), std::to_string(c.memoryId) });
        EXPECT_EQ(lastCommand().tag, 0x07);
        EXPECT_EQ(lastCommand().params, (U { c.property, c.memoryId }));
        U expected { 0 };
        expected.insert(expected.end(), c.words.begin(), c.words.end());
        EXPECT_EQ(values(*cmd), expected) << c.property;
        EXPECT_EQ(cmd->responseText(), c.text) << c.property;
    }
    EXPECT_TRUE(logger.contains("Successful response to command 'get-property(current-version)'\n"));
}

TEST_F(Prop, AnswersThatDoNotFit)
{
    // Fewer words than the property needs: an out-of-range error leaves sendTo.
    target.properties[12] = { 0, 0x7FFF, 0x20000000 };
    auto cmd = Command::create({ "get-property", "12" });
    try {
        cmd->sendTo(packetizer);
        FAIL() << "no error for a short reserved-regions answer";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "invalid vector<T> subscript");
    }
    target.properties[1] = {};
    cmd = Command::create({ "get-property", "1" });
    EXPECT_THROW(cmd->sendTo(packetizer), std::out_of_range);
    target.properties[25] = { 0 };
    cmd = Command::create({ "get-property", "25" });
    EXPECT_THROW(cmd->sendTo(packetizer), std::out_of_range); // all six words are read first

    // Bits beyond the tables.
    target.properties[7] = { 1u << 17 };
    cmd = Command::create({ "get-property", "7" });
    try {
        cmd->sendTo(packetizer);
        FAIL();
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "invalid array<T, N> subscript");
    }
    target.properties[2] = { 0x81 };
    cmd = Command::create({ "get-property", "2" });
    EXPECT_THROW(cmd->sendTo(packetizer), std::out_of_range);
}

TEST_F(Prop, ResponseTagsAndStatuses)
{
    target.statusFor[0x07] = 10300;
    auto cmd = run({ "get-property", "1" });
    EXPECT_EQ(values(*cmd), U { 10300 });
    EXPECT_EQ(cmd->responseText(), "");

    target.onCommand = [this](const auto&) {
        hid.queueReport(genericResponse(10300, 0x07));
        return true;
    };
    cmd = run({ "get-property", "1" });
    EXPECT_EQ(values(*cmd), U { 10300 });

    target.onCommand = [this](const auto&) {
        hid.queueReport(report(3, responsePacket(0xAF, { 0, 1 })));
        return true;
    };
    cmd = run({ "get-property", "1" });
    EXPECT_EQ(values(*cmd), U { 10000 });
    EXPECT_TRUE(logger.contains("Error: expected kCommandTag_GetPropertyResponse (0xa7), received 0xaf\n"));

    // A response without even a status word.
    target.onCommand = [this](const auto&) {
        hid.queueReport(report(3, { 0xA7, 0, 0, 0 }));
        return true;
    };
    cmd = run({ "get-property", "1" });
    EXPECT_EQ(values(*cmd), U { 10000 });

    // The data-phase flag on a get-property response is reported, the answer still used.
    target.onCommand = [this](const auto&) {
        hid.queueReport(report(3, responsePacket(0xA7, { 0, 1 }, kCommandFlag_HasDataPhase)));
        return true;
    };
    cmd = run({ "get-property", "17" });
    EXPECT_EQ(values(*cmd), (U { 0, 1 }));
    EXPECT_TRUE(logger.contains("data phase flag"));

    target.onCommand = nullptr;
    target.silent = true;
    cmd = run({ "get-property", "1" });
    EXPECT_EQ(values(*cmd), U { 10004 });
}

TEST_F(Prop, SetPropertySendsTagAndValue)
{
    auto cmd = run({ "set-property", "10", "1" });
    EXPECT_EQ(lastCommand().tag, 0x0C);
    EXPECT_EQ(lastCommand().params, (U { 10, 1 }));
    EXPECT_EQ(values(*cmd), U { 0 });
    EXPECT_EQ(cmd->responseText(), "");

    target.statusFor[0x0C] = 10301;
    cmd = run({ "set-property", "0x1", "0x10" });
    EXPECT_EQ(lastCommand().params, (U { 1, 16 }));
    EXPECT_EQ(values(*cmd), U { 10301 });
}

} // namespace
