#include "blfwk/command_args.h"
#include "blfwk/command.h"
#include "blfwk/data_phase.h"
#include "blfwk/memory_commands.h"
#include "blfwk/property_commands.h"
#include "command_fixture.h"

#include <json/json.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

using namespace blfwk;
using blfwktest::genericResponse;
using blfwktest::report;
using blfwktest::responsePacket;
using Cmd = blfwktest::CommandFixture;
using U = std::vector<uint32_t>;

namespace {

std::string tempPath(const char* name)
{
    return ::testing::TempDir() + name;
}

TEST(CommandFactory, NamesMatchExactlyAndArgumentsAreChecked)
{
    EXPECT_NE(dynamic_cast<Reset*>(Command::create({ "reset" }).get()), nullptr);
    EXPECT_EQ(Command::create({ "Reset" }), nullptr);
    EXPECT_EQ(Command::create({ "reset", "extra" }), nullptr);
    EXPECT_EQ(Command::create({ "no-such-command" }), nullptr);
    EXPECT_THROW(Command::create({}), std::out_of_range);

    // Every table name builds its own class with fitting arguments.
    const std::vector<string_vector_t> good = {
        { "flash-erase-all" },
        { "flash-erase-region", "0", "4" },
        { "read-memory", "0", "4" },
        { "write-memory", "0", "{{00}}" },
        { "fill-memory", "0", "4", "1" },
        { "flash-security-disable", "0123456789abcdef" },
        { "get-property", "1" },
        { "receive-sb-file", "f.sb" },
        { "execute", "1", "2", "3" },
        { "call", "1", "2" },
        { "reset" },
        { "set-property", "10", "1" },
        { "flash-erase-all-unsecure" },
        { "flash-program-once", "0", "4", "00000001" },
        { "flash-read-once", "0", "4" },
        { "flash-read-resource", "0", "4", "0" },
        { "configure-quadspi", "1", "0x2000" },
    };
    ASSERT_EQ(good.size(), commandTable.size());
    for (const string_vector_t& args : good) {
        auto cmd = Command::create(args);
        ASSERT_NE(cmd, nullptr) << args[0];
        EXPECT_EQ(cmd->name(), args[0]);
        EXPECT_EQ(cmd->argCount(), args.size());
        EXPECT_NE(Command::usage(args[0]), nullptr);
        EXPECT_THROW(cmd->arg(args.size()), std::out_of_range);
    }

    const std::vector<string_vector_t> bad = {
        { "flash-erase-all", "1", "2" },
        { "flash-erase-region", "0" },
        { "read-memory", "0" },
        { "read-memory", "0", "-4" },
        { "read-memory", "0x10z", "4" },
        { "read-memory", "", "4" },
        { "write-memory", "0" },
        { "write-memory", "0xa000", "{{ zz }}" },
        { "write-memory", "0", "f", "1", "2" },
        { "fill-memory", "0", "4", "1", "long" },
        { "fill-memory", "0", "4", "-1" },
        { "fill-memory", "0", "4" },
        { "flash-security-disable", "0123456789abcde" },
        { "flash-security-disable", "0123456789abcdef0" },
        { "receive-sb-file" },
        { "execute", "1", "2" },
        { "call", "1" },
        { "set-property", "10", "on" },
        { "set-property", "10" },
        { "flash-program-once", "0", "5", "00000001" },
        { "flash-program-once", "0", "8", "00000001" },
        { "flash-program-once", "0", "4", "0001" },
        { "flash-read-once", "0", "2" },
        { "flash-read-resource", "0", "4" },
        { "configure-quadspi", "1" },
        { "get-property" },
        { "get-property", "1", "2", "3" },
        { "flash-erase-all-unsecure", "1" },
        // Numbers beyond 32 bits would be cut to another address, count or property.
        { "flash-erase-region", "0xa000", "0x100000000" },
        { "read-memory", "0xa000", "0x100000004" },
        { "get-property", "4294967297" },
        { "get-property", "1", "0x1FFFFFFFF" },
        { "flash-erase-all", "99999999999999999999999" },
        { "write-memory", "0x1a000", "f", "0x100000000" },
        { "fill-memory", "0", "4", "0x1ffffffff" },
        { "execute", "0x100000000", "0", "0" },
        { "set-property", "4294967306", "1" },
        // Data text that is not closed, has a lone digit or a stray character.
        { "write-memory", "0xa000", "{{0102" },
        { "write-memory", "0xa000", "{{010}}" },
        { "write-memory", "0xa000", "{{01 0x02}}" },
        { "write-memory", "0xa000", "{{}}" },
    };
    for (const string_vector_t& args : bad)
        EXPECT_EQ(Command::create(args), nullptr) << args[0] << " " << (args.size() > 1 ? args[1] : "");
}

TEST(NumberRules, StrictAndLenient)
{
    uint32_t v = 7;
    EXPECT_TRUE(parseUnsigned("0x1F", &v));
    EXPECT_EQ(v, 0x1Fu);
    EXPECT_TRUE(parseUnsigned("010", &v));
    EXPECT_EQ(v, 8u);
    EXPECT_TRUE(parseUnsigned("42", &v));
    EXPECT_EQ(v, 42u);
    v = 7;
    EXPECT_FALSE(parseUnsigned("", &v));
    EXPECT_FALSE(parseUnsigned("-4", &v));
    EXPECT_EQ(v, 7u);
    EXPECT_FALSE(parseUnsigned("12abc", &v));
    EXPECT_EQ(v, 12u); // the number is stored, the parse still fails
    EXPECT_FALSE(parseUnsigned("on", &v));

    v = 7;
    EXPECT_FALSE(parseUnsigned("4294967296", &v));
    EXPECT_FALSE(parseUnsigned("0x100000004", &v));
    EXPECT_EQ(v, 7u); // a number beyond 32 bits is not stored cut
    EXPECT_TRUE(parseUnsigned("0xFFFFFFFF", &v));
    EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_TRUE(numberFits32Bits("4294967295"));
    EXPECT_TRUE(numberFits32Bits("junk"));
    EXPECT_FALSE(numberFits32Bits(" -4294967296"));
    EXPECT_FALSE(numberFits32Bits("0x1ffffffffffffffffffff"));
    EXPECT_FALSE(parseLenient("0x100000000", &v));
    EXPECT_TRUE(parseLenient("-4", &v));
    EXPECT_EQ(v, 0xFFFFFFFCu);

    EXPECT_EQ(parseLenient("12abc"), 12u);
    EXPECT_EQ(parseLenient("junk"), 0u);
    EXPECT_EQ(parseLenient("-4"), 0xFFFFFFFCu);
    EXPECT_EQ(parseLenient("0XA000"), 0xA000u);
}

TEST(HexData, WriteMemoryTakesClosedEvenDataTextOnly)
{
    EXPECT_NE(Command::create({ "write-memory", "0xa000", "{{0102 0304}}" }), nullptr);
    EXPECT_NE(Command::create({ "write-memory", "0xa000", "{{ 0a\tFF }}" }), nullptr);
    EXPECT_EQ(Command::create({ "write-memory", "0xa000", "{{abc}}" }), nullptr);
    EXPECT_EQ(Command::create({ "write-memory", "0xa000", "{{ab}" }), nullptr);
}

TEST(HexData, DigitsArePairedAndEverythingElseIsDropped)
{
    HexDataProducer p;
    EXPECT_EQ(p.loadHexText("{{0a0B ff}}"), 3u);
    EXPECT_EQ(p.data(), (std::vector<uint8_t> { 0x0A, 0x0B, 0xFF }));
    EXPECT_EQ(p.loadHexText("{{abc}}"), 2u);
    EXPECT_EQ(p.data(), (std::vector<uint8_t> { 0xAB, 0x0C }));
    EXPECT_EQ(p.loadHexText("{{ -- }}"), 0u);
    EXPECT_TRUE(p.data().empty());
    EXPECT_FALSE(p.hasMoreData());
}

TEST_F(Cmd, GenericCommandsSendTheirTagsAndParameters)
{
    struct Case {
        string_vector_t args;
        uint8_t tag;
        U params;
    };
    const std::vector<Case> cases = {
        { { "flash-erase-all" }, 0x01, { 0 } },
        { { "flash-erase-all", "0x10" }, 0x01, { 0x10 } },
        { { "flash-erase-region", "0xa000", "-4" }, 0x02, { 0xa000, 0xFFFFFFFC } },
        { { "fill-memory", "0x100", "8", "0x12345678" }, 0x05, { 0x100, 8, 0x12345678 } },
        { { "fill-memory", "0x100", "8", "0xAB", "byte" }, 0x05, { 0x100, 8, 0xABABABAB } },
        { { "fill-memory", "0x100", "8", "0x99991234", "short" }, 0x05, { 0x100, 8, 0x12341234 } },
        { { "fill-memory", "0x100", "8", "0x99991234", "word" }, 0x05, { 0x100, 8, 0x99991234 } },
        { { "flash-security-disable", "0123456789ABCDEF" }, 0x06, { 0x01234567, 0x89ABCDEF } },
        { { "call", "0x2001", "7" }, 0x0A, { 0x2001, 7 } },
        { { "set-property", "10", "1" }, 0x0C, { 10, 1 } },
        { { "set-property", "verify-writes", "1" }, 0x0C, { 0, 1 } },
        { { "flash-erase-all-unsecure" }, 0x0D, {} },
        { { "flash-program-once", "3", "4", "DEADBEEF" }, 0x0E, { 3, 4, 0xDEADBEEF } },
        { { "flash-program-once", "3", "8", "0000000112345678" }, 0x0E, { 3, 8, 1, 0x12345678 } },
        { { "configure-quadspi", "1", "0x20000000" }, 0x11, { 1, 0x20000000 } },
        { { "execute", "0xa001", "5", "0x20008000" }, 0x09, { 0xa001, 5, 0x20008000 } },
        { { "reset" }, 0x0B, {} },
    };
    for (const Case& c : cases) {
        auto cmd = run(c.args);
        ASSERT_TRUE(cmd);
        EXPECT_EQ(lastCommand().tag, c.tag) << c.args[0];
        EXPECT_EQ(lastCommand().flags, 0) << c.args[0];
        EXPECT_EQ(lastCommand().params, c.params) << c.args[0];
        EXPECT_EQ(values(*cmd), U { 0 }) << c.args[0];
        EXPECT_TRUE(logger.contains("Successful generic response to command '" + c.args[0] + "'\n"));
    }
    // The wire form of one: tag, flags, reserved, count, parameters.
    const testsupport::Bytes& w = hid.writes[2];
    EXPECT_EQ(testsupport::Bytes(w.begin(), w.begin() + 16),
        (testsupport::Bytes { 1, 0, 12, 0, 0x02, 0, 0, 2, 0x00, 0xa0, 0, 0, 0xfc, 0xff, 0xff, 0xff }));
}

TEST_F(Cmd, GenericResponseFailures)
{
    // A device status is recorded without a message of its own.
    target.statusFor[0x02] = 10200;
    auto cmd = run({ "flash-erase-region", "0", "4" });
    EXPECT_EQ(values(*cmd), U { 10200 });

    // An answer to another command.
    target.onCommand = [this](const auto&) {
        hid.queueReport(genericResponse(0, 0x02));
        return true;
    };
    cmd = run({ "reset" });
    EXPECT_EQ(values(*cmd), U { 10000 });
    EXPECT_TRUE(logger.contains("Error: expected commandTag 0xb, received 0x2\n"));

    // The wrong response tag.
    target.onCommand = [this](const auto&) {
        hid.queueReport(report(3, responsePacket(0xA7, { 0, 1 })));
        return true;
    };
    cmd = run({ "call", "1", "2" });
    EXPECT_EQ(values(*cmd), U { 10000 });
    EXPECT_TRUE(logger.contains("Error: expected kCommandTag_GenericResponse (0xa0), received 0xa7\n"));

    // A generic response too short to hold the answered tag is not taken as success.
    target.onCommand = [this](const auto&) {
        hid.queueReport(report(3, { 0xA0, 0, 0, 2, 0, 0, 0, 0 }));
        return true;
    };
    cmd = run({ "flash-erase-all" });
    EXPECT_EQ(values(*cmd), U { 10000 });

    // A header that claims more words than the packet holds reads no further than the packet.
    target.onCommand = [this](const auto&) {
        hid.queueReport(report(3, { 0xA0, 0, 0, 255, 0, 0, 0, 0, 0x01, 0, 0, 0 }));
        return true;
    };
    cmd = run({ "flash-erase-all" });
    EXPECT_EQ(values(*cmd), U { 0 });
}

TEST_F(Cmd, MissingResponses)
{
    target.silent = true;
    auto cmd = run({ "flash-erase-all" });
    EXPECT_EQ(values(*cmd), U { 10004 });
    EXPECT_TRUE(logger.contains("sendCommandGetResponse.readPacket error 5.\n"));
    EXPECT_TRUE(logger.contains("processResponse: null packet\n"));

    logger.lines.clear();
    cmd->logResponses();
    ASSERT_FALSE(logger.lines.empty());
    EXPECT_EQ(logger.lines[0], "Response status = 10004 (0x2714) No response packet from target device.\n");

    // Reset and execute take a missing response as success.
    for (const string_vector_t& args :
        { string_vector_t { "reset" }, string_vector_t { "execute", "1", "2", "3" } }) {
        cmd = run(args);
        EXPECT_EQ(values(*cmd), U { 0 });
    }
    EXPECT_TRUE(logger.contains("Ignoring missing response from reset command.\n"));
    EXPECT_TRUE(logger.contains("Ignoring missing response from execute command.\n"));

    // A write that fails never waits for a response.
    target.silent = false;
    hid.writeResult = -1;
    const int reads = hid.reads;
    cmd = run({ "call", "1", "2" });
    EXPECT_EQ(values(*cmd), U { 10004 });
    EXPECT_EQ(hid.reads, reads);
    EXPECT_TRUE(logger.contains("sendCommandGetResponse.writePacket error 1.\n"));
}

TEST_F(Cmd, WriteMemoryFromHexTextIgnoresTheCount)
{
    auto cmd = run({ "write-memory", "0xa000", "{{0102}}", "1" });
    ASSERT_TRUE(cmd);
    EXPECT_EQ(target.commands[0].tag, 0x04);
    EXPECT_EQ(target.commands[0].flags, kCommandFlag_HasDataPhase);
    EXPECT_EQ(target.commands[0].params, (U { 0xa000, 2 }));
    EXPECT_EQ(target.dataPacketSizes, (std::vector<size_t> { 2 }));
    EXPECT_EQ(target.memory[0xa000], 0x01);
    EXPECT_EQ(target.memory[0xa001], 0x02);
    EXPECT_EQ(values(*cmd), U { 0 });
    EXPECT_EQ(cmd->responseText(), "Wrote 2 of 2 bytes.");
}

TEST_F(Cmd, SeventyBytesGoAsThirtyTwoThirtyTwoAndSix)
{
    std::string text = "{{";
    for (int i = 0; i < 70; ++i) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", i);
        text += hex;
    }
    text += "}}";
    auto cmd = run({ "write-memory", "0x1000", text });
    EXPECT_EQ(target.dataPacketSizes, (std::vector<size_t> { 32, 32, 6 }));
    EXPECT_EQ(values(*cmd), U { 0 });
    EXPECT_EQ(cmd->responseText(), "Wrote 70 of 70 bytes.");
    for (int i = 0; i < 70; ++i)
        ASSERT_EQ(target.memory[0x1000 + i], i);
}

