#include "bl_options.h"

#include "blfwk/logger.h"
#include "blfwk/protocol_tables.h"
#include "fake_bootloader.h"

#include <gtest/gtest.h>
#include <json/json.h>

using blfwktest::FakeBootloader;
using blfwktest::report;
using blfwktest::responsePacket;
using testsupport::ScriptedHid;

namespace {

struct ToolRun {
    int code;
    std::string out, err;
};

ToolRun tool(const std::vector<std::string>& args)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int code = bl::runTool(args);
    ToolRun r { code, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr() };
    return r;
}

TEST(BlOptions, ParsesOptionsUpToTheCommand)
{
    bl::Options o;
    std::string error;
    ASSERT_TRUE(bl::parseOptions(
        { "--usb", "0x2b29:0x0b", "--timeout", "250", "-v", "-vv", "--", "read-memory", "0", "-4" }, &o,
        &error));
    EXPECT_EQ(o.vendorId, 0x2b29);
    EXPECT_EQ(o.productId, 0x0b);
    EXPECT_EQ(o.timeoutMs, 250);
    EXPECT_EQ(o.verbosity, 3);
    EXPECT_EQ(o.command, (std::vector<std::string> { "read-memory", "0", "-4" }));
    EXPECT_EQ(bl::runFilterLevel(o), 6);

    bl::Options plain;
    ASSERT_TRUE(bl::parseOptions({ "reset", "--json" }, &plain, &error)); // options end at the command
    EXPECT_FALSE(plain.json);
    EXPECT_EQ(plain.command.size(), 2u);
    EXPECT_EQ(bl::runFilterLevel(plain), blfwk::Logger::Warning);
    EXPECT_EQ(bl::resultFilterLevel(plain), blfwk::Logger::Info);

    bl::Options many;
    ASSERT_TRUE(bl::parseOptions({ "-vvvvvvv", "reset" }, &many, &error));
    EXPECT_EQ(bl::runFilterLevel(many), blfwk::Logger::Trace);
    bl::Options json;
    ASSERT_TRUE(bl::parseOptions({ "--json", "-vv", "reset" }, &json, &error));
    EXPECT_EQ(bl::runFilterLevel(json), blfwk::Logger::Json);
    EXPECT_EQ(bl::resultFilterLevel(json), blfwk::Logger::Json);

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>> {
             { "--usb", "2b29", "reset" }, { "--usb", "0x12345:1", "reset" }, { "--usb" },
             { "--timeout", "-1", "reset" }, { "--timeout", "0", "reset" }, { "--timeout", "0x0", "reset" },
             { "--bogus", "reset" }, {}, { "-vx", "reset" } }) {
        bl::Options b;
        EXPECT_FALSE(bl::parseOptions(bad, &b, &error)) << (bad.empty() ? "" : bad[0]);
        EXPECT_FALSE(error.empty());
    }
}

TEST(BlTool, HelpListsEveryCommandAndRefusalsExitTwo)
{
    ToolRun r = tool({ "--help" });
    EXPECT_EQ(r.code, 0);
    for (const auto& row : blfwk::commandTable)
        EXPECT_NE(r.out.find(std::string("  ") + row.name), std::string::npos) << row.name;
    EXPECT_NE(r.out.find("write-memory <start> <file | {{hex data}}> [<byte count>]"), std::string::npos);

    r = tool({ "write-memory", "0xa000", "{{zz}}" });
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("usage: tarvel-bl [OPTION]... write-memory <start>"), std::string::npos);
    r = tool({ "Reset" });
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("unknown command 'Reset'"), std::string::npos);
    r = tool({ "--frobnicate" });
    EXPECT_EQ(r.code, 2);
    // No time at all for a packet: refused before any device is looked for.
    ScriptedHid hid;
    r = tool({ "--usb", "0x2b29:0x0b", "--timeout", "0", "reset" });
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("tarvel-bl: --timeout takes milliseconds, 1 or more"), std::string::npos) << r.err;
    EXPECT_EQ(hid.opens, 0);
    r = tool({ "--json", "--timeout", "0", "reset" });
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.out.find("\"exit_status\""), std::string::npos) << r.out;
}

TEST(BlTool, NoDeviceExitsThree)
{
    ScriptedHid hid;
    hid.openSucceeds = false;
    ToolRun r = tool({ "--usb", "0x2b29:0x0b", "reset" });
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.err, "Error: UsbHidPeripheral() cannot open USB HID device (vid=0x2b29, pid=0x000b).\n");
    EXPECT_EQ(blfwk::Log::getLogger(), nullptr); // its console logger is gone with it
}

