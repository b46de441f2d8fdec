// The recorded event, the event lists, the worker events and the session
// document's New, Erase All, recording and ownership rules.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ctime>
#include <random>
#include <thread>
#include <pthread.h>
#include <unistd.h>

#include "TestUtil.h"
#include "app/HeadlessFrontEnd.h"
#include "session/MidwireDoc.h"
#include "session/ProgressWalk.h"
#include "views/DisplayTranslation.h"
#include "views/EventRow.h"

namespace {

using testutil::MakeEvent;

struct DocFixture : ::testing::Test {
    DocFixture() { frontEnd.SetEcho(false); doc.OnNewDocument(); }
    CHeadlessFrontEnd frontEnd;
    CMidwireDoc doc;
};

}  // namespace

TEST(HistoryEventTest, NewEventAndCopies)
{
    const std::int64_t before = std::time(nullptr);
    HistoryEvent e;
    EXPECT_GE(e.m_time, before);
    EXPECT_LE(e.m_time, std::time(nullptr));
    EXPECT_EQ(e.m_kind, 0u);
    EXPECT_EQ(e.m_pData, nullptr);
    EXPECT_EQ(e.m_nLength, 0);

    auto* src = MakeEvent(EK_MOVED_TO_SERVER, "hello", "text");
    src->m_strHost = "host";
    src->m_time = 12345;
    HistoryEvent copy(*src);
    ASSERT_NE(copy.m_pData, nullptr);
    EXPECT_NE(copy.m_pData, src->m_pData);
    EXPECT_EQ(copy.m_nLength, 5);
    EXPECT_EQ(copy.m_time, 12345);
    EXPECT_EQ(copy.m_kind, EK_MOVED_TO_SERVER);
    EXPECT_EQ(copy.m_strText, "text");
    EXPECT_EQ(copy.m_strHost, "host");
    delete src;
    EXPECT_EQ(std::memcmp(copy.m_pData, "hello", 5), 0);

    // A source whose length has no block behind it gives a copy without data.
    HistoryEvent broken;
    broken.m_nLength = 7;
    HistoryEvent copy2(broken);
    EXPECT_EQ(copy2.m_pData, nullptr);
    EXPECT_EQ(copy2.m_nLength, 0);
}

TEST(HistoryEventTest, LabelsRowsAndTimeFormat)
{
    const std::pair<std::uint32_t, const char*> labels[] = {
        {0x1, "Sent to:"}, {0x2, "Received from:"}, {0x4, "Moved to:"}, {0x8, "Sent to:"},
        {0x10, "Received from:"}, {0x20, "Moved to:"}, {0x40, "Error"}, {0x80, "Warning"},
        {0x100, "Message"}, {0x200, "Connect to:"}, {0x400, "Disconnect to:"}, {0x800, "Connect from:"},
        {0x1000, "Disconnect to:"}, {0x2000, "Edited & sent to:"}, {0x4000, "Edited & sent to:"},
        {0x8000, "Sent to:"}, {0x10000, "Received from:"}, {0x20000, "Sent to:"}, {0x40000, "Received from:"},
        {0x80000, "Start PlayBack"}, {0x100000, "Sent to:"}, {0x200000, "Received from:"},
        {0x400000, "Bind dgram socket"}, {0x800000, "Unbind dgram socket"}, {0x1000000, "Moved to:"},
    };
    int nIconSum = 0;
    for (const auto& [kind, label] : labels) {
        EXPECT_STREQ(EventKindLabel(kind), label) << std::hex << kind;
        EXPECT_STREQ(RenderKind(kind).pszLabel, label) << std::hex << kind;
        EXPECT_TRUE(IsKnownEventKind(kind));
        nIconSum += RenderKind(kind).nIcon;
    }
    EXPECT_EQ(nIconSum, 24 * 25 / 2);  // every icon 0..24 used once
    EXPECT_STREQ(EventKindLabel(0x3), "Error");
    EXPECT_STREQ(EventKindLabel(0x2000000), "Error");
    EXPECT_FALSE(IsKnownEventKind(0));
    EXPECT_FALSE(IsKnownEventKind(0x6));

    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(FormatEventTime(867679509), "1997;06;30 14:05:09");
    unsetenv("TZ");
    tzset();
}