TEST_F(Cmd, WriteMemoryRefusedOrCutShort)
{
    target.statusFor[0x04] = 10001;
    auto cmd = run({ "write-memory", "0", "{{00112233}}" });
    EXPECT_EQ(values(*cmd), U { 10001 });
    EXPECT_EQ(cmd->responseText(), "Wrote 0 of 4 bytes.");
    EXPECT_TRUE(target.dataPacketSizes.empty());

    // The device vanishes after the second data packet: the phase stops, the final read
    // fails and 10004 is what remains.
    target.statusFor.clear();
    std::string text = "{{" + std::string(200, 'a') + "}}";
    int dataWrites = 0;
    hid.onWrite = [&](const testsupport::Bytes& w) {
        if (w[0] == 1)
            hid.queueReport(genericResponse(0, 0x04));
        if (w[0] == 2 && ++dataWrites >= 2)
            hid.writeResult = -1;
    };
    cmd = run({ "write-memory", "0", text });
    EXPECT_EQ(values(*cmd), U { 10004 });
    EXPECT_EQ(cmd->responseText(), "Wrote 32 of 100 bytes.");
    EXPECT_TRUE(logger.contains("Data phase write aborted by status 0x1 Failure.\n"));
    hid.writeResult = -2;
}

TEST_F(Cmd, WriteMemoryFromAFileAndMissingFiles)
{
    const std::string path = tempPath("blfwk_write.bin");
    {
        std::ofstream f(path, std::ios::binary);
        for (int i = 0; i < 100; ++i)
            f.put(char(i));
    }
    auto cmd = run({ "write-memory", "0x2000", path });
    EXPECT_EQ(lastCommand().params, (U { 0x2000, 100 }));
    EXPECT_EQ(cmd->responseText(), "Wrote 100 of 100 bytes.");
    EXPECT_TRUE(logger.contains("Preparing to send 100 (0x64) bytes to the target.\n"));

    // A count limits a file source, and the last packet stops at it.
    cmd = run({ "write-memory", "0x3000", path, "40" });
    EXPECT_EQ(lastCommand().params, (U { 0x3000, 40 }));
    EXPECT_EQ(target.dataPacketSizes.back(), 8u);
    EXPECT_EQ(cmd->responseText(), "Wrote 40 of 40 bytes.");
    EXPECT_EQ(target.memory[0x3000 + 39], 39);
    EXPECT_EQ(target.memory[0x3000 + 40], 0xFF);

    const size_t sent = target.commands.size();
    cmd = run({ "write-memory", "0", tempPath("does-not-exist.bin") });
    EXPECT_TRUE(values(*cmd).empty());
    EXPECT_EQ(target.commands.size(), sent);
    EXPECT_TRUE(logger.contains("Error: cannot open input data file '"));
    logger.lines.clear();
    cmd->logResponses(); // nothing to show, and no crash
    EXPECT_TRUE(logger.lines.empty());

    // A folder, an empty file and a count beyond the file are refused before anything is sent.
    const std::string empty = tempPath("blfwk_empty.bin");
    std::ofstream(empty, std::ios::binary).close();
    for (const string_vector_t& args :
        std::vector<string_vector_t> { { "write-memory", "0", ::testing::TempDir() },
            { "write-memory", "0", empty }, { "write-memory", "0", path, "101" } }) {
        logger.lines.clear();
        cmd = run(args);
        EXPECT_TRUE(values(*cmd).empty()) << args[2];
        EXPECT_EQ(target.commands.size(), sent) << args[2];
    }
    EXPECT_TRUE(logger.contains("holds fewer bytes than the count given"));
    cmd = run({ "write-memory", "0", empty });
    EXPECT_TRUE(logger.contains("Error: input data file '" + empty + "' is empty\n"));
    cmd = run({ "write-memory", "0", ::testing::TempDir() });
    EXPECT_TRUE(logger.contains("is not a file\n"));
    std::remove(empty.c_str());
    std::remove(path.c_str());
}

