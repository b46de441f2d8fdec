// The writer of event lines: every line out in order, a failed output said
// as such, and an output that takes nothing given up only when asked to;
// and the headless front end's counters over a long run.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "app/HeadlessFrontEnd.h"
#include "app/RowLineWriter.h"
#include "TestUtil.h"

namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe2(fd, O_CLOEXEC), 0); }
    ~Pipe()
    {
        for (int f : fd)
            if (f >= 0)
                ::close(f);
    }
    // A thread that reads the pipe into strGot until its write end closes.
    std::thread DrainInto(std::string& strGot)
    {
        return std::thread([this, &strGot] {
            char buf[65536];
            for (ssize_t n; (n = ::read(fd[0], buf, sizeof buf)) > 0;)
                strGot.append(buf, static_cast<std::size_t>(n));
        });
    }
    void CloseWriteEnd()
    {
        ::close(fd[1]);
        fd[1] = -1;
    }
};

}  // namespace

TEST(RowLineWriter, LinesFromSeveralThreadsLeaveWholeAndInTheirOrder)
{
    Pipe p;
    std::string got;
    std::thread reader = p.DrainInto(got);
    {
        CRowLineWriter writer(p.fd[1]);
        // Long lines too: more than a pipe holds at once.
        auto add = [&](char c) {
            for (int i = 0; i < 300; ++i)
                writer.Append(std::string(static_cast<std::size_t>(1 + i * 97 % 70000), c) + std::to_string(i));
        };
        std::thread a(add, 'a'), b(add, 'b');
        a.join();
        b.join();
        EXPECT_TRUE(writer.Finish(false));
    }
    p.CloseWriteEnd();
    reader.join();
    // Each line is whole, and each thread's lines keep their order.
    int nNext[2] = {0, 0};
    std::size_t nAt = 0;
    while (nAt < got.size()) {
        const std::size_t nEnd = got.find('\n', nAt);
        ASSERT_NE(nEnd, std::string::npos);
        const std::string line = got.substr(nAt, nEnd - nAt);
        const int k = line[0] == 'a' ? 0 : 1;
        const int i = nNext[k]++;
        EXPECT_EQ(line, std::string(static_cast<std::size_t>(1 + i * 97 % 70000), line[0]) + std::to_string(i));
        nAt = nEnd + 1;
    }
    EXPECT_EQ(nNext[0], 300);
    EXPECT_EQ(nNext[1], 300);
}

// Two commands of one pipeline writing event lines into the same pipe (a
// relay and a datagram relay run side by side into one log): a line shorter
// than a pipe's atomic write never has the other writer's bytes inside it.
TEST(RowLineWriter, TwoWritersOfOnePipeLeaveEachOthersLinesWhole)
{
    Pipe p;
    std::string got;
    std::thread reader = p.DrainInto(got);
    auto line = [](char c, int i) { return std::string(static_cast<std::size_t>(40 + i * 37 % 900), c) + std::to_string(i); };
    constexpr int kLines = 20000;
    {
        CRowLineWriter first(p.fd[1]), second(p.fd[1]);
        auto add = [&](CRowLineWriter& writer, char c) {
            for (int i = 0; i < kLines; ++i)
                writer.Append(line(c, i));
        };
        std::thread a(add, std::ref(first), 'a'), b(add, std::ref(second), 'b');
        a.join();
        b.join();
        EXPECT_TRUE(first.Finish(false));
        EXPECT_TRUE(second.Finish(false));
    }
    p.CloseWriteEnd();
    reader.join();
    // Each line is one writer's whole line (the count of whole lines).
    int nNext[2] = {0, 0};
    int nBroken = 0;
    std::size_t nStart = 0;
    for (std::size_t nEnd; (nEnd = got.find('\n', nStart)) != std::string::npos; nStart = nEnd + 1) {
        const std::string strLine = got.substr(nStart, nEnd - nStart);
        const int nWho = !strLine.empty() && strLine[0] == 'b' ? 1 : 0;
        const std::size_t nDigits = strLine.find_first_of("0123456789");
        const int i = nDigits == std::string::npos ? -1 : std::atoi(strLine.c_str() + nDigits);
        if (i >= 0 && strLine == line(nWho ? 'b' : 'a', i))
            ++nNext[nWho];
        else
            ++nBroken;
    }
    EXPECT_EQ(nBroken, 0);
    EXPECT_EQ(nNext[0], kLines);
    EXPECT_EQ(nNext[1], kLines);
    EXPECT_EQ(nStart, got.size());
}

TEST(RowLineWriter, FailedAndStuckOutputsAreReported)
{
    ::signal(SIGPIPE, SIG_IGN);
    {
        // Nobody will ever read: the write fails, and says why.
        Pipe p;
        ::close(p.fd[0]);
        p.fd[0] = -1;
        CRowLineWriter writer(p.fd[1]);
        writer.Append("line");
        EXPECT_FALSE(writer.Finish(false));
        EXPECT_EQ(writer.GetErrorText(), "Broken pipe");
    }
    {
        // Open but never read: given up when asked to, after a while.
        Pipe p;
        CRowLineWriter writer(p.fd[1]);
        for (int i = 0; i < 100; ++i)
            writer.Append(std::string(4096, 'x'));
        EXPECT_FALSE(writer.Finish(true));
        EXPECT_EQ(writer.GetErrorText(), "the output took nothing for 2 s");
    }
}

// Stopped (Ctrl-Z, with the reader of its output in the same job) and
// resumed while it finishes after a signal, the writer gives the output its
// full time again: the pause is not the output's taking nothing.
TEST(RowLineWriter, SuspendedWhileFinishingIsNotAStuckOutput)
{
    Pipe p;
    const std::string line(4095, 'x');
    constexpr int kLines = 256;  // 1 MiB: far more than the pipe holds
    std::atomic<bool> bFinishing{false};
    std::size_t nGot = 0;
    std::thread reader([&] {
        char buf[65536];
        for (int i = 0; i < 200 && !bFinishing.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_TRUE(testutil::SuspendThisProcessFor(2.5));
        // Resumed: a short while before the reader takes more.
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        ssize_t n;
        while ((n = ::read(p.fd[0], buf, sizeof buf)) > 0)
            nGot += static_cast<std::size_t>(n);
    });
    {
        CRowLineWriter writer(p.fd[1]);
        for (int i = 0; i < kLines; ++i)
            writer.Append(line);
        bFinishing = true;
        EXPECT_TRUE(writer.Finish(true)) << writer.GetErrorText();
    }
    p.CloseWriteEnd();
    reader.join();
    EXPECT_EQ(nGot, static_cast<std::size_t>(kLines) * (line.size() + 1));
}

// A relay that runs for weeks pumps messages at every millisecond of its
// time waits: the count of pumps goes on past the range of an int.
TEST(HeadlessFrontEnd, PumpCountGoesOnPastTheRangeOfAnInt)
{
    CHeadlessFrontEnd frontEnd;
    frontEnd.m_nPumps = INT_MAX;
    frontEnd.PumpMessages();
    frontEnd.PumpMessages();
    EXPECT_EQ(frontEnd.m_nPumps, static_cast<std::uint64_t>(INT_MAX) + 2);
}
