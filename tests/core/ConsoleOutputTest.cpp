#include "ConsoleOutput.h"
#include "StderrRelay.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

// Reads what the pipe holds until `until` appears or the deadline passes.
std::string readUntil(int fd, const std::string& until, std::chrono::milliseconds within)
{
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + within;
    char buf[65536];
    while (text.find(until) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p {fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

// Standard output that nobody reads: writes never wait, lines beyond the
// queue are dropped and counted, and when the reader comes back one line
// says how many were lost, where they were lost.
TEST(ConsoleOutput, AStalledReaderNeverHoldsTheWriterAndLossIsToldOnce)
{
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    // The pipe is full before the first line, so that every loss falls in one
    // stall whatever the scheduling of the output thread.
    ASSERT_EQ(::fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
    const std::string filler(4096, 'f');
    while (::write(fds[1], filler.data(), filler.size()) > 0) {
    }
    ASSERT_EQ(::fcntl(fds[1], F_SETFL, 0), 0);
    {
        ConsoleOutput out(fds[1], 16 * 1024, 200);
        const std::string line(100, 'l');
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 5000; ++i) // 500 KB: far beyond the 64 KiB of the pipe
            out.Write(line + std::to_string(i));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        const std::size_t dropped = out.Dropped();
        EXPECT_GT(dropped, 4000u);
        EXPECT_LT(dropped, 5000u);

        // The reader comes back: everything queued arrives, then the note.
        const std::string note = "linvaro: " + std::to_string(dropped) + " log lines were dropped";
        std::string text = readUntil(fds[0], note, std::chrono::seconds(10));
        EXPECT_NE(text.find(line + "0\n"), std::string::npos);
        ASSERT_NE(text.find(note), std::string::npos);
        out.Write("after");
        text += readUntil(fds[0], "after\n", std::chrono::seconds(10));
        EXPECT_NE(text.find("after\n"), std::string::npos);
        EXPECT_EQ(text.find("dropped"), text.rfind("dropped")) << "told once";
        // Lines arrive whole and in order.
        EXPECT_LT(text.find(line + "1\n"), text.find(note));

        // Stalled again at the end: the destructor gives up after its bound.
        for (int i = 0; i < 2000; ++i)
            out.Write(line);
    }
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(ConsoleOutput, AReaderThatWentAwayEndsNothingButTheOutput)
{
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ::close(fds[0]);
    const auto start = std::chrono::steady_clock::now();
    {
        ConsoleOutput out(fds[1]);
        for (int i = 0; i < 100; ++i)
            out.Write("into a closed pipe");
    } // SIGPIPE would have ended the test program here
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    ::close(fds[1]);
}

} // namespace

// Standard error that nobody reads: whoever writes to descriptor 2 (a
// message box, a driver warning) never waits, and the lines that could be
// delivered arrive whole and in order.
TEST(StderrRelay, AStalledReaderNeverHoldsAWriterOfStandardError)
{
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const int saved = ::dup(STDERR_FILENO);
    ASSERT_GE(saved, 0);
    ASSERT_GE(::dup2(fds[1], STDERR_FILENO), 0);
    std::size_t dropped = 0;
    std::chrono::steady_clock::duration took{};
    {
        StderrRelay relay(16 * 1024);
        ASSERT_TRUE(relay.Active());
        const std::string line(100, 'e');
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 5000; ++i) // 500 KB into a 64 KiB pipe that nobody reads
            std::fprintf(stderr, "%s%d\n", line.c_str(), i);
        took = std::chrono::steady_clock::now() - start;
        dropped = relay.Dropped();
        std::fprintf(stderr, "last words");
    }
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_GT(dropped, 0u);
    const std::string text = readUntil(fds[0], "e1\n", std::chrono::seconds(5));
    EXPECT_EQ(text.rfind(std::string(100, 'e') + "0\n", 0), 0u) << text.substr(0, 200);
    ::close(fds[0]);
    ::close(fds[1]);
}