TEST_F(Cmd, ReadMemoryOutputFileIsReplacedOnlyByAWholeRead)
{
    for (int i = 0; i < 16; ++i)
        target.memory[0x500 + i] = uint8_t(i);
    const std::string folder = tempPath("blfwk_read_out/");
    std::filesystem::create_directories(folder);
    const std::string path = folder + "out.bin";
    std::ofstream(path, std::ios::binary) << "kept";
    const auto folderEntries = [&] {
        size_t n = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder))
            ++n;
        return n;
    };
    const auto content = [&] {
        std::ifstream f(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    };

    // A refused read leaves the file as it was, and no temporary file behind.
    target.statusFor[0x03] = 10200;
    auto cmd = run({ "read-memory", "0x500", "16", path });
    EXPECT_EQ(values(*cmd), (U { 10200, 0 }));
    EXPECT_EQ(content(), "kept");
    EXPECT_EQ(folderEntries(), 1u);
    target.statusFor.erase(0x03);

    // A device that stops half-way: the same.
    target.onCommand = [this](const auto&) {
        hid.queueReport(report(3, responsePacket(0xA3, { 0, 16 })));
        hid.queueReport(report(4, testsupport::Bytes(8, 1)));
        hid.queueFailure();
        return true;
    };
    cmd = run({ "read-memory", "0x500", "16", path });
    EXPECT_EQ(content(), "kept");
    EXPECT_EQ(folderEntries(), 1u);
    target.onCommand = nullptr;

    cmd = run({ "read-memory", "0x500", "16", path });
    EXPECT_EQ(values(*cmd), (U { 0, 16 }));
    EXPECT_EQ(content().size(), 16u);
    EXPECT_EQ(folderEntries(), 1u);

    // A file that cannot be written (a full disk) turns the outcome into a failure.
    logger.lines.clear();
    cmd = run({ "read-memory", "0x500", "16", "/dev/full" });
    ASSERT_FALSE(values(*cmd).empty());
    EXPECT_EQ(values(*cmd)[0], 1u);
    EXPECT_TRUE(logger.contains("Error: cannot write output data file '/dev/full'"));
    std::filesystem::remove_all(folder);
}