TEST(EventQueueTest, FirstInFirstOutAndEmptyTake)
{
    EventQueue q;
    EXPECT_EQ(q.Take(), nullptr);
    HistoryEvent a, b, c;
    q.Add(&a);
    q.Add(&b);
    q.Add(&c);
    EXPECT_EQ(q.GetCount(), 3u);
    EXPECT_EQ(q.Take(), &a);
    EXPECT_EQ(q.Take(), &b);
    EXPECT_EQ(q.Take(), &c);
    EXPECT_EQ(q.Take(), nullptr);
    EXPECT_TRUE(q.IsEmpty());
}

TEST(EventQueueTest, OneProducerOneConsumerKeepOrder)
{
    EventQueue q;
    constexpr int kCount = 20000;
    std::vector<HistoryEvent> events(kCount);
    std::thread producer([&] {
        for (auto& e : events)
            q.Add(&e);
    });
    int nTaken = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (nTaken < kCount && std::chrono::steady_clock::now() < deadline) {
        if (HistoryEvent* p = q.Take()) {
            ASSERT_EQ(p, &events[static_cast<size_t>(nTaken)]);
            ++nTaken;
        }
    }
    producer.join();
    EXPECT_EQ(nTaken, kCount);
}

TEST(CEventTest, AutoResetSemantics)
{
    CEvent ev;
    EXPECT_FALSE(ev.TryWait());
    ev.SetEvent();
    ev.SetEvent();
    EXPECT_TRUE(ev.TryWait());   // several sets count as one
    EXPECT_FALSE(ev.TryWait());  // and the wait reset it
    EXPECT_FALSE(ev.Wait(10));
    ev.SetEvent();
    ev.ResetEvent();
    EXPECT_FALSE(ev.TryWait());

    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ev.SetEvent();
    });
    EXPECT_TRUE(ev.Wait(5000));
    setter.join();
}

// A termination signal sent to the process must reach the thread that runs
// the event loop: workers are born with those signals blocked, and starting
// one leaves the starting thread's mask as it was.
TEST(WorkerThreadTest, WorkersNeverTakeTheTerminationSignals)
{
    auto blockedIn = [](const sigset_t& set) {
        return sigismember(&set, SIGINT) == 1 && sigismember(&set, SIGTERM) == 1 && sigismember(&set, SIGHUP) == 1;
    };
    sigset_t before;
    ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, nullptr, &before), 0);
    ASSERT_FALSE(blockedIn(before));
    sigset_t inWorker;
    sigemptyset(&inWorker);
    std::thread worker = StartWorkerThread([&inWorker] { ::pthread_sigmask(SIG_SETMASK, nullptr, &inWorker); });
    worker.join();
    EXPECT_TRUE(blockedIn(inWorker));
    EXPECT_EQ(sigismember(&inWorker, SIGUSR1), 0);  // only those three
    sigset_t after;
    ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, nullptr, &after), 0);
    EXPECT_FALSE(blockedIn(after));
}

TEST_F(DocFixture, NewValues)
{
    EXPECT_FALSE(doc.m_bConnected);
    EXPECT_EQ(doc.m_hServerSocket, INVALID_SOCKET);
    EXPECT_EQ(doc.m_hDatagramSocket, INVALID_SOCKET);
    EXPECT_TRUE(doc.m_bSendBroadcast);
    EXPECT_TRUE(doc.m_bResolveNames);
    EXPECT_TRUE(doc.m_bServerWaitAllResponses);
    EXPECT_TRUE(doc.m_bClientWaitAllResponses);
    EXPECT_TRUE(doc.m_bEraseHistory);
    EXPECT_TRUE(doc.m_bVisibleScroll);
    EXPECT_TRUE(doc.m_bUseBreakChar);
    EXPECT_EQ(doc.m_chBreakChar, '\n');
    EXPECT_EQ(doc.m_nServerWaitRetries, 1000000);
    EXPECT_EQ(doc.m_nClientWaitRetries, 1000000);
    EXPECT_EQ(doc.m_nServerTimeWait, 300);
    EXPECT_EQ(doc.m_nClientTimeWait, 300);
    EXPECT_EQ(g_nMaxLineLength, 0);
    EXPECT_EQ(g_chDisplayBreak, '\n');
    EXPECT_FALSE(g_bKeepBreaks);
    EXPECT_EQ(g_pDoc, &doc);
}