TEST(BlTool, DefaultOutputIsTheResponseLines)
{
    ScriptedHid hid;
    FakeBootloader target(hid);
    target.properties[1] = { 0x4B020600 };
    ToolRun r = tool({ "--usb", "0x2b29:0x0b", "get-property", "current-version" });
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out,
        "Response status = 0 (0x0) Success.\n"
        "Response word 1 = 1258423808 (0x4b020600)\n"
        "Current Version = K2.6.0\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(hid.openedVendor, 0x2b29);
    EXPECT_EQ(hid.readTimeouts.back(), 5000);

    for (int i = 0; i < 4; ++i)
        target.memory[0x100 + i] = uint8_t(0xc0 + i);
    r = tool({ "--timeout", "300", "read-memory", "0x100", "4" });
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out,
        "c0 c1 c2 c3 \n"
        "Response status = 0 (0x0) Success.\n"
        "Response word 1 = 4 (0x4)\n"
        "Read 4 of 4 bytes.\n");
    EXPECT_EQ(hid.openedVendor, 0x15a2); // the default identity
    EXPECT_EQ(hid.readTimeouts.back(), 300);
}

TEST(BlTool, FailureStatusesExitOne)
{
    ScriptedHid hid;
    FakeBootloader target(hid);
    target.statusFor[0x02] = 102;
    ToolRun r = tool({ "flash-erase-region", "0x100", "4" });
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "Response status = 102 (0x66) kStatus_FlashAddressError\n");

    target.silent = true;
    r = tool({ "flash-erase-all" });
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("10004 (0x2714) No response packet from target device."), std::string::npos);
    EXPECT_NE(r.err.find("sendCommandGetResponse.readPacket error 5.\n"), std::string::npos);

    r = tool({ "reset" }); // a missing answer to reset is fine
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.err.find("Ignoring missing response from reset command.\n"), std::string::npos);

    r = tool({ "write-memory", "0", "/nonexistent/image.bin" });
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Error: cannot open input data file '/nonexistent/image.bin'"), std::string::npos);
}

TEST(BlTool, ThePropertyListIsShownWithoutAskingTheDevice)
{
    ScriptedHid hid;
    FakeBootloader target(hid);
    ToolRun r = tool({ "get-property", "list-properties" });
    EXPECT_EQ(r.code, 1); // its status is 10005, "no response was expected"
    EXPECT_NE(
        r.out.find("The possible properties for the get-property command are\n    0 or 'list-properties'\n"),
        std::string::npos);
    EXPECT_NE(r.out.find("    25 or 'external-memory-attributes'\n"), std::string::npos);
    EXPECT_NE(r.out.find("Response status = 10005 (0x2715)"), std::string::npos);
    EXPECT_TRUE(hid.writes.empty());
}

TEST(BlTool, AnswersTooShortForThePropertyAreReportedNotFatal)
{
    ScriptedHid hid;
    FakeBootloader target(hid);
    target.properties[12] = { 0, 0x7fff };
    ToolRun r = tool({ "get-property", "reserved-regions" });
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "Error: invalid vector<T> subscript\n");
    target.properties[7] = { 0x80000000 };
    r = tool({ "get-property", "7" });
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "Error: invalid array<T, N> subscript\n");
}

TEST(BlTool, JsonAloneAndTracesWithVerbosity)
{
    ScriptedHid hid;
    FakeBootloader target(hid);
    target.properties[17] = { 1 };
    ToolRun r = tool({ "--json", "get-property", "17" });
    EXPECT_EQ(r.code, 0);
    Json::Value json;
    ASSERT_TRUE(Json::Reader().parse(r.out, json)) << r.out;
    EXPECT_EQ(json["command"].asString(), "get-property");
    EXPECT_EQ(json["status"]["value"].asInt(), 0);
    EXPECT_EQ(json["response"][0].asUInt(), 1u);
    EXPECT_EQ(r.out.find("Response status"), std::string::npos);

    r = tool({ "-v", "reset" });
    EXPECT_NE(r.out.find("Successful generic response to command 'reset'\n"), std::string::npos);
    EXPECT_EQ(r.out.find("took"), std::string::npos);
    r = tool({ "-vvv", "reset" });
    EXPECT_NE(r.out.find("  - took "), std::string::npos);
    EXPECT_EQ(r.out.find("[01 00 04 00"), std::string::npos);
    r = tool({ "-vvvv", "reset" });
    EXPECT_NE(r.out.find("[01 00 04 00 0b 00 00 00 00"), std::string::npos);
    EXPECT_NE(r.out.find("<03 00 0c 00 a0 00 00 02"), std::string::npos);
}

} // namespace