TEST_F(Cmd, ReceiveSbFileWithTheAbortCheck)
{
    const std::string path = tempPath("blfwk_image.sb");
    {
        std::ofstream f(path, std::ios::binary);
        f << std::string(40, 'x');
    }
    auto cmd = run({ "receive-sb-file", path });
    EXPECT_EQ(target.commands[0].tag, 0x08);
    EXPECT_EQ(target.commands[0].flags, 1);
    EXPECT_EQ(target.commands[0].params, U { 40 });
    EXPECT_EQ(values(*cmd), U { 0 });
    EXPECT_EQ(cmd->responseText(), "Wrote 40 of 40 bytes.");
    // One 10 ms poll before each of the two data packets, and off again afterwards.
    int polls = 0;
    for (int t : hid.readTimeouts)
        polls += t == 10;
    EXPECT_EQ(polls, 2);
    EXPECT_FALSE(packetizer.isAbortEnabled());
    std::remove(path.c_str());
}

TEST_F(Cmd, ReadMemoryToStdoutAndToAFile)
{
    for (int i = 0; i < 20; ++i)
        target.memory[0x500 + i] = uint8_t(0xA0 + i);
    testing::internal::CaptureStdout();
    auto cmd = run({ "read-memory", "0x500", "20" });
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
        "a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af\n"
        "b0 b1 b2 b3 \n"); // each byte is followed by its separator, the last line too
    EXPECT_EQ(values(*cmd), (U { 0, 20 }));
    EXPECT_EQ(cmd->responseText(), "Read 20 of 20 bytes.");
    EXPECT_TRUE(logger.contains("Successful response to command 'read-memory'\n"));

    const std::string path = tempPath("blfwk_read.bin");
    cmd = run({ "read-memory", "0x500", "20", path });
    std::ifstream f(path, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    ASSERT_EQ(content.size(), 20u);
    EXPECT_EQ(uint8_t(content[19]), 0xB3);
    std::remove(path.c_str());

    cmd = run({ "read-memory", "0", "4", "/nonexistent-dir/x.bin" });
    EXPECT_TRUE(values(*cmd).empty());
    EXPECT_TRUE(logger.contains("Error: cannot open output data file '/nonexistent-dir/x.bin'\n"));
}

