// Standard input on its own thread: a line typed while a question waits answers it, any other
// line goes to the handler, and the end of the input reaches both.

#include "ui/headless/console_input.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Pipe {
    int fds[2] = { -1, -1 };
    FILE* readEnd = nullptr;
    Pipe()
    {
        EXPECT_EQ(::pipe(fds), 0);
        readEnd = ::fdopen(fds[0], "r");
    }
    ~Pipe()
    {
        closeWriter();
        if (readEnd)
            std::fclose(readEnd);
    }
    void write(const std::string& text)
    {
        ASSERT_EQ(::write(fds[1], text.data(), text.size()), ssize_t(text.size()));
    }
    void closeWriter()
    {
        if (fds[1] >= 0)
            ::close(fds[1]);
        fds[1] = -1;
    }
};

struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> lines;
    int ends = 0;

    void line(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(text);
        changed.notify_all();
    }
    void end()
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++ends;
        changed.notify_all();
    }
    bool waitFor(size_t count, int endCount)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(
            lock, std::chrono::seconds(10), [&] { return lines.size() >= count && ends >= endCount; });
    }
};

} // namespace

TEST(ConsoleInput, LinesWithoutAQuestionGoToTheHandlerInOrder)
{
    Pipe pipe;
    Seen seen;
    {
        ConsoleInput input(
            pipe.readEnd, [&](const std::string& l) { seen.line(l); }, [&] { seen.end(); });
        input.start();
        pipe.write("update\r\nabout\n\nlast without end");
        pipe.closeWriter();
        ASSERT_TRUE(seen.waitFor(4, 1));
        EXPECT_TRUE(input.closed());
    }
    EXPECT_EQ(seen.lines, (std::vector<std::string> { "update", "about", "", "last without end" }));
    EXPECT_EQ(seen.ends, 1);
}

TEST(ConsoleInput, ALineTypedWhileAQuestionWaitsAnswersIt)
{
    Pipe pipe;
    Seen seen;
    ConsoleInput input(
        pipe.readEnd, [&](const std::string& l) { seen.line(l); }, [&] { seen.end(); });
    input.start();
    input.openQuestion();
    std::string answer;
    std::thread asker([&] { EXPECT_TRUE(input.nextAnswer(answer)); });
    // A refused answer and the next one typed at once: both are kept for the question.
    pipe.write("perhaps\n2\n");
    asker.join();
    EXPECT_EQ(answer, "perhaps");
    ASSERT_TRUE(input.nextAnswer(answer));
    EXPECT_EQ(answer, "2");
    input.closeQuestion();
    pipe.write("exit\n");
    pipe.closeWriter();
    ASSERT_TRUE(seen.waitFor(1, 1));
    EXPECT_EQ(seen.lines, (std::vector<std::string> { "exit" }));
}

TEST(ConsoleInput, LinesLeftOverWhenTheQuestionClosesGoToTheHandler)
{
    Pipe pipe;
    Seen seen;
    ConsoleInput input(
        pipe.readEnd, [&](const std::string& l) { seen.line(l); }, [&] { seen.end(); });
    input.start();
    input.openQuestion();
    pipe.write("yes\nabout\n");
    std::string answer;
    ASSERT_TRUE(input.nextAnswer(answer));
    EXPECT_EQ(answer, "yes");
    // "about" may still be on its way; the input's end comes after it either way.
    pipe.closeWriter();
    while (!input.closed())
        std::this_thread::yield();
    input.closeQuestion();
    ASSERT_TRUE(seen.waitFor(1, 1));
    EXPECT_EQ(seen.lines, (std::vector<std::string> { "about" }));
}

TEST(ConsoleInput, ClosedInputAnswersNoQuestionNowOrLater)
{
    Pipe pipe;
    Seen seen;
    ConsoleInput input(
        pipe.readEnd, [&](const std::string& l) { seen.line(l); }, [&] { seen.end(); });
    input.start();
    input.openQuestion();
    std::string answer = "untouched";
    bool got = true;
    std::thread asker([&] { got = input.nextAnswer(answer); });
    pipe.closeWriter(); // while the question waits, or before it starts to
    asker.join();
    EXPECT_FALSE(got);
    EXPECT_EQ(answer, "untouched");
    ASSERT_TRUE(seen.waitFor(0, 1));
    EXPECT_FALSE(input.nextAnswer(answer)); // and at once afterwards
    input.closeQuestion();
    EXPECT_TRUE(seen.lines.empty());
}
