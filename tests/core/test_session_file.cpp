// The session file: exact bytes, round trips, refusals, damage and Cancel.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <random>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "TestUtil.h"
#include "app/CliSupport.h"
#include "app/CommandTable.h"
#include "app/HeadlessFrontEnd.h"
#include "session/MidwireDoc.h"

using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

struct SessionFileFixture : ::testing::Test {
    SessionFileFixture()
    {
        frontEnd.SetEcho(false);
        doc.OnNewDocument();
    }
    HistoryEvent* Add(std::uint32_t kind, const std::string& data, const std::string& text = std::string(),
                      const std::string& host = std::string(), std::int64_t t = 1000000000)
    {
        auto* p = new HistoryEvent;
        p->m_kind = kind;
        p->m_time = t;
        p->m_strText = text;
        p->m_strHost = host;
        if (!data.empty()) {
            auto* block = static_cast<unsigned char*>(std::malloc(data.size()));
            std::memcpy(block, data.data(), data.size());
            p->AdoptData(block, static_cast<std::int32_t>(data.size()));
        }
        doc.AddToHistory(p);
        return p;
    }
    CHeadlessFrontEnd frontEnd;
    CMidwireDoc doc;
    TempDir dir;
};

void ExpectSameEvent(const HistoryEvent& a, const HistoryEvent& b)
{
    EXPECT_EQ(a.m_kind, b.m_kind);
    EXPECT_EQ(a.m_time, b.m_time);
    EXPECT_EQ(a.m_strText, b.m_strText);
    EXPECT_EQ(a.m_strHost, b.m_strHost);
    ASSERT_EQ(a.m_nLength, b.m_nLength);
    if (a.m_nLength > 0)
        EXPECT_EQ(std::memcmp(a.m_pData, b.m_pData, static_cast<size_t>(a.m_nLength)), 0);
    else
        EXPECT_EQ(b.m_pData, nullptr);
}

}  // namespace

TEST_F(SessionFileFixture, NewSessionIsExactly138Bytes)
{
    const std::string path = dir.Path("new.mwx");
    ASSERT_TRUE(doc.OnSaveDocument(path));
    const std::string bytes = ReadFile(path);
    ASSERT_EQ(bytes.size(), 138u);
    EXPECT_EQ(bytes.substr(0, 14), std::string("\x0D" "Midwire 1.3.3"));
    // Max line length 0, break character LF, keep breaks 0.
    EXPECT_EQ(bytes.substr(14, 9), std::string("\0\0\0\0\x0A\0\0\0\0", 9));
    // The editor text is empty and no event follows.
    EXPECT_EQ(bytes.substr(133), std::string("\0\0\0\0\0", 5));
    EXPECT_EQ(doc.m_strPathName, path);
}

TEST_F(SessionFileFixture, StringLengthForms)
{
    doc.m_strServerHost = std::string(300, 'h');
    doc.m_strServerPort = std::string(254, 'p');
    frontEnd.SetEditorText(std::string(70000, 'e'));
    const std::string path = dir.Path("s.mwx");
    ASSERT_TRUE(doc.OnSaveDocument(path));
    const std::string bytes = ReadFile(path);
    // Fields 2..5 take 13 bytes after the 14-byte signature.
    EXPECT_EQ(bytes.substr(27, 3), std::string("\xFF\x2C\x01"));
    EXPECT_EQ(bytes.substr(330, 1), std::string("\xFE"));  // 254 still fits one byte
    const size_t nEditor = bytes.find(std::string("\xFF\xFF\xFF\x70\x11\x01\x00", 7));
    EXPECT_NE(nEditor, std::string::npos);  // 70000 takes the 4-byte form

    CHeadlessFrontEnd fe2;
    fe2.SetEcho(false);
    CMidwireDoc loaded;
    ASSERT_TRUE(loaded.OnOpenDocument(path));
    EXPECT_EQ(loaded.m_strServerHost, std::string(300, 'h'));
    EXPECT_EQ(fe2.GetEditorText(), std::string(70000, 'e'));
}