// Built directly with a consumer of the caller's: the bytes stay in memory, nothing is
// printed, and a refused or cut-short read leaves the consumer short of the count asked for.
TEST_F(Cmd, ReadMemoryIntoMemory)
{
    for (int i = 0; i < 70; ++i)
        target.memory[0xA000 + i] = uint8_t(3 * i);
    blfwk::MemoryDataConsumer received(70);
    blfwk::ReadMemory cmd(0xA000, 70, received);
    EXPECT_EQ(cmd.name(), "read-memory");
    EXPECT_EQ(cmd.argCount(), 3u);
    testing::internal::CaptureStdout();
    cmd.sendTo(packetizer);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(lastCommand().tag, 0x03);
    EXPECT_EQ(lastCommand().params, (U { 0xA000, 70 }));
    EXPECT_EQ(values(cmd), (U { 0, 70 }));
    ASSERT_EQ(received.data().size(), 70u);
    EXPECT_TRUE(std::equal(received.data().begin(), received.data().end(), target.memory.begin() + 0xA000));

    target.statusFor[0x03] = 104; // a protected range
    blfwk::MemoryDataConsumer refused;
    blfwk::ReadMemory refusedRead(0, 16, refused);
    refusedRead.sendTo(packetizer);
    EXPECT_EQ(values(refusedRead), (U { 104, 0 }));
    EXPECT_TRUE(refused.data().empty());
    target.statusFor.erase(0x03);

    target.onCommand = [this](const auto&) {
        hid.queueReport(report(3, responsePacket(0xA3, { 0, 64 })));
        hid.queueReport(report(4, testsupport::Bytes(32, 7)));
        hid.queueFailure();
        return true;
    };
    blfwk::MemoryDataConsumer cut;
    blfwk::ReadMemory cutRead(0, 64, cut);
    cutRead.sendTo(packetizer);
    EXPECT_EQ(cut.data().size(), 32u);
    ASSERT_FALSE(values(cutRead).empty());
    EXPECT_NE(values(cutRead)[0], 0u);
}

