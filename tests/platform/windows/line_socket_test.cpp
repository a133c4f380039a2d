// The bus's Winsock line socket, both ends in this process: a read's time limit is kept and
// loses nothing that arrives after it, a read without limit is ended by a shutdown from
// another thread, the peer's end of stream ends a read as closed, and lines come out whole
// however the bytes were cut.

#include "platform/vbus/wire.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

using platform::vbus::BusAddress;
using platform::vbus::LineListener;
using platform::vbus::LineSocket;
using Clock = std::chrono::steady_clock;

namespace {

// A connected pair on 127.0.0.1: the client's end and the server's.
struct Pair {
    LineListener listener;
    LineSocket client;
    std::unique_ptr<LineSocket> server;
};

void connectPair(Pair& pair)
{
    BusAddress address;
    address.kind = BusAddress::Kind::Tcp;
    address.host = "127.0.0.1";
    std::string error;
    ASSERT_TRUE(pair.listener.listen(address, error)) << error;
    ASSERT_NE(pair.listener.port(), 0);
    address.port = pair.listener.port();
    ASSERT_TRUE(pair.client.connect(address, &error)) << error;
    const platform::vbus::SocketHandle accepted = pair.listener.accept(5000);
    ASSERT_NE(accepted, platform::vbus::kNoSocket);
    pair.server = std::make_unique<LineSocket>(accepted);
}

long long msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

} // namespace

TEST(WinsockLineSocket, ATimedReadEndsAtItsLimitAndWhatComesLaterIsStillRead)
{
    Pair pair;
    ASSERT_NO_FATAL_FAILURE(connectPair(pair));
    std::string line;
    auto start = Clock::now();
    EXPECT_FALSE(pair.client.readLine(line, platform::vbus::kMaxLineLength, 150));
    EXPECT_EQ(pair.client.lastFailure(), LineSocket::Failure::TimedOut);
    EXPECT_GE(msSince(start), 140);
    EXPECT_LT(msSince(start), 3000);

    // No wait at all: nothing there is a time-out at once.
    start = Clock::now();
    EXPECT_FALSE(pair.client.readLine(line, platform::vbus::kMaxLineLength, 0));
    EXPECT_EQ(pair.client.lastFailure(), LineSocket::Failure::TimedOut);
    EXPECT_LT(msSince(start), 1000);

    // The cancelled receives took nothing: both lines come out, in order.
    ASSERT_TRUE(pair.server->writeLine("first"));
    ASSERT_TRUE(pair.server->writeLine("second"));
    ASSERT_TRUE(pair.client.readLine(line, platform::vbus::kMaxLineLength, 5000));
    EXPECT_EQ(line, "first");
    // Already here: a read that may not wait still gets it.
    ASSERT_TRUE(pair.client.readLine(line, platform::vbus::kMaxLineLength, 0));
    EXPECT_EQ(line, "second");
    EXPECT_EQ(pair.client.lastFailure(), LineSocket::Failure::None);
}

TEST(WinsockLineSocket, ALineThatArrivesWhileAReadWaitsEndsItThere)
{
    Pair pair;
    ASSERT_NO_FATAL_FAILURE(connectPair(pair));
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        pair.server->writeLine("late");
    });
    std::string line;
    const auto start = Clock::now();
    const bool read = pair.client.readLine(line, platform::vbus::kMaxLineLength, 10000);
    const long long waited = msSince(start);
    writer.join();
    ASSERT_TRUE(read);
    EXPECT_EQ(line, "late");
    EXPECT_GE(waited, 250);
    EXPECT_LT(waited, 5000);
}

TEST(WinsockLineSocket, AShutdownFromAnotherThreadEndsAReadWithoutLimit)
{
    Pair pair;
    ASSERT_NO_FATAL_FAILURE(connectPair(pair));
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        pair.client.shutdown();
    });
    std::string line;
    const auto start = Clock::now();
    EXPECT_FALSE(pair.client.readLine(line, platform::vbus::kMaxLineLength, -1));
    const long long waited = msSince(start);
    stopper.join();
    EXPECT_NE(pair.client.lastFailure(), LineSocket::Failure::TimedOut);
    EXPECT_LT(waited, 5000);
}

TEST(WinsockLineSocket, ThePeersEndOfStreamEndsAReadAsClosed)
{
    Pair pair;
    ASSERT_NO_FATAL_FAILURE(connectPair(pair));
    ASSERT_TRUE(pair.server->writeLine("last"));
    pair.server->close();
    std::string line;
    ASSERT_TRUE(pair.client.readLine(line, platform::vbus::kMaxLineLength, 5000));
    EXPECT_EQ(line, "last");
    const auto start = Clock::now();
    EXPECT_FALSE(pair.client.readLine(line, platform::vbus::kMaxLineLength, 10000));
    EXPECT_EQ(pair.client.lastFailure(), LineSocket::Failure::Closed);
    EXPECT_LT(msSince(start), 5000);
    EXPECT_TRUE(pair.client.peerHungUp());
}

TEST(WinsockLineSocket, LinesComeOutWholeAndAnOverLongOneEndsTheRead)
{
    Pair pair;
    ASSERT_NO_FATAL_FAILURE(connectPair(pair));
    // Many lines in one write, then one line longer than a receive's chunk.
    ASSERT_TRUE(pair.server->writeLine("a\nbb\nccc"));
    const std::string big(10000, 'x');
    ASSERT_TRUE(pair.server->writeLine(big));
    std::string line;
    for (const char* want : { "a", "bb", "ccc" }) {
        ASSERT_TRUE(pair.client.readLine(line, platform::vbus::kMaxLineLength, 5000));
        EXPECT_EQ(line, want);
    }
    ASSERT_TRUE(pair.client.readLine(line, platform::vbus::kMaxLineLength, 5000));
    EXPECT_EQ(line, big);
    EXPECT_FALSE(pair.client.hasUnreadInput());

    ASSERT_TRUE(pair.server->writeLine(std::string(200, 'y')));
    EXPECT_FALSE(pair.client.readLine(line, 100, 5000));
    EXPECT_EQ(pair.client.lastFailure(), LineSocket::Failure::TooLong);
}