TEST_F(SessionFileFixture, RoundTripOfTenThousandRandomEvents)
{
    std::mt19937 rng(42);
    doc.m_strServerHost = "server";
    doc.m_strListenPort = "8080";
    doc.m_bQuiet = 1;
    doc.m_nClientTimeWait = 77;
    doc.m_chBreakChar = '\r';
    doc.m_strMoveToHost2 = "10.1.2.3";
    doc.m_bEraseHistory = 0;  // a playback setting: not stored
    g_nMaxLineLength = 16;
    g_bKeepBreaks = 1;
    frontEnd.SetEditorText("edit[13][10]me");
    for (int i = 0; i < 10000; ++i) {
        const std::uint32_t kind = 1u << (rng() % 25);
        const size_t nData = rng() % 5 == 0 ? 0 : rng() % (rng() % 50 == 0 ? 70000 : 300);
        Add(kind, testutil::RandomBytes(rng, nData), rng() % 3 ? std::string() : "text " + std::to_string(i),
            rng() % 4 ? std::string() : std::string(rng() % 400, 'h'), static_cast<std::int64_t>(rng()));
    }
    const std::string path = dir.Path("big.mwx");
    ASSERT_TRUE(doc.OnSaveDocument(path));

    CHeadlessFrontEnd fe2;
    fe2.SetEcho(false);
    CMidwireDoc loaded;
    g_nMaxLineLength = 0;
    ASSERT_TRUE(loaded.OnOpenDocument(path));
    EXPECT_EQ(loaded.m_strServerHost, "server");
    EXPECT_EQ(loaded.m_strListenPort, "8080");
    EXPECT_TRUE(loaded.m_bQuiet);
    EXPECT_EQ(loaded.m_nClientTimeWait, 77);
    EXPECT_EQ(loaded.m_chBreakChar, '\r');
    EXPECT_TRUE(loaded.m_bEraseHistory);
    EXPECT_EQ(loaded.m_nMoveToAddr2, 0x0A010203u);
    EXPECT_EQ(g_nMaxLineLength, 16);
    EXPECT_TRUE(g_bKeepBreaks);
    EXPECT_EQ(fe2.GetEditorText(), "edit[13][10]me");
    ASSERT_EQ(loaded.m_history.GetCount(), 10000u);
    for (size_t i = 0; i < 10000; ++i)
        ExpectSameEvent(*doc.m_history.GetAt(i), *loaded.m_history.GetAt(i));
    // Every event got its row back, Quiet or not.
    EXPECT_EQ(fe2.GetRowCount(), 10000u);

    // Saving the loaded session gives the same bytes again.
    const std::string path2 = dir.Path("big2.mwx");
    ASSERT_TRUE(loaded.OnSaveDocument(path2));
    EXPECT_EQ(ReadFile(path), ReadFile(path2));
}

TEST_F(SessionFileFixture, ProgressOfSaveAndLoad)
{
    for (int i = 0; i < 120; ++i)
        Add(EK_MOVED_TO_CLIENT, "x");
    const std::string path = dir.Path("p.mwx");
    ASSERT_TRUE(doc.OnSaveDocument(path));
    ASSERT_FALSE(frontEnd.m_progress.empty());
    EXPECT_EQ(frontEnd.m_progress.back().strText, "Please wait while saving");
    EXPECT_EQ(frontEnd.m_progress.back().nHigh, 120);
    EXPECT_EQ(frontEnd.m_progress.back().positions, (std::vector<std::int64_t>{0, 50, 100}));
    frontEnd.m_progress.clear();
    ASSERT_TRUE(doc.OnOpenDocument(path));
    ASSERT_GE(frontEnd.m_progress.size(), 2u);
    EXPECT_EQ(frontEnd.m_progress[0].strText, "Please wait while loading");
    EXPECT_EQ(frontEnd.m_progress[0].positions, (std::vector<std::int64_t>{0, 50, 100}));
    EXPECT_EQ(frontEnd.m_progress[1].kind, EProgressKind::LoadingEventList);
}

