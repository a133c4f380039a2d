#include "blfwk/logger.h"
#include "recording_logger.h"

#include <gtest/gtest.h>

using blfwk::FileLogger;
using blfwk::Log;
using blfwk::Logger;
using blfwktest::RecordingLogger;

namespace {

std::vector<std::string> g_fileOutput;
void collect(const char* text)
{
    g_fileOutput.emplace_back(text);
}

TEST(Logger, FilterLevelDecidesWhatPasses)
{
    RecordingLogger logger(Logger::Info);
    Log::debug("hidden %d\n", 1);
    Log::trace("hidden\n");
    Log::info("shown %d\n", 4);
    Log::error("err\n");
    Log::always("always\n");
    EXPECT_EQ(logger.lines, (std::vector<std::string> { "shown 4\n", "err\n", "always\n" }));

    logger.setFilterLevel(Logger::Trace);
    Log::debug("now %s\n", "shown");
    Log::verbose("v\n");
    Log::warning("w\n");
    ASSERT_EQ(logger.lines.size(), 6u);
    EXPECT_EQ(logger.lines[3], "now shown\n");

    logger.setFilterLevel(Logger::Always);
    Log::error("dropped\n");
    Log::always("kept\n");
    EXPECT_EQ(logger.lines.back(), "kept\n");
    EXPECT_EQ(logger.lines.size(), 7u);
}

TEST(Logger, JsonOnlyAtFilterLevelExactlyOne)
{
    RecordingLogger logger(Logger::Trace);
    Log::json("{%d}", 1);
    EXPECT_TRUE(logger.lines.empty());
    logger.setFilterLevel(Logger::Json);
    Log::json("{%d}", 2);
    Log::error("not at json level\n");
    Log::info("nor this\n");
    EXPECT_EQ(logger.lines, (std::vector<std::string> { "{2}" }));
    logger.setFilterLevel(Logger::Always);
    Log::json("{3}");
    EXPECT_EQ(logger.lines.size(), 1u);
}

TEST(Logger, TextOverloadsPassPercentUnchangedAndDefaultLevelApplies)
{
    RecordingLogger logger(Logger::Info);
    Log::log(std::string("100% done %s %d"));
    Log::log(Logger::Error, std::string("%n%n%n"));
    Log::log(Logger::Debug, std::string("dropped %"));
    Log::log("formatted %03d", 7);
    Log::log(Logger::Warning, "w%c", '!');
    EXPECT_EQ(
        logger.lines, (std::vector<std::string> { "100% done %s %d", "%n%n%n", "formatted 007", "w!" }));

    // Messages without a level take the output level.
    logger.setOutputLevel(Logger::Debug);
    Log::log(std::string("now dropped"));
    Log::log("also %s", "dropped");
    EXPECT_EQ(logger.lines.size(), 4u);
    logger.setFilterLevel(Logger::Debug);
    Log::log("kept");
    EXPECT_EQ(logger.lines.back(), "kept");
}

TEST(Logger, OneOutputPerMessageWhateverItsLengthOrLines)
{
    RecordingLogger logger(Logger::Trace);
    const std::string longText(5000, 'x');
    Log::info("%s|%s\n", longText.c_str(), "end");
    Log::info("line one\nline two\nline three\n");
    Log::info("%s", "");
    ASSERT_EQ(logger.lines.size(), 3u);
    EXPECT_EQ(logger.lines[0], longText + "|end\n");
    EXPECT_EQ(logger.lines[1], "line one\nline two\nline three\n");
    EXPECT_EQ(logger.lines[2], "");
    // A text exactly at the stack buffer's edge.
    for (size_t n : { 254u, 255u, 256u, 257u }) {
        Log::trace("%s", std::string(n, 'a').c_str());
        EXPECT_EQ(logger.lines.back().size(), n);
    }
}

TEST(Logger, WithoutALoggerEveryFunctionIsWithoutEffect)
{
    Logger* previous = Log::getLogger();
    Log::setLogger(nullptr);
    EXPECT_EQ(Log::getLogger(), nullptr);
    EXPECT_FALSE(Log::traceEnabled());
    Log::log("a %d", 1);
    Log::log(std::string("b"));
    Log::log(3, "c %d", 1);
    Log::log(3, std::string("d"));
    Log::always("x");
    Log::json("x");
    Log::error("x");
    Log::warning("x");
    Log::info("x");
    Log::verbose("x");
    Log::debug("x");
    Log::trace("x");
    Log::setLogger(previous);
    SUCCEED(); // reaching here without a null dereference is the check
}

TEST(FileLogger, DeliversThroughTheOutputFunctionOnlyWhenSet)
{
    FileLogger logger("bootloader.log");
    EXPECT_EQ(logger.fileName(), "bootloader.log");
    EXPECT_EQ(logger.getFilterLevel(), Logger::Info);
    logger.setFilterLevel(Logger::Trace);
    Logger* previous = Log::getLogger();
    Log::setLogger(&logger);

    g_fileOutput.clear();
    FileLogger::setOutputFunction(nullptr);
    Log::info("lost\n");
    EXPECT_TRUE(g_fileOutput.empty());

    FileLogger::setOutputFunction(collect);
    EXPECT_EQ(FileLogger::outputFunction(), &collect);
    Log::trace("%02x", 0xab);
    Log::trace(" ");
    Log::info("%s", "");
    EXPECT_EQ(g_fileOutput, (std::vector<std::string> { "ab", " ", "" }));
    EXPECT_TRUE(Log::traceEnabled());
    logger.setFilterLevel(Logger::Debug);
    EXPECT_FALSE(Log::traceEnabled());

    FileLogger::setOutputFunction(nullptr);
    Log::setLogger(previous);
}

} // namespace