TEST_F(DocFixture, NewResetsEverythingAndEraseAllKeepsSettings)
{
    doc.m_strServerHost = "server";
    doc.m_bVerbose = 1;
    g_nMaxLineLength = 40;
    frontEnd.SetEditorText("editor");
    doc.RecordEvent(MakeEvent(EK_MOVED_TO_SERVER, "abc"), FALSE);
    doc.RecordEvent(MakeEvent(EK_MESSAGE, "", "hi"), TRUE);  // quiet: history only
    EXPECT_EQ(doc.m_history.GetCount(), 2u);
    EXPECT_EQ(frontEnd.GetRowCount(), 1u);
    doc.AddToServer(doc.m_history.GetAt(0));
    AppendBytes(doc.m_pClientPending, doc.m_nClientPending, "xy", 2);
    doc.m_hListenSocket = 99;  // a handle Erase All must forget, not close

    doc.OnEraseAll();
    EXPECT_EQ(doc.m_history.GetCount(), 0u);
    EXPECT_EQ(doc.m_toServer.GetCount(), 0u);
    EXPECT_EQ(frontEnd.GetRowCount(), 0u);
    EXPECT_EQ(doc.m_pClientPending, nullptr);
    EXPECT_EQ(doc.m_hListenSocket, INVALID_SOCKET);
    EXPECT_EQ(doc.m_strServerHost, "server");
    EXPECT_TRUE(doc.m_bVerbose);
    EXPECT_EQ(g_nMaxLineLength, 40);
    EXPECT_EQ(frontEnd.GetEditorText(), "editor");

    doc.RecordEvent(MakeEvent(EK_ERROR, "", "e"), FALSE);
    doc.OnNewDocument();
    EXPECT_EQ(doc.m_history.GetCount(), 0u);
    EXPECT_EQ(frontEnd.GetRowCount(), 0u);
    EXPECT_EQ(frontEnd.GetEditorText(), "");
    EXPECT_EQ(doc.m_strServerHost, "");
    EXPECT_FALSE(doc.m_bVerbose);
    EXPECT_EQ(g_nMaxLineLength, 0);
}

TEST_F(DocFixture, EraseAllRefusedWhileRelayRuns)
{
    doc.RecordEvent(MakeEvent(EK_ERROR, "", "e"), FALSE);
    doc.m_bConnected = 1;
    doc.OnEraseAll();
    EXPECT_EQ(doc.m_history.GetCount(), 1u);
    doc.m_bConnected = 0;
    doc.m_bDatagramActive = 1;
    doc.OnEraseAll();
    EXPECT_EQ(doc.m_history.GetCount(), 1u);
    doc.m_bDatagramActive = 0;
}

// The playback script owns its events only when it was built with the
// erase-history setting on. New resets that setting before it empties the
// script, so ownership must follow how the script was built, or events are
// freed twice or leaked. The sanitizer build checks both.
TEST_F(DocFixture, PlaybackScriptOwnershipSurvivesNew)
{
    // Built with erase-history off: the history keeps owning the events.
    doc.m_bEraseHistory = 0;
    for (int i = 0; i < 3; ++i) {
        HistoryEvent* p = MakeEvent(EK_MOVED_TO_SERVER, "x");
        doc.AddToHistory(p);
        doc.AddToPlayback(p);
    }
    doc.m_bPlaybackOwnsEvents = doc.m_bEraseHistory;
    doc.OnNewDocument();
    EXPECT_EQ(doc.m_playbackList.GetCount(), 0u);

    // Built with erase-history on: events were taken out of the history.
    for (int i = 0; i < 3; ++i)
        doc.AddToPlayback(MakeEvent(EK_MOVED_TO_CLIENT, "y"));
    doc.m_bPlaybackOwnsEvents = 1;
    doc.m_bEraseHistory = 0;  // changed after the build: must not matter
    doc.OnEraseAll();
    EXPECT_EQ(doc.m_playbackList.GetCount(), 0u);
}