TEST_F(SessionFileFixture, WrongSignatureLeavesSessionUntouched)
{
    doc.m_strServerHost = "keep";
    Add(EK_ERROR, "", "kept");
    frontEnd.SetEditorText("keep me");
    const std::string path = dir.Path("bad.mwx");
    WriteFile(path, std::string("\x0DMidwire 1.3.2", 14) + std::string(200, '\0'));
    EXPECT_FALSE(doc.OnOpenDocument(path));
    ASSERT_EQ(frontEnd.m_messages.size(), 1u);
    EXPECT_EQ(frontEnd.m_messages[0], "Wrong file format.");
    EXPECT_EQ(doc.m_strServerHost, "keep");
    EXPECT_EQ(doc.m_history.GetCount(), 1u);
    EXPECT_EQ(frontEnd.GetEditorText(), "keep me");
    WriteFile(path, "");
    EXPECT_FALSE(doc.OnOpenDocument(path));
    EXPECT_EQ(frontEnd.m_messages.back(), "Wrong file format.");
    EXPECT_EQ(doc.m_history.GetCount(), 1u);
}

TEST_F(SessionFileFixture, RefusedDuringAConnection)
{
    const std::string path = dir.Path("c.mwx");
    ASSERT_TRUE(doc.OnSaveDocument(path));
    doc.m_bConnected = 1;
    EXPECT_FALSE(doc.OnSaveDocument(dir.Path("other.mwx")));
    EXPECT_FALSE(doc.OnOpenDocument(path));
    EXPECT_EQ(frontEnd.m_messages,
              (std::vector<std::string>(2, "Unable to perform the command during a connection.")));
    EXPECT_FALSE(std::filesystem::exists(dir.Path("other.mwx")));
    doc.m_bConnected = 0;
}

TEST_F(SessionFileFixture, TruncatedFileKeepsWholeEventsAndSaysSo)
{
    Add(EK_MOVED_TO_SERVER, "first");
    Add(EK_MOVED_TO_CLIENT, "second");
    Add(EK_MOVED_TO_SERVER, std::string(1000, 'z'));
    const std::string path = dir.Path("t.mwx");
    ASSERT_TRUE(doc.OnSaveDocument(path));
    const std::string full = ReadFile(path);
    WriteFile(path, full.substr(0, full.size() - 10));

    CHeadlessFrontEnd fe2;
    fe2.SetEcho(false);
    CMidwireDoc loaded;
    EXPECT_FALSE(loaded.OnOpenDocument(path));
    ASSERT_EQ(fe2.m_messages.size(), 1u);
    EXPECT_NE(fe2.m_messages[0].find("Unable to open file: " + path), std::string::npos);
    ASSERT_EQ(loaded.m_history.GetCount(), 2u);
    EXPECT_EQ(loaded.m_history.GetAt(1)->m_nLength, 6);
    EXPECT_TRUE(loaded.m_strPathName.empty());
}

TEST_F(SessionFileFixture, LengthFieldsAreNeverTrusted)
{
    Add(EK_MOVED_TO_SERVER, "abcd");
    const std::string path = dir.Path("l.mwx");
    ASSERT_TRUE(doc.OnSaveDocument(path));
    std::string bytes = ReadFile(path);
    // The record: kind, time, text (1 byte), length, host (1 byte), 4 data bytes.
    const size_t nLengthAt = bytes.size() - 4 - 1 - 4;
    ASSERT_EQ(bytes.substr(nLengthAt, 4), std::string("\x04\0\0\0", 4));

    CHeadlessFrontEnd fe2;
    fe2.SetEcho(false);
    // A data length far beyond the file: a read error, not a 2 GiB allocation.
    std::string huge = bytes;
    huge.replace(nLengthAt, 4, std::string("\xF0\xFF\xFF\x7F", 4));
    WriteFile(path, huge);
    CMidwireDoc a;
    EXPECT_FALSE(a.OnOpenDocument(path));
    EXPECT_EQ(a.m_history.GetCount(), 0u);

    // A negative length means no data; the bytes after it are the next field.
    std::string negative = bytes.substr(0, bytes.size() - 4);
    negative.replace(nLengthAt, 4, std::string("\xFB\xFF\xFF\xFF", 4));
    WriteFile(path, negative);
    CMidwireDoc b;
    EXPECT_TRUE(b.OnOpenDocument(path));
    ASSERT_EQ(b.m_history.GetCount(), 1u);
    EXPECT_EQ(b.m_history.GetAt(0)->m_pData, nullptr);

    // A string length beyond the file, in the 4-byte form.
    std::string longText = bytes.substr(0, 14) + std::string("\x00\x00\x00\x00\x0A\x00\x00\x00\x00\x00\x00\x00\x00"
                                                             "\xFF\xFF\xFF\xFF\xFF\xFF\x7F", 20);
    WriteFile(path, longText);
    CMidwireDoc c;
    EXPECT_FALSE(c.OnOpenDocument(path));
}