TEST_F(Cmd, ReadMemoryFailures)
{
    target.statusFor[0x03] = 10200;
    auto cmd = run({ "read-memory", "0", "16", "/dev/null" });
    EXPECT_EQ(values(*cmd), (U { 10200, 0 }));
    EXPECT_EQ(cmd->responseText(), "Read 0 of 16 bytes.");

    // A wrong response tag records only the byte count.
    target.onCommand = [this](const auto&) {
        hid.queueReport(report(3, responsePacket(0xA7, { 0, 16 })));
        return true;
    };
    cmd = run({ "read-memory", "0", "16", "/dev/null" });
    EXPECT_EQ(values(*cmd), (U { 0 }));
    EXPECT_TRUE(logger.contains("Error: expected kCommandTag_ReadMemoryResponse (0xa3), received 0xa7\n"));

    // The device aborts the phase with a zero-length packet after 32 bytes.
    target.onCommand = [this](const auto&) {
        hid.queueReport(report(3, responsePacket(0xA3, { 0, 64 })));
        hid.queueReport(report(4, testsupport::Bytes(32, 1)));
        hid.queueReport(report(4, {}, 0));
        hid.queueReport(genericResponse(10002, 0x03));
        return true;
    };
    cmd = run({ "read-memory", "0", "64", "/dev/null" });
    EXPECT_EQ(values(*cmd), (U { 10002, 32 }));
    EXPECT_EQ(cmd->responseText(), "Read 32 of 64 bytes.");
    EXPECT_TRUE(logger.contains("Data phase aborted by sender\n"));

    // The device goes silent in the middle of the phase.
    target.onCommand = [this](const auto&) {
        hid.queueReport(report(3, responsePacket(0xA3, { 0, 64 })));
        hid.queueReport(report(4, testsupport::Bytes(32, 1)));
        hid.queueFailure();
        return true;
    };
    cmd = run({ "read-memory", "0", "64", "/dev/null" });
    EXPECT_EQ(values(*cmd), (U { 10004, 32 }));
    EXPECT_TRUE(logger.contains("Read data packet error. Sending ACK.\n"));

    // A device that announces fewer bytes than asked: the count read is what arrived.
    target.onCommand = [this](const auto&) {
        hid.queueReport(report(3, responsePacket(0xA3, { 0, 8 })));
        hid.queueReport(report(4, testsupport::Bytes(8, 1)));
        hid.queueReport(genericResponse(0, 0x03));
        return true;
    };
    cmd = run({ "read-memory", "0", "64", "/dev/null" });
    EXPECT_EQ(values(*cmd), (U { 0, 8 }));
    EXPECT_EQ(cmd->responseText(), "Read 8 of 64 bytes.");

    // One that announces more than asked is not followed past the count asked for: its extra
    // data stands where the final response should, and the read fails.
    target.onCommand = [this](const auto&) {
        hid.queueReport(report(3, responsePacket(0xA3, { 0, 64 })));
        for (int i = 0; i < 2; ++i)
            hid.queueReport(report(4, testsupport::Bytes(32, 2)));
        hid.queueReport(genericResponse(0, 0x03));
        return true;
    };
    blfwk::MemoryDataConsumer received;
    blfwk::ReadMemory longer(0, 16, received);
    longer.sendTo(packetizer);
    EXPECT_EQ(received.data().size(), 16u);
    ASSERT_EQ(values(longer).size(), 2u);
    EXPECT_NE(values(longer)[0], 0u);
    EXPECT_EQ(values(longer)[1], 16u);
    EXPECT_TRUE(logger.contains("The target announces 64 bytes where 16 were asked for: only those are read.\n"));
}