TEST_F(DocFixture, ReloadShowsEveryEventWithProgressAndCancel)
{
    doc.m_bQuiet = 1;
    for (int i = 0; i < 120; ++i)
        doc.RecordEvent(MakeEvent(EK_MOVED_TO_SERVER, "d" + std::to_string(i)), doc.m_bQuiet);
    EXPECT_EQ(frontEnd.GetRowCount(), 0u);

    doc.ReloadEventList();
    ASSERT_EQ(frontEnd.GetRowCount(), 120u);
    EXPECT_EQ(frontEnd.GetRows()[7], doc.m_history.GetAt(7));
    ASSERT_FALSE(frontEnd.m_progress.empty());
    const auto& rec = frontEnd.m_progress.back();
    EXPECT_EQ(rec.kind, EProgressKind::LoadingEventList);
    EXPECT_EQ(rec.nHigh, 120);
    EXPECT_EQ(rec.positions, (std::vector<std::int64_t>{0, 50, 100}));

    // Cancel seen after the 10th row: the rows added so far stay.
    frontEnd.m_nCancelProgressAtCheck = 10;
    doc.ReloadEventList();
    EXPECT_EQ(frontEnd.GetRowCount(), 10u);
    EXPECT_EQ(doc.m_history.GetCount(), 120u);
}

TEST_F(DocFixture, RowTextFollowsTheSessionHosts)
{
    doc.m_strClientHost = "client.example";
    doc.m_strServerHost = "server.example";
    HistoryEvent* p = MakeEvent(EK_RECEIVED_FROM_CLIENT, "ab[c");
    doc.RecordEvent(p, FALSE);
    EventRowText row = MakeEventRow(doc, *p);
    EXPECT_EQ(row.strAction, "Received from:");
    EXPECT_EQ(row.strHost, "client.example");
    EXPECT_EQ(row.strData, "ab[[c");
    EXPECT_EQ(row.nIcon, 3);
    doc.m_strClientHost = "renamed";
    EXPECT_EQ(MakeEventRow(doc, *p).strHost, "renamed");

    HistoryEvent dgram;
    dgram.m_kind = EK_DGRAM_RECEIVED;
    dgram.m_strHost = "peer";
    EXPECT_EQ(MakeEventRow(doc, dgram).strHost, "peer");
    HistoryEvent text;
    text.m_kind = EK_MOVED_TO_SERVER;
    text.m_strText = "shown instead";
    text.AdoptData(static_cast<unsigned char*>(std::malloc(1)), 1);
    EXPECT_EQ(MakeEventRow(doc, text).strData, "shown instead");
    HistoryEvent unknown;
    unknown.m_kind = 0x3;
    unknown.m_time = 0;
    const EventRowText u = MakeEventRow(doc, unknown);
    EXPECT_EQ(u.strAction, "Error");
    EXPECT_EQ(u.nIcon, 0);
    EXPECT_NE(u.strTime, FormatEventTime(0));  // the current time instead
}

// A cell of the list shows only the start of a large event, translated
// only as far as that start needs; it must be the start of the whole text
// under every translation setting.
TEST_F(DocFixture, CutDataColumnIsTheStartOfTheWholeText)
{
    std::mt19937 rng(7);
    std::string bytes(20000, '\0');
    for (char& c : bytes)
        c = static_cast<char>(rng() % 4 == 0 ? rng() % 256 : 'a' + rng() % 26);
    HistoryEvent event;
    event.m_kind = EK_MOVED_TO_SERVER;
    event.AdoptData(static_cast<unsigned char*>(std::malloc(bytes.size())), static_cast<std::int32_t>(bytes.size()));
    std::memcpy(event.m_pData, bytes.data(), bytes.size());
    for (const int nMax : {0, 1, 7, 100})
        for (const BOOL bKeep : {0, 1}) {
            g_nMaxLineLength = nMax;
            g_bKeepBreaks = bKeep;
            const std::string strWhole = EventDataText(event);
            ASSERT_GT(strWhole.size(), 4096u);
            for (const std::size_t nCut : {std::size_t{1}, std::size_t{4096}, strWhole.size() - 1})
                EXPECT_EQ(EventDataText(event, " 1", nCut), strWhole.substr(0, nCut)) << nMax << " " << bKeep;
            EXPECT_EQ(EventDataText(event, " 1", strWhole.size() + 10), strWhole);
        }
    HistoryEvent text;
    text.m_strText = std::string(5000, 'x') + "end";
    EXPECT_EQ(EventDataText(text, " 1", 4096), std::string(4096, 'x'));
    EXPECT_EQ(EventDataText(text), text.m_strText);
    g_nMaxLineLength = 0;
    g_bKeepBreaks = 0;
}