TEST_F(SessionFileFixture, CancelledOrFailedSaveKeepsThePreviousFile)
{
    for (int i = 0; i < 100; ++i)
        Add(EK_MOVED_TO_SERVER, "data " + std::to_string(i));
    const std::string path = dir.Path("keep.mwx");
    ASSERT_TRUE(doc.OnSaveDocument(path));
    const std::string before = ReadFile(path);

    Add(EK_MOVED_TO_SERVER, "more");
    frontEnd.m_nCancelProgressAtCheck = 10;
    EXPECT_FALSE(doc.OnSaveDocument(path));
    frontEnd.m_nCancelProgressAtCheck = 0;
    EXPECT_EQ(ReadFile(path), before);
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Root()), {}), 1);

    // A directory that cannot be written: the failure is reported.
    EXPECT_FALSE(doc.OnSaveDocument(dir.Path("missing/dir/x.mwx")));
    EXPECT_NE(frontEnd.m_messages.back().find("Unable to open file:"), std::string::npos);

    // A directory as the target is refused as one, however it is named, and
    // leaves nothing in it.
    std::filesystem::create_directory(dir.Path("sub"));
    for (const std::string& target : {dir.Path("sub"), dir.Path("sub/"), dir.Path("sub/.")}) {
        EXPECT_FALSE(doc.OnSaveDocument(target));
        EXPECT_EQ(frontEnd.m_messages.back(), "Unable to open file: " + target + " ; Is a directory.");
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path("sub")));
}

// A file name as long as a directory entry allows is saved and replaced like
// any other, although the temporary file beside it cannot add to its name.
TEST_F(SessionFileFixture, SaveUnderTheLongestFileName)
{
    Add(EK_MOVED_TO_SERVER, "data");
    const std::string path = dir.Path(std::string(NAME_MAX - 4, 'n') + ".mwx");
    ASSERT_TRUE(doc.OnSaveDocument(path)) << (frontEnd.m_messages.empty() ? "" : frontEnd.m_messages.back());
    const std::string first = ReadFile(path);
    Add(EK_MOVED_TO_CLIENT, "more");
    ASSERT_TRUE(doc.OnSaveDocument(path));
    EXPECT_GT(ReadFile(path).size(), first.size());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Root()), {}), 1);

    CHeadlessFrontEnd fe2;
    fe2.SetEcho(false);
    CMidwireDoc loaded;
    ASSERT_TRUE(loaded.OnOpenDocument(path));
    EXPECT_EQ(loaded.m_history.GetCount(), 2u);
}

TEST_F(SessionFileFixture, CancelledLoadKeepsEventsAndStaysUntitled)
{
    for (int i = 0; i < 100; ++i)
        Add(EK_MOVED_TO_SERVER, "data");
    const std::string path = dir.Path("cancel.mwx");
    ASSERT_TRUE(doc.OnSaveDocument(path));
    CHeadlessFrontEnd fe2;
    fe2.SetEcho(false);
    fe2.m_nCancelProgressAtCheck = 10;
    CMidwireDoc loaded;
    EXPECT_TRUE(loaded.OnOpenDocument(path));
    EXPECT_EQ(loaded.m_history.GetCount(), 10u);
    EXPECT_TRUE(loaded.m_strPathName.empty());
}