TEST_F(Cmd, LargeImageWrittenAndReadBackIdentical)
{
    std::vector<uint8_t> image(70000);
    uint32_t seed = 12345;
    for (uint8_t& b : image) {
        seed = seed * 1103515245 + 12345;
        b = uint8_t(seed >> 16);
    }
    WriteMemory write(0xa000, image);
    write.sendTo(packetizer);
    EXPECT_EQ(values(write), U { 0 });
    EXPECT_EQ(write.responseText(), "Wrote 70000 of 70000 bytes.");
    EXPECT_EQ(target.dataPacketSizes.size(), 2188u); // 2187 full packets and 16 bytes

    const std::string path = tempPath("blfwk_readback.bin");
    auto read = run({ "read-memory", "0xa000", "70000", path });
    EXPECT_EQ(values(*read), (U { 0, 70000 }));
    std::ifstream f(path, std::ios::binary);
    const std::vector<uint8_t> back((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(back, image);
    std::remove(path.c_str());
}

TEST_F(Cmd, FlashReadOnceAndReadResource)
{
    target.onCommand = [this](const auto& c) {
        if (c.tag == 0x0F)
            hid.queueReport(report(3, responsePacket(0xAF, { 0, 8, 0x11111111, 0x22222222 })));
        else if (c.tag == 0x10) {
            hid.queueReport(report(3, responsePacket(0xB0, { 0, 4 })));
            hid.queueReport(report(4, { 1, 2, 3, 4 }));
            hid.queueReport(genericResponse(0, 0x10));
        }
        return true;
    };
    auto cmd = run({ "flash-read-once", "2", "8" });
    EXPECT_EQ(lastCommand().params, (U { 2, 8 }));
    EXPECT_EQ(values(*cmd), (U { 0, 8, 0x11111111, 0x22222222 }));

    testing::internal::CaptureStdout();
    cmd = run({ "flash-read-resource", "0x10", "4", "1" });
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "01 02 03 04 \n");
    EXPECT_EQ(lastCommand().params, (U { 0x10, 4, 1 }));
    EXPECT_EQ(values(*cmd), (U { 0, 4 }));

    target.onCommand = [this](const auto&) {
        hid.queueReport(report(3, responsePacket(0xA3, { 0, 4 })));
        return true;
    };
    cmd = run({ "flash-read-once", "2", "4" });
    EXPECT_EQ(values(*cmd), U { 10000 });
    EXPECT_TRUE(logger.contains("Error: expected kCommandTag_FlashReadOnceResponse (0xaf), received 0xa3\n"));
    cmd = run({ "flash-read-resource", "0", "4", "0", "/dev/null" });
    EXPECT_EQ(values(*cmd), U { 0 });
    EXPECT_TRUE(
        logger.contains("Error: expected kCommandTag_FlashReadResourceResponse (0xb0), received 0xa3\n"));

    target.onCommand = [this](const auto&) {
        hid.queueReport(report(3, responsePacket(0xAF, { 105 })));
        return true;
    };
    cmd = run({ "flash-read-once", "2", "4" });
    EXPECT_EQ(values(*cmd), U { 105 });
}

TEST_F(Cmd, LogResponsesAndJson)
{
    target.onCommand = [this](const auto&) {
        hid.queueReport(report(3, responsePacket(0xA7, { 0, 0x4B020600 })));
        return true;
    };
    auto cmd = run({ "get-property", "1" });
    logger.lines.clear();
    cmd->logResponses();
    EXPECT_EQ(logger.lines,
        (std::vector<std::string> { "Response status = 0 (0x0) Success.\n",
            "Response word 1 = 1258423808 (0x4b020600)\n", "Current Version = K2.6.0\n" }));

    Json::Value json;
    Json::Reader reader;
    ASSERT_TRUE(reader.parse(cmd->responseJson(), json));
    EXPECT_EQ(json["command"].asString(), "get-property");
    EXPECT_EQ(json["status"]["value"].asInt(), 0);
    EXPECT_EQ(json["status"]["description"].asString(), "0 (0x0) Success.");
    ASSERT_EQ(json["response"].size(), 1u);
    EXPECT_EQ(json["response"][0].asUInt(), 0x4B020600u);

    // JSON is logged only at the Json level, and then alone.
    logger.lines.clear();
    logger.setFilterLevel(Logger::Json);
    cmd->logResponses();
    ASSERT_EQ(logger.lines.size(), 1u);
    EXPECT_EQ(logger.lines[0], cmd->responseJson());

    target.silent = true;
    logger.setFilterLevel(Logger::Debug);
    cmd = run({ "reset" });
    ASSERT_TRUE(reader.parse(cmd->responseJson(), json));
    EXPECT_TRUE(json["response"].isArray());
    EXPECT_EQ(json["response"].size(), 0u);

    cmd = run({ "flash-erase-all" });
    ASSERT_TRUE(reader.parse(cmd->responseJson(), json));
    EXPECT_EQ(json["status"]["value"].asInt(), 10004);
    EXPECT_EQ(
        json["status"]["description"].asString(), "10004 (0x2714) No response packet from target device.");
}

} // namespace