TEST_F(DocFixture, WalkGuardBlocksEraseAll)
{
    doc.RecordEvent(MakeEvent(EK_ERROR, "", "e"), FALSE);
    {
        CMidwireDoc::CWalkGuard guard(doc);
        EXPECT_FALSE(doc.CanEraseAll());
        doc.OnEraseAll();
        EXPECT_EQ(doc.m_history.GetCount(), 1u);
    }
    EXPECT_TRUE(doc.CanEraseAll());
}

TEST_F(DocFixture, RowsRecordedFromSeveralThreadsFollowTheHistory)
{
    // Each thread records shown, quiet and shown-first events; whatever the
    // interleaving, the rows are the shown events in history order.
    constexpr int kThreads = 4;
    constexpr int kPerThread = 50000;
    auto recorder = [this](int nThread) {
        for (int i = 0; i < kPerThread; ++i) {
            HistoryEvent* p = MakeEvent(EK_MESSAGE, "", std::to_string(nThread) + ":" + std::to_string(i));
            if (i % 7 == 3)
                doc.RecordEvent(p, TRUE);
            else if (i % 11 == 5)
                doc.ShowThenRecord(p);
            else
                doc.RecordEvent(p, FALSE);
        }
    };
    std::vector<std::thread> threads;
    for (int n = 0; n < kThreads; ++n)
        threads.emplace_back(recorder, n);
    for (std::thread& t : threads)
        t.join();
    ASSERT_EQ(doc.m_history.GetCount(), static_cast<std::size_t>(kThreads * kPerThread));
    std::vector<HistoryEvent*> shown;
    for (HistoryEvent* p : doc.m_history) {
        const std::size_t nColon = p->m_strText.find(':');
        if (std::stoi(p->m_strText.substr(nColon + 1)) % 7 != 3)
            shown.push_back(p);
    }
    const std::vector<HistoryEvent*> rows = frontEnd.GetRows();
    ASSERT_EQ(rows.size(), shown.size());
    for (std::size_t r = 0; r < rows.size(); ++r)
        ASSERT_EQ(rows[r], shown[r]) << "row " << r;
}

// A large history, once New, Open or Erase All has dropped it, no longer
// holds memory: the pages of its freed blocks go back to the system even
// where a later allocation sits above them in the heap.
TEST_F(DocFixture, DroppedHistoryGivesItsMemoryBack)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator keeps freed blocks to itself";
#elif !defined(__GLIBC__)
    GTEST_SKIP() << "resident size measured for the GNU allocator only";
#else
    auto residentKiB = [] {
        std::ifstream statm("/proc/self/statm");
        long nSize = 0, nResident = 0;
        statm >> nSize >> nResident;
        return nResident * (sysconf(_SC_PAGESIZE) / 1024);
    };
    constexpr long kPieceBytes = 64 * 1024;  // heap blocks, below the mapping threshold
    constexpr int kPieces = 1024;            // 64 MiB of history
    const std::string strPiece(kPieceBytes, 'h');
    // Open replaces the session with a small one: the load may reuse the
    // old pages, and gives back the rest when it ends.
    testutil::TempDir dir;
    const std::string strSmall = dir.Path("small.mwx");
    {
        CMidwireDoc small;
        small.OnNewDocument();
        small.AddToHistory(MakeEvent(EK_MOVED_TO_SERVER, "small"));
        ASSERT_TRUE(small.OnSaveDocument(strSmall));
    }
    for (const char* pszHow : {"New", "Erase All", "Open"}) {
        SCOPED_TRACE(pszHow);
        for (int i = 0; i < kPieces; ++i)
            doc.AddToHistory(MakeEvent(EK_MOVED_TO_SERVER, strPiece));
        // Allocated after the history, it keeps the heap's top in place.
        void* pAbove = std::malloc(kPieceBytes);
        std::memset(pAbove, 1, kPieceBytes);
        const long nBefore = residentKiB();
        const std::string strHow = pszHow;
        if (strHow == "New")
            doc.OnNewDocument();
        else if (strHow == "Erase All")
            doc.OnEraseAll();
        else
            ASSERT_TRUE(doc.OnOpenDocument(strSmall));
        const long nAfter = residentKiB();
        std::free(pAbove);
        EXPECT_EQ(doc.m_history.GetCount(), strHow == "Open" ? 1u : 0u);
        EXPECT_GE(nBefore - nAfter, kPieces * kPieceBytes / 1024 / 2) << nBefore << " KiB before, " << nAfter << " after";
    }
#endif
}