TEST_F(SessionFileFixture, DatagramValuesAreResolvedAgainAfterLoading)
{
    doc.m_strSendHost = "localhost";
    doc.m_strMoveFromHost1 = "";
    doc.m_strMoveToPort1 = "domain";
    doc.m_strDgramPort = "70000";
    doc.m_strSendPort = "abc";
    doc.m_bDatagramActive = 0;
    const std::string path = dir.Path("d.mwx");
    ASSERT_TRUE(doc.OnSaveDocument(path));
    CHeadlessFrontEnd fe2;
    fe2.SetEcho(false);
    CMidwireDoc loaded;
    ASSERT_TRUE(loaded.OnOpenDocument(path));
    EXPECT_EQ(loaded.m_nSendAddr, 0x7F000001u);
    EXPECT_EQ(loaded.m_nMoveFromAddr1, 0xFFFFFFFFu);
    EXPECT_EQ(loaded.m_nMoveToPort1, 53);
    EXPECT_EQ(loaded.m_nDgramPort, 4464);
    EXPECT_EQ(loaded.m_nSendPort, 0);
}

// Thousands of damaged files: every one loads to a consistent session or is
// refused, without a crash, a leak or a sanitizer report.
TEST_F(SessionFileFixture, MutatedAndTruncatedFilesNeverCrash)
{
    std::mt19937 rng(7);
    for (int i = 0; i < 40; ++i)
        Add(1u << (rng() % 25), testutil::RandomBytes(rng, rng() % 600), i % 3 ? "" : "msg", i % 4 ? "" : "host");
    doc.m_strServerHost = std::string(300, 's');
    const std::string path = dir.Path("fuzz.mwx");
    ASSERT_TRUE(doc.OnSaveDocument(path));
    const std::string original = ReadFile(path);

    CHeadlessFrontEnd fe2;
    fe2.SetEcho(false);
    CMidwireDoc target;
    const std::string mutatedPath = dir.Path("m.mwx");
    int nLoaded = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string bytes = original;
        switch (round % 4) {
        case 0:  // truncate anywhere
            bytes.resize(rng() % bytes.size());
            break;
        case 1:  // flip random bytes (keep the signature most of the time)
            for (int k = 0, n = 1 + static_cast<int>(rng() % 8); k < n; ++k)
                bytes[14 + rng() % (bytes.size() - 14)] = static_cast<char>(rng());
            break;
        case 2:  // plant large length values
            for (int k = 0; k < 3; ++k) {
                const size_t at = 14 + rng() % (bytes.size() - 18);
                const unsigned char big[] = {0xFF, 0xFF, 0xFF, static_cast<unsigned char>(rng()),
                                             static_cast<unsigned char>(rng())};
                bytes.replace(at, 5, reinterpret_cast<const char*>(big), 5);
            }
            break;
        default:  // both
            bytes[14 + rng() % (bytes.size() - 14)] = static_cast<char>(0xFF);
            bytes.resize(14 + rng() % (bytes.size() - 14));
            break;
        }
        WriteFile(mutatedPath, bytes);
        nLoaded += target.OnOpenDocument(mutatedPath) ? 1 : 0;
        for (const HistoryEvent* p : target.m_history) {
            ASSERT_GE(p->m_nLength, 0);
            ASSERT_EQ(p->m_nLength > 0, p->m_pData != nullptr);
        }
        fe2.m_messages.clear();
        fe2.m_progress.clear();
    }
    EXPECT_GT(nLoaded, 0);
}

// Save and Save As from the File menu to a named pipe that no program reads
// are refused at once instead of holding the window in open() for good; one
// that is read gets the session. A guard thread reads the pipe after a while
// so that the test ends even where the save would wait.
TEST_F(SessionFileFixture, FileCommandsDoNotWaitForAPipeThatNobodyReads)
{
    Add(EK_MOVED_TO_SERVER, "data");
    const std::string pipe = dir.Path("pipe.mwx");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    CCommandTable table;
    RegisterSessionCommands(table, doc);
    frontEnd.m_onPromptFileName = [&](std::string& strPath, bool) {
        strPath = pipe;
        return true;
    };

    std::atomic<bool> bSaveOver{false}, bGuardRead{false};
    std::thread guard([&] {
        for (int i = 0; i < 100 && !bSaveOver; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (bSaveOver)
            return;
        bGuardRead = true;
        const int fd = ::open(pipe.c_str(), O_RDONLY);
        char buf[4096];
        while (fd >= 0 && ::read(fd, buf, sizeof buf) > 0) {
        }
        if (fd >= 0)
            ::close(fd);
    });
    ASSERT_TRUE(table.Run(ID_FILE_SAVE_AS));
    bSaveOver = true;
    guard.join();
    EXPECT_FALSE(bGuardRead);
    ASSERT_FALSE(frontEnd.m_messages.empty());
    EXPECT_EQ(frontEnd.m_messages.back(), "Unable to open file: " + pipe + " ; No such device or address.");
    EXPECT_TRUE(doc.m_strPathName.empty());

    // A pipe with a reader is written in place, by Save as well.
    std::string received;
    std::thread reader([&] {
        const int fd = ::open(pipe.c_str(), O_RDONLY);
        char buf[4096];
        ssize_t n;
        while (fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0)
            received.append(buf, static_cast<std::size_t>(n));
        if (fd >= 0)
            ::close(fd);
    });
    // The reader is in open() once a writer that does not wait finds it.
    bool bSaved = false;
    for (int i = 0; i < 1000 && !bSaved; ++i) {
        frontEnd.m_messages.clear();
        ASSERT_TRUE(table.Run(ID_FILE_SAVE_AS));
        bSaved = frontEnd.m_messages.empty();
        if (!bSaved)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!bSaved) {
        // Let the reader out of its open().
        const int fd = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
    }
    reader.join();
    ASSERT_TRUE(bSaved);
    EXPECT_EQ(doc.m_strPathName, pipe);
    EXPECT_EQ(received.substr(0, 14), std::string("\x0DMidwire 1.3.3"));
}

// A session read from a pipe (several buffers long) loads as from its file;
// a stream that ends early, or claims a block longer than it holds, is
// damaged; a window's load (no streams) refuses the pipe as before.
TEST_F(SessionFileFixture, StreamLoadsInOnePass)
{
    Add(EK_MOVED_TO_SERVER, std::string(3u << 20, 'x'));
    Add(EK_MOVED_TO_CLIENT, "tail", "", "host");
    ASSERT_TRUE(doc.OnSaveDocument(dir.Path("s.mwx")));
    const std::string strBytes = testutil::ReadFile(dir.Path("s.mwx"));
    std::vector<std::string>& messages = frontEnd.m_messages;
    // Loads the bytes through a pipe that a thread writes while the load
    // reads; true when the whole session came.
    auto LoadThroughPipe = [&](const std::string& strIn, bool bStreams) {
        messages.clear();
        int fds[2];
        if (::pipe(fds) != 0)
            return false;
        std::thread writer([&] {
            for (std::size_t n = 0; n < strIn.size();) {
                const ssize_t w = ::write(fds[1], strIn.data() + n, strIn.size() - n);
                if (w <= 0)
                    break;
                n += static_cast<std::size_t>(w);
            }
            ::close(fds[1]);
        });
        const BOOL bLoaded = doc.OnOpenDocument("/proc/self/fd/" + std::to_string(fds[0]), bStreams);
        ::close(fds[0]);  // a writer still at work gets EPIPE and ends
        writer.join();
        return bLoaded && doc.m_history.GetCount() == 2 && doc.m_history.GetAt(1)->m_strHost == "host";
    };
    const CBrokenPipeGuard noSigPipe;
    EXPECT_TRUE(LoadThroughPipe(strBytes, true));

    EXPECT_FALSE(LoadThroughPipe(strBytes, false));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("not a regular file"), std::string::npos) << messages[0];
    for (const std::size_t nCut : {std::size_t{0}, std::size_t{200}, strBytes.size() - 1}) {
        EXPECT_FALSE(LoadThroughPipe(strBytes.substr(0, nCut), true)) << nCut;
        ASSERT_EQ(messages.size(), 1u) << nCut;
        EXPECT_NE(messages[0].find(nCut == 0 ? "Wrong file format." : "truncated or damaged"), std::string::npos)
            << nCut << ": " << messages[0];
    }
    // The first event's length field says 2 GiB - 1.
    std::string strClaim = strBytes;
    const std::size_t nLength = strClaim.find(std::string(4096, 'x')) - 5;
    strClaim.replace(nLength, 4, std::string("\xFF\xFF\xFF\x7F", 4));
    EXPECT_FALSE(LoadThroughPipe(strClaim, true));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("truncated or damaged"), std::string::npos) << messages[0];
}
