// Playback inside one process: building the script from the history (moved
// or referred to, stopping at the first marker, Cancel), the reply check,
// the replaying worker's send step, the ownership of script events, the
// dialog's enable rules and the Start PlayBack command up to the start of
// the connection.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <poll.h>
#include <thread>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "RelayTestUtil.h"
#include "TestUtil.h"
#include "app/CommandTable.h"
#include "app/HeadlessFrontEnd.h"
#include "playback/Playback.h"
#include "relay/Relay.h"
#include "session/MidwireDoc.h"

namespace {

void EnsureCoreApplication()
{
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "midwire_core_tests";
        static char* argv[] = {name, nullptr};
        new QCoreApplication(argc, argv);  // lives for the whole test run
    }
}

HistoryEvent* MakeData(std::uint32_t kind, const std::string& bytes)
{
    return testutil::MakeEvent(kind, bytes);
}

HistoryEvent* MakeStatus(std::uint32_t kind, const std::string& text)
{
    return testutil::MakeEvent(kind, std::string(), text);
}

std::string Bytes(const HistoryEvent* p)
{
    return p && p->m_pData ? std::string(reinterpret_cast<const char*>(p->m_pData), static_cast<size_t>(p->m_nLength))
                           : std::string();
}

// A loopback port that nothing listens on: bound, never listened, closed.
std::uint16_t UnusedPort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    std::uint16_t nPort = 9;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        nPort = ntohs(addr.sin_port);
    ::close(s);
    return nPort;
}

std::vector<HistoryEvent*> Items(const EventQueue& q)
{
    return std::vector<HistoryEvent*>(q.begin(), q.end());
}

std::vector<std::string> ErrorTexts(const CMidwireDoc& doc)
{
    std::vector<std::string> texts;
    for (const HistoryEvent* p : doc.m_history)
        if (p->m_kind == EK_ERROR)
            texts.push_back(p->m_strText);
    return texts;
}

class PlaybackTest : public ::testing::Test {
protected:
    PlaybackTest()
    {
        EnsureCoreApplication();
        frontEnd.SetEcho(false);
        doc.OnNewDocument();
    }
    ~PlaybackTest() override { doc.OnNewDocument(); }

    // Takes what the send steps queued for the server, as the worker would
    // send it: the pieces' bytes, in order; the events go to the history.
    std::vector<std::string> TakeSentToServer()
    {
        std::vector<std::string> sent;
        while (HistoryEvent* p = doc.TakeToServer()) {
            sent.push_back(Bytes(p));
            doc.AddToHistory(p);
        }
        return sent;
    }

    // The peer's pieces as one receive brings them: each is checked against
    // the script in turn, as the routing of the worker does.
    void CheckPieces(ERelaySide side, std::initializer_list<const char*> pieces)
    {
        for (const char* pszPiece : pieces) {
            HistoryEvent* pPiece = MakeData(0, pszPiece);
            CheckPlaybackReply(doc, side, pPiece);
            delete pPiece;
        }
    }

    // Records a history: what the relay recorded for a client that sent
    // requests and a server that answered them.
    std::vector<HistoryEvent*> Record(std::initializer_list<HistoryEvent*> events)
    {
        std::vector<HistoryEvent*> v(events);
        for (HistoryEvent* p : v)
            doc.AddToHistory(p);
        return v;
    }

    // A script as Build would leave it, owned by the list (the history is
    // left empty) or referring to the history.
    void LoadScript(std::initializer_list<HistoryEvent*> events, bool bOwned)
    {
        doc.m_bEraseHistory = bOwned;
        Record(events);
        ASSERT_TRUE(BuildPlaybackScript(doc));
        frontEnd.DeleteAllRows();
    }

    CHeadlessFrontEnd frontEnd;
    CMidwireDoc doc;
};

// --- Building the script ---

TEST_F(PlaybackTest, MovingTheHistoryStopsAtTheFirstMarkerAndDropsTheRest)
{
    const auto rec = Record({MakeStatus(EK_CONNECT_SERVER, "up"), MakeData(EK_MOVED_TO_SERVER, "a\n"),
                             MakeData(EK_MOVED_TO_CLIENT, "A\n"), MakeStatus(EK_PLAYBACK_START, "m1"),
                             MakeData(EK_PLAYBACK_SENT_TO_SERVER, "a\n"), MakeStatus(EK_PLAYBACK_START, "m2"),
                             MakeData(EK_PLAYBACK_RECEIVED_FROM_SERVER, "A\n")});
    doc.m_bEraseHistory = TRUE;
    frontEnd.AddEventRow(rec[4]);  // a row that refers to a dropped event

    ASSERT_TRUE(BuildPlaybackScript(doc));
    EXPECT_EQ(Items(doc.m_playbackList), (std::vector<HistoryEvent*>{rec[0], rec[1], rec[2]}));
    EXPECT_TRUE(doc.m_history.IsEmpty());
    EXPECT_TRUE(doc.m_bPlaybackOwnsEvents);
    EXPECT_EQ(frontEnd.GetRowCount(), 0u);  // rebuilt from the empty history
    ASSERT_FALSE(frontEnd.m_progress.empty());
    EXPECT_EQ(frontEnd.m_progress[0].strText, "Please wait while moving history list");
    EXPECT_EQ(frontEnd.m_progress[0].nHigh, 7);
}

TEST_F(PlaybackTest, ReferringToTheHistoryLeavesItUnchanged)
{
    const auto rec = Record({MakeData(EK_MOVED_TO_SERVER, "a\n"), MakeData(EK_MOVED_TO_CLIENT, "A\n"),
                             MakeStatus(EK_PLAYBACK_START, "m"), MakeData(EK_PLAYBACK_SENT_TO_SERVER, "a\n")});
    doc.m_bEraseHistory = FALSE;
    ASSERT_TRUE(BuildPlaybackScript(doc));
    EXPECT_EQ(Items(doc.m_playbackList), (std::vector<HistoryEvent*>{rec[0], rec[1]}));
    EXPECT_EQ(Items(doc.m_history), rec);
    EXPECT_FALSE(doc.m_bPlaybackOwnsEvents);
}

TEST_F(PlaybackTest, NewestMarkerAndEmptyHistory)
{
    for (const BOOL bErase : {TRUE, FALSE}) {
        SCOPED_TRACE(bErase);
        doc.OnNewDocument();
        const auto rec = Record({MakeData(EK_MOVED_TO_SERVER, "a\n"), MakeStatus(EK_PLAYBACK_START, "m")});
        doc.m_bEraseHistory = bErase;
        ASSERT_TRUE(BuildPlaybackScript(doc));
        EXPECT_EQ(Items(doc.m_playbackList), std::vector<HistoryEvent*>{rec[0]});

        doc.OnNewDocument();
        doc.m_bEraseHistory = bErase;
        EXPECT_TRUE(BuildPlaybackScript(doc));
        EXPECT_TRUE(doc.m_playbackList.IsEmpty());
    }
}

// Data held in an earlier session stays in the held queues after it, and
// moving the history hands those events to the script or destroys them: the
// held queues let go of them, so Get from Client or Get from Server in the
// playback's connection cannot reach a destroyed event. Referring to the
// history leaves them held.
TEST_F(PlaybackTest, MovingTheHistoryLeavesNothingHeld)
{
    for (const BOOL bErase : {TRUE, FALSE}) {
        SCOPED_TRACE(bErase);
        doc.OnNewDocument();
        const auto rec = Record({MakeData(EK_RECEIVED_FROM_CLIENT, "q\n"), MakeStatus(EK_PLAYBACK_START, "m"),
                                 MakeData(EK_PLAYBACK_RECEIVED_FROM_SERVER, "A\n")});
        doc.AddHeldFromClient(rec[0]);
        doc.AddHeldFromServer(rec[2]);
        doc.m_bEraseHistory = bErase;
        ASSERT_TRUE(BuildPlaybackScript(doc));
        EXPECT_EQ(doc.m_heldFromClient.IsEmpty(), bErase != 0);
        EXPECT_EQ(doc.m_heldFromServer.IsEmpty(), bErase != 0);
    }

    // A cancelled move keeps them held, as the history keeps them.
    doc.OnNewDocument();
    const auto rec = Record({MakeData(EK_RECEIVED_FROM_SERVER, "A\n"), MakeData(EK_MOVED_TO_SERVER, "q\n")});
    doc.AddHeldFromServer(rec[0]);
    frontEnd.m_nCancelProgressAtCheck = 1;
    EXPECT_FALSE(BuildPlaybackScript(doc));
    frontEnd.m_nCancelProgressAtCheck = 0;
    EXPECT_EQ(Items(doc.m_heldFromServer), std::vector<HistoryEvent*>{rec[0]});
}

// What an earlier session left queued for sending (a peer that stopped
// reading, then End) stays in the send queues after it. Moving the history
// hands those events to the script or destroys them with the earlier
// playback's events: the send queues let go of them too, and a replayed
// event still queued (owned by its queue) is freed once. Then Start PlayBack,
// whose connection start empties the queues, reads no destroyed event (the
// sanitizer build would report it).
TEST_F(PlaybackTest, MovingTheHistoryLeavesNothingQueued)
{
    const auto rec = Record({MakeData(EK_MOVED_TO_SERVER, "q\n"), MakeData(EK_MOVED_TO_CLIENT, "a\n"),
                             MakeStatus(EK_PLAYBACK_START, "m"), MakeData(EK_EDITED_TO_SERVER, "by hand\n"),
                             MakeData(EK_MOVED_TO_CLIENT, "late\n")});
    doc.AddToServer(rec[3]);
    doc.AddToServer(MakeData(EK_PLAYBACK_SENT_TO_SERVER, "replayed\n"));
    doc.AddToClient(rec[4]);
    doc.AddToClient(rec[1]);
    doc.m_bEraseHistory = TRUE;
    ASSERT_TRUE(BuildPlaybackScript(doc));
    EXPECT_TRUE(doc.m_toServer.IsEmpty());
    EXPECT_TRUE(doc.m_toClient.IsEmpty());
    EXPECT_EQ(Items(doc.m_playbackList), (std::vector<HistoryEvent*>{rec[0], rec[1]}));

    // Referring to the history destroys nothing, so nothing need be let go.
    doc.OnNewDocument();
    const auto kept = Record({MakeData(EK_MOVED_TO_SERVER, "q\n"), MakeStatus(EK_PLAYBACK_START, "m"),
                              MakeData(EK_EDITED_TO_SERVER, "by hand\n")});
    doc.AddToServer(kept[2]);
    doc.m_bEraseHistory = FALSE;
    ASSERT_TRUE(BuildPlaybackScript(doc));
    EXPECT_EQ(Items(doc.m_toServer), std::vector<HistoryEvent*>{kept[2]});

    // The whole command, up to a connection start that fails.
    doc.OnNewDocument();
    const auto again = Record({MakeData(EK_MOVED_TO_SERVER, "q\n"), MakeStatus(EK_PLAYBACK_START, "m"),
                               MakeData(EK_EDITED_TO_SERVER, "by hand\n")});
    doc.AddToServer(again[2]);
    doc.m_bConnectToHost = TRUE;
    doc.m_strServerHost = "127.0.0.1";
    doc.m_strServerPort = std::to_string(UnusedPort());
    frontEnd.m_onDoModal = [](UINT, void* pData) {
        auto& data = *static_cast<CPlayBackDlgData*>(pData);
        CPlayBackDlgState state(data);
        state.OnClientRadio();
        data.m_bEraseHistory = TRUE;
        return static_cast<int>(IDOK);
    };
    OnStartPlayback(doc);
    EXPECT_FALSE(doc.m_bConnected);
    EXPECT_TRUE(doc.m_toServer.IsEmpty());
    // The failed start gave the script back to the history.
    EXPECT_TRUE(doc.m_playbackList.IsEmpty());
    ASSERT_EQ(doc.m_history.GetCount(), 2u);
    EXPECT_EQ(Bytes(doc.m_history.GetAt(0)), "q\n");
    EXPECT_EQ(doc.m_history.GetAt(1)->m_kind, static_cast<std::uint32_t>(EK_PLAYBACK_START));
}

// Builds one after another with the setting switched between them, then
// New and Erase All: each event is freed exactly once (the sanitizer build
// would report a leak or a second free).
TEST_F(PlaybackTest, EarlierScriptsAreReleasedByTheirOwnOwnership)
{
    Record({MakeData(EK_MOVED_TO_SERVER, "a\n"), MakeData(EK_MOVED_TO_CLIENT, "A\n")});
    doc.m_bEraseHistory = TRUE;
    ASSERT_TRUE(BuildPlaybackScript(doc));  // the list owns two events
    Record({MakeData(EK_MOVED_TO_SERVER, "b\n")});
    doc.m_bEraseHistory = FALSE;
    ASSERT_TRUE(BuildPlaybackScript(doc));  // frees the two, refers to one
    EXPECT_EQ(doc.m_playbackList.GetCount(), 1u);
    doc.m_bEraseHistory = TRUE;  // changing the setting later must not make the list an owner
    doc.OnEraseAll();
    EXPECT_TRUE(doc.m_playbackList.IsEmpty());

    Record({MakeData(EK_MOVED_TO_SERVER, "c\n")});
    ASSERT_TRUE(BuildPlaybackScript(doc));
    doc.m_bEraseHistory = FALSE;
    doc.OnNewDocument();  // frees the owned script
    EXPECT_TRUE(doc.m_playbackList.IsEmpty());
}

TEST_F(PlaybackTest, CancelLeavesTheHistoryInItsFormerOrder)
{
    for (const BOOL bErase : {TRUE, FALSE}) {
        for (const int nCancelAt : {1, 3, 5}) {
            SCOPED_TRACE(testing::Message() << "erase " << bErase << " cancel at " << nCancelAt);
            doc.OnNewDocument();
            frontEnd.m_progress.clear();
            // A playback left in the list before, owned by it.
            Record({MakeData(EK_MOVED_TO_SERVER, "old\n")});
            doc.m_bEraseHistory = TRUE;
            ASSERT_TRUE(BuildPlaybackScript(doc));

            std::vector<HistoryEvent*> rec;
            for (int i = 0; i < 8; ++i)
                rec.push_back(MakeData(i % 2 ? EK_MOVED_TO_CLIENT : EK_MOVED_TO_SERVER, std::to_string(i)));
            rec[6]->m_kind = EK_PLAYBACK_START;
            for (HistoryEvent* p : rec)
                doc.AddToHistory(p);
            doc.m_bEraseHistory = bErase;
            frontEnd.m_nCancelProgressAtCheck = nCancelAt;
            EXPECT_FALSE(BuildPlaybackScript(doc));
            frontEnd.m_nCancelProgressAtCheck = 0;
            EXPECT_EQ(Items(doc.m_history), rec);
            EXPECT_TRUE(doc.m_playbackList.IsEmpty());
            EXPECT_FALSE(doc.m_bPlaybackOwnsEvents);
            EXPECT_TRUE(frontEnd.m_progress.back().bCancelled);
        }
    }
}

TEST_F(PlaybackTest, ProgressMovesEveryFiftyEvents)
{
    for (int i = 0; i < 120; ++i)
        doc.AddToHistory(MakeData(EK_MOVED_TO_SERVER, "x"));
    ASSERT_TRUE(BuildPlaybackScript(doc));
    ASSERT_EQ(frontEnd.m_progress.size(), 2u);  // the walk and the list's reload
    EXPECT_EQ(frontEnd.m_progress[0].positions, (std::vector<std::int64_t>{0, 50, 100}));
}

// A playback whose script building is cancelled never comes into force: the
// side it would have switched off keeps its setting, and the next start
// (which ends a playback in force) does not overwrite that setting with the
// one kept aside by some earlier playback.
TEST_F(PlaybackTest, CancellingTheBuildLeavesNoPlaybackInForce)
{
    for (const bool bAsClient : {true, false}) {
        SCOPED_TRACE(bAsClient ? "as client" : "as server");
        doc.OnNewDocument();
        Record({MakeData(EK_MOVED_TO_SERVER, "Q\n"), MakeData(EK_MOVED_TO_CLIENT, "R\n"),
                MakeData(EK_MOVED_TO_SERVER, "Q2\n")});
        const std::vector<HistoryEvent*> history = Items(doc.m_history);
        doc.m_bConnectToHost = TRUE;
        doc.m_bAcceptConnections = TRUE;
        frontEnd.m_onDoModal = [bAsClient](UINT, void* pData) {
            auto& data = *static_cast<CPlayBackDlgData*>(pData);
            CPlayBackDlgState state(data);
            bAsClient ? state.OnClientRadio() : state.OnServerRadio();
            return static_cast<int>(IDOK);
        };
        frontEnd.m_nCancelProgressAtCheck = 2;
        OnStartPlayback(doc);
        frontEnd.m_nCancelProgressAtCheck = 0;
        EXPECT_FALSE(doc.m_bConnected);
        EXPECT_FALSE(doc.m_bPlayAsClient);
        EXPECT_FALSE(doc.m_bPlayAsServer);
        EXPECT_TRUE(doc.m_bConnectToHost);
        EXPECT_TRUE(doc.m_bAcceptConnections);
        EXPECT_EQ(Items(doc.m_history), history);  // no marker either
        EXPECT_TRUE(doc.m_playbackList.IsEmpty());

        // What Start Connection does before it starts.
        EndPlaybackMode(doc);
        EXPECT_TRUE(doc.m_bConnectToHost);
        EXPECT_TRUE(doc.m_bAcceptConnections);
    }
    frontEnd.m_onDoModal = nullptr;
}

// --- The reply check ---

TEST_F(PlaybackTest, ReplyCheckComparesAtMostNLeadingBytes)
{
    struct Case {
        int n;
        std::string recorded, received;
        bool bWrong;
    };
    const Case cases[] = {
        {100, "OK 1\n", "OK 1\n", false},
        {100, "OK 1\n", "NO 1\n", true},
        {0, "OK 1\n", "NO 1\n", false},        // 0 compares nothing
        {2, "OK 1\n", "OK 2\n", false},        // only the first two bytes count
        {100, "OK 1 and more\n", "OK", false}, // a shorter piece that agrees with the beginning
        {100, "OK", "OK 1 and more\n", false},
        {100, "OK 1\n", "OX", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.recorded + " / " + c.received + " / " + std::to_string(c.n));
        doc.OnNewDocument();
        doc.m_bClientCheckReply = TRUE;
        doc.m_nClientControlledChars = c.n;
        LoadScript({MakeData(EK_MOVED_TO_CLIENT, c.recorded)}, true);
        HistoryEvent* pReceived = MakeData(0, c.received);
        CheckPlaybackReply(doc, SERVER_SIDE, pReceived);
        EXPECT_EQ(ErrorTexts(doc), c.bWrong ? std::vector<std::string>{kWrongReplyText} : std::vector<std::string>{});
        EXPECT_TRUE(doc.m_playbackList.IsEmpty());
        EXPECT_EQ(pReceived->m_kind, 0u);  // the piece is left alone
        delete pReceived;
    }
}

TEST_F(PlaybackTest, ReplyCheckRecordsTheStepItselfOrACopy)
{
    for (const bool bOwned : {true, false}) {
        SCOPED_TRACE(bOwned);
        doc.OnNewDocument();
        doc.m_bClientCheckReply = TRUE;
        doc.m_nClientControlledChars = 10;
        LoadScript({MakeData(EK_RECEIVED_FROM_SERVER, "R\n")}, bOwned);
        HistoryEvent* pStep = doc.m_playbackList.GetAt(0);
        const std::size_t nBefore = doc.m_history.GetCount();
        HistoryEvent received;
        CheckPlaybackReply(doc, SERVER_SIDE, &received);
        ASSERT_EQ(doc.m_history.GetCount(), nBefore + 1);
        HistoryEvent* pRecorded = doc.m_history.GetAt(nBefore);
        EXPECT_EQ(pRecorded == pStep, bOwned);
        EXPECT_EQ(Bytes(pRecorded), "R\n");
        EXPECT_EQ(pRecorded->m_kind, EK_RECEIVED_FROM_SERVER);
        EXPECT_EQ(pRecorded->m_time, pStep->m_time);
        EXPECT_EQ(frontEnd.GetRows(), std::vector<HistoryEvent*>{pRecorded});
    }
}

TEST_F(PlaybackTest, WaitForAllResponsesTakesOneRecordedReplyPerPiece)
{
    doc.m_bClientCheckReply = TRUE;
    doc.m_nClientControlledChars = 100;
    doc.m_bClientWaitAllResponses = TRUE;
    LoadScript({MakeData(EK_MOVED_TO_SERVER, "Q\n"), MakeData(EK_MOVED_TO_CLIENT, "R1\n"),
                MakeData(EK_MOVED_TO_CLIENT, "R2\n"), MakeData(EK_MOVED_TO_SERVER, "Q2\n")},
               true);
    PlaybackSendStep(doc, SERVER_SIDE);
    HistoryEvent* pSent = doc.TakeToServer();
    ASSERT_NE(pSent, nullptr);
    EXPECT_EQ(Bytes(pSent), "Q\n");
    doc.AddToHistory(pSent);  // as the worker records it when it sends it

    HistoryEvent* pR1 = MakeData(0, "R1\n");
    CheckPlaybackReply(doc, SERVER_SIDE, pR1);
    EXPECT_EQ(doc.m_playbackList.GetCount(), 2u);  // R2 still waits
    HistoryEvent* pR2 = MakeData(0, "R2\n");
    CheckPlaybackReply(doc, SERVER_SIDE, pR2);
    EXPECT_TRUE(ErrorTexts(doc).empty());
    EXPECT_EQ(doc.m_playbackList.GetCount(), 1u);
    PlaybackSendStep(doc, SERVER_SIDE);
    pSent = doc.TakeToServer();
    ASSERT_NE(pSent, nullptr);
    EXPECT_EQ(Bytes(pSent), "Q2\n");
    doc.AddToHistory(pSent);
    delete pR1;
    delete pR2;
}

TEST_F(PlaybackTest, WithoutWaitForAllResponsesOnePieceMeetsEveryReply)
{
    doc.m_bClientCheckReply = TRUE;
    doc.m_nClientControlledChars = 100;
    doc.m_bClientWaitAllResponses = FALSE;
    LoadScript({MakeData(EK_MOVED_TO_CLIENT, "R1\n"), MakeStatus(EK_WARNING, "w"),
                MakeData(EK_MOVED_TO_CLIENT, "R2\n"), MakeData(EK_MOVED_TO_SERVER, "Q2\n")},
               true);
    HistoryEvent* pPiece = MakeData(0, "R1\n");
    CheckPlaybackReply(doc, SERVER_SIDE, pPiece);
    // Compared with both replies (the second differs), then stopped at the
    // request with "Unexpected received message"; the request stays.
    EXPECT_EQ(ErrorTexts(doc), (std::vector<std::string>{kWrongReplyText, kUnexpectedReplyText}));
    ASSERT_EQ(doc.m_playbackList.GetCount(), 1u);
    EXPECT_EQ(Bytes(doc.m_playbackList.GetAt(0)), "Q2\n");
    delete pPiece;
}

TEST_F(PlaybackTest, UnexpectedPiecesAndCheckReplyOff)
{
    LoadScript({MakeStatus(EK_CONNECT_SERVER, "up"), MakeData(EK_MOVED_TO_SERVER, "Q\n"),
                MakeData(EK_MOVED_TO_CLIENT, "R\n")},
               false);
    HistoryEvent piece;
    doc.m_bClientCheckReply = FALSE;
    CheckPlaybackReply(doc, SERVER_SIDE, &piece);
    EXPECT_TRUE(ErrorTexts(doc).empty());
    EXPECT_EQ(doc.m_playbackList.GetCount(), 2u);  // the status went, the request stays

    doc.m_bClientCheckReply = TRUE;
    CheckPlaybackReply(doc, SERVER_SIDE, &piece);
    EXPECT_EQ(ErrorTexts(doc), std::vector<std::string>{kUnexpectedReplyText});
    EXPECT_EQ(doc.m_playbackList.GetCount(), 2u);

    // An exhausted script checks nothing more.
    doc.EmptyPlaybackList();
    CheckPlaybackReply(doc, SERVER_SIDE, &piece);
    EXPECT_EQ(ErrorTexts(doc).size(), 1u);
}

TEST_F(PlaybackTest, ClientSideUsesTheServerGroupAndTheClientKinds)
{
    doc.m_bServerCheckReply = TRUE;
    doc.m_nServerControlledChars = 100;
    doc.m_bClientCheckReply = FALSE;  // the other group's settings play no part
    LoadScript({MakeStatus(EK_CONNECT_CLIENT, "c"), MakeData(EK_MOVED_TO_SERVER, "Q\n"),
                MakeData(EK_MOVED_TO_CLIENT, "R\n"), MakeData(EK_SENT_TO_CLIENT, "S\n"),
                MakeData(EK_EDITED_TO_CLIENT, "E\n"), MakeData(EK_RECEIVED_FROM_CLIENT, "Q2\n")},
               true);
    PlaybackSendStep(doc, CLIENT_SIDE);  // the client speaks first
    EXPECT_TRUE(doc.m_toClient.IsEmpty());
    HistoryEvent* pPiece = MakeData(0, "Qx\n");
    CheckPlaybackReply(doc, CLIENT_SIDE, pPiece);
    EXPECT_EQ(ErrorTexts(doc), std::vector<std::string>{kWrongReplyText});
    PlaybackSendStep(doc, CLIENT_SIDE);
    std::vector<std::string> sent;
    while (HistoryEvent* p = doc.TakeToClient()) {
        EXPECT_EQ(p->m_kind, EK_PLAYBACK_SENT_TO_CLIENT);
        sent.push_back(Bytes(p));
        doc.AddToHistory(p);
    }
    EXPECT_EQ(sent, (std::vector<std::string>{"R\n", "S\n", "E\n"}));
    EXPECT_EQ(doc.m_playbackList.GetCount(), 1u);
    delete pPiece;
}

// --- The send step ---

TEST_F(PlaybackTest, SendStepQueuesCopiesAndLeavesTheHistoryAlone)
{
    LoadScript({MakeStatus(EK_CONNECT_CLIENT, "c"), MakeData(EK_MOVED_TO_SERVER, "a"), MakeData(EK_SENT_TO_SERVER, "b"),
                MakeData(EK_RECEIVED_FROM_CLIENT, "x"), MakeData(EK_EDITED_TO_SERVER, "c"),
                MakeData(EK_RECEIVED_FROM_SERVER, "R")},
               false);
    const std::vector<HistoryEvent*> history = Items(doc.m_history);
    PlaybackSendStep(doc, SERVER_SIDE);
    std::vector<std::string> sent;
    while (HistoryEvent* p = doc.TakeToServer()) {
        EXPECT_EQ(p->m_kind, EK_PLAYBACK_SENT_TO_SERVER);
        EXPECT_EQ(std::count(history.begin(), history.end(), p), 0);
        sent.push_back(Bytes(p));
        doc.AddToHistory(p);
    }
    EXPECT_EQ(sent, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(history[1]->m_kind, EK_MOVED_TO_SERVER);  // the recording keeps its kinds
    ASSERT_EQ(doc.m_playbackList.GetCount(), 1u);
    EXPECT_EQ(Bytes(doc.m_playbackList.GetAt(0)), "R");
}

// A recording made with Verbose on holds each piece twice: the client's
// request as received and moved, then as sent; the server's reply as
// received and moved. Each request goes out once and one piece meets each
// reply; a "Sent to:" record whose piece was not replayed before is data of
// its own and is sent.
TEST_F(PlaybackTest, VerboseRecordingSendsEachPieceOnceAndWaitsForEachReplyOnce)
{
    doc.m_bClientCheckReply = TRUE;
    doc.m_nClientControlledChars = 100;
    doc.m_bClientWaitAllResponses = TRUE;
    LoadScript({MakeData(EK_RECEIVED_FROM_CLIENT, "Q1\n"), MakeData(EK_MOVED_TO_SERVER, "Q1\n"),
                MakeData(EK_SENT_TO_SERVER, "Q1\n"), MakeData(EK_RECEIVED_FROM_SERVER, "R1\n"),
                MakeData(EK_MOVED_TO_CLIENT, "R1\n"), MakeData(EK_SENT_TO_CLIENT, "R1\n"),
                MakeData(EK_RECEIVED_FROM_CLIENT, "Q2\n"), MakeData(EK_MOVED_TO_SERVER, "Q2\n"),
                MakeData(EK_MOVED_TO_SERVER, "Q3\n"), MakeData(EK_SENT_TO_SERVER, "Q2\n"),
                MakeData(EK_SENT_TO_SERVER, "Q3\n"), MakeData(EK_SENT_TO_SERVER, "lone\n"),
                MakeData(EK_RECEIVED_FROM_SERVER, "R2\n"), MakeData(EK_MOVED_TO_CLIENT, "R2\n")},
               true);
    PlaybackSendStep(doc, SERVER_SIDE);
    EXPECT_EQ(TakeSentToServer(), std::vector<std::string>{"Q1\n"});
    HistoryEvent* pR1 = MakeData(0, "R1\n");
    CheckPlaybackReply(doc, SERVER_SIDE, pR1);
    PlaybackSendStep(doc, SERVER_SIDE);
    EXPECT_EQ(TakeSentToServer(), (std::vector<std::string>{"Q2\n", "Q3\n", "lone\n"}));
    HistoryEvent* pR2 = MakeData(0, "R2\n");
    CheckPlaybackReply(doc, SERVER_SIDE, pR2);
    EXPECT_TRUE(ErrorTexts(doc).empty());
    EXPECT_TRUE(doc.m_playbackList.IsEmpty());
    delete pR1;
    delete pR2;
}

// A history that holds a long session recorded without Verbose and then one
// recorded with it: the "Sent to:" records of the later session still go
// with the pieces just replayed, and nothing is sent twice.
TEST_F(PlaybackTest, VerboseSessionAfterALongPlainOneSendsEachPieceOnce)
{
    doc.m_bEraseHistory = TRUE;
    for (int i = 0; i < 600; ++i)
        doc.AddToHistory(MakeData(EK_MOVED_TO_SERVER, "plain " + std::to_string(i) + "\n"));
    Record({MakeData(EK_RECEIVED_FROM_CLIENT, "Q\n"), MakeData(EK_MOVED_TO_SERVER, "Q\n"),
            MakeData(EK_SENT_TO_SERVER, "Q\n"), MakeData(EK_RECEIVED_FROM_SERVER, "R\n"),
            MakeData(EK_MOVED_TO_CLIENT, "R\n")});
    ASSERT_TRUE(BuildPlaybackScript(doc));
    frontEnd.DeleteAllRows();
    PlaybackSendStep(doc, SERVER_SIDE);
    const std::vector<std::string> sent = TakeSentToServer();
    ASSERT_EQ(sent.size(), 601u);
    EXPECT_EQ(sent.front(), "plain 0\n");
    EXPECT_EQ(sent.back(), "Q\n");
    EXPECT_EQ(CountScriptDataSteps(doc, SERVER_SIDE), 2u);  // the reply, as received and as moved
}

// Pieces that arrive in one receive are all checked before the send step
// runs again. In a Verbose recording the "Sent to:" record of each of the
// peer's pieces (and of the program's own piece, when the peer answered it
// before the record was made) lies between those pieces: each is passed over
// as the record of a piece already met, not taken for a piece out of turn.
TEST_F(PlaybackTest, VerboseRecordsBetweenPiecesReceivedAtOnceAreNoUnexpectedPieces)
{
    // As server: a request of two lines, each recorded as received, moved
    // and sent to the server, answered by one reply.
    doc.m_bServerCheckReply = TRUE;
    doc.m_nServerControlledChars = 100;
    doc.m_bServerWaitAllResponses = TRUE;
    LoadScript({MakeData(EK_RECEIVED_FROM_CLIENT, "Q1a\n"), MakeData(EK_MOVED_TO_SERVER, "Q1a\n"),
                MakeData(EK_SENT_TO_SERVER, "Q1a\n"), MakeData(EK_RECEIVED_FROM_CLIENT, "Q1b\n"),
                MakeData(EK_MOVED_TO_SERVER, "Q1b\n"), MakeData(EK_SENT_TO_SERVER, "Q1b\n"),
                MakeData(EK_RECEIVED_FROM_SERVER, "R1\n"), MakeData(EK_MOVED_TO_CLIENT, "R1\n"),
                MakeData(EK_SENT_TO_CLIENT, "R1\n")},
               true);
    PlaybackSendStep(doc, CLIENT_SIDE);
    EXPECT_TRUE(doc.m_toClient.IsEmpty());
    CheckPieces(CLIENT_SIDE, {"Q1a\n", "Q1b\n"});
    PlaybackSendStep(doc, CLIENT_SIDE);
    EXPECT_TRUE(ErrorTexts(doc).empty());
    EXPECT_EQ(doc.m_toClient.GetCount(), 1u);
    EXPECT_TRUE(doc.m_playbackList.IsEmpty());

    // As client: two replies to one request, the request's own "Sent to:"
    // record made after the first reply was recorded.
    doc.OnNewDocument();
    doc.m_bClientCheckReply = TRUE;
    doc.m_nClientControlledChars = 100;
    doc.m_bClientWaitAllResponses = TRUE;
    LoadScript({MakeData(EK_RECEIVED_FROM_CLIENT, "Q\n"), MakeData(EK_MOVED_TO_SERVER, "Q\n"),
                MakeData(EK_RECEIVED_FROM_SERVER, "R1\n"), MakeData(EK_MOVED_TO_CLIENT, "R1\n"),
                MakeData(EK_SENT_TO_SERVER, "Q\n"), MakeData(EK_SENT_TO_CLIENT, "R1\n"),
                MakeData(EK_RECEIVED_FROM_SERVER, "R2\n"), MakeData(EK_MOVED_TO_CLIENT, "R2\n"),
                MakeData(EK_SENT_TO_CLIENT, "R2\n"), MakeData(EK_MOVED_TO_SERVER, "Q2\n")},
               true);
    PlaybackSendStep(doc, SERVER_SIDE);
    EXPECT_EQ(TakeSentToServer(), std::vector<std::string>{"Q\n"});
    CheckPieces(SERVER_SIDE, {"R1\n", "R2\n"});
    PlaybackSendStep(doc, SERVER_SIDE);
    EXPECT_EQ(TakeSentToServer(), std::vector<std::string>{"Q2\n"});
    EXPECT_TRUE(ErrorTexts(doc).empty());
    EXPECT_TRUE(doc.m_playbackList.IsEmpty());

    // A "Sent to:" record of no piece met stays a step the piece did not
    // expect.
    doc.OnNewDocument();
    doc.m_bClientCheckReply = TRUE;
    doc.m_nClientControlledChars = 100;
    LoadScript({MakeData(EK_MOVED_TO_CLIENT, "R1\n"), MakeData(EK_SENT_TO_CLIENT, "other\n"),
                MakeData(EK_MOVED_TO_CLIENT, "R2\n")},
               true);
    CheckPieces(SERVER_SIDE, {"R1\n", "R2\n"});
    EXPECT_EQ(ErrorTexts(doc), std::vector<std::string>{"Unexpected received message"});
}

// In a Verbose recording a status event recorded by another thread can fall
// between a reply's "Received from:" copy and its forwarded piece, most often
// the server's close seen while its last reply was being routed. The two
// still make one reply, met by one piece, and nothing of the script is left.
TEST_F(PlaybackTest, VerboseReplyWithAStatusBetweenItsTwoRecordsIsOneReply)
{
    doc.m_bClientCheckReply = TRUE;
    doc.m_nClientControlledChars = 100;
    doc.m_bClientWaitAllResponses = TRUE;
    LoadScript({MakeData(EK_MOVED_TO_SERVER, "Q1\n"), MakeData(EK_SENT_TO_SERVER, "Q1\n"),
                MakeData(EK_RECEIVED_FROM_SERVER, "R1\n"), MakeStatus(EK_MESSAGE, "message"),
                MakeStatus(EK_CONNECT_CLIENT, "client"), MakeData(EK_MOVED_TO_CLIENT, "R1\n"),
                MakeData(EK_MOVED_TO_SERVER, "quit\n"), MakeData(EK_SENT_TO_SERVER, "quit\n"),
                MakeData(EK_RECEIVED_FROM_SERVER, "bye\n"), MakeStatus(EK_WARNING, "closed by the server"),
                MakeData(EK_MOVED_TO_CLIENT, "bye\n"), MakeStatus(EK_DISCONNECT_SERVER, "closed")},
               true);
    for (const char* pszReply : {"R1\n", "bye\n"}) {
        PlaybackSendStep(doc, SERVER_SIDE);
        TakeSentToServer();
        HistoryEvent* pPiece = MakeData(0, pszReply);
        CheckPlaybackReply(doc, SERVER_SIDE, pPiece);
        delete pPiece;
    }
    PlaybackSendStep(doc, SERVER_SIDE);
    EXPECT_TRUE(ErrorTexts(doc).empty());
    EXPECT_EQ(CountScriptDataSteps(doc, SERVER_SIDE), 0u);
    EXPECT_TRUE(doc.m_playbackList.IsEmpty());

    // A copy whose next own record is another piece stays a reply of its own.
    doc.OnNewDocument();
    doc.m_bClientCheckReply = TRUE;
    doc.m_nClientControlledChars = 100;
    LoadScript({MakeData(EK_RECEIVED_FROM_SERVER, "held\n"), MakeStatus(EK_WARNING, "w"),
                MakeData(EK_RECEIVED_FROM_SERVER, "R\n"), MakeData(EK_MOVED_TO_CLIENT, "R\n")},
               true);
    HistoryEvent* pPiece = MakeData(0, "held\n");
    CheckPlaybackReply(doc, SERVER_SIDE, pPiece);
    delete pPiece;
    EXPECT_TRUE(ErrorTexts(doc).empty());
    EXPECT_EQ(CountScriptDataSteps(doc, SERVER_SIDE), 2u);
}

// A session file may hold any kind value. Each step is matched by its whole
// kind: a value that combines kind bits (or one outside the table) is
// neither data to send, nor a reply, nor a status, so the send step drops it
// and a piece that meets it is unexpected.
TEST_F(PlaybackTest, KindsThatCombineBitsAreNoDataReplyOrStatus)
{
    doc.m_bClientCheckReply = TRUE;
    doc.m_nClientControlledChars = 100;
    LoadScript({MakeData(EK_MOVED_TO_SERVER | EK_MOVED_TO_CLIENT, "both\n"), MakeData(EK_MOVED_TO_SERVER, "Q\n"),
                MakeData(EK_RECEIVED_FROM_SERVER | EK_DGRAM_RECEIVED, "odd\n"), MakeData(EK_MOVED_TO_CLIENT, "R\n"),
                MakeStatus(EK_ERROR | EK_DGRAM_SENT, "odd status"), MakeData(EK_MOVED_TO_CLIENT, "R2\n")},
               true);
    EXPECT_EQ(CountScriptDataSteps(doc, SERVER_SIDE), 3u);
    HistoryEvent* pPiece = MakeData(0, "R\n");
    CheckPlaybackReply(doc, SERVER_SIDE, pPiece);  // the odd step is no reply: unexpected, and it stays
    EXPECT_EQ(ErrorTexts(doc), std::vector<std::string>{kUnexpectedReplyText});
    EXPECT_EQ(doc.m_playbackList.GetCount(), 6u);

    PlaybackSendStep(doc, SERVER_SIDE);  // drops the odd steps, sends the request, stops at the reply
    EXPECT_EQ(TakeSentToServer(), std::vector<std::string>{"Q\n"});
    ASSERT_EQ(doc.m_playbackList.GetCount(), 3u);
    CheckPlaybackReply(doc, SERVER_SIDE, pPiece);
    EXPECT_EQ(ErrorTexts(doc).size(), 1u);
    CheckPlaybackReply(doc, SERVER_SIDE, pPiece);  // the odd status is no status either
    EXPECT_EQ(ErrorTexts(doc), (std::vector<std::string>{kUnexpectedReplyText, kUnexpectedReplyText}));
    EXPECT_EQ(doc.m_playbackList.GetCount(), 2u);
    delete pPiece;
}

TEST_F(PlaybackTest, UnsentReplayEventsAreReleasedAndOthersKept)
{
    LoadScript({MakeData(EK_MOVED_TO_SERVER, "a"), MakeData(EK_MOVED_TO_SERVER, "b"),
                MakeData(EK_RECEIVED_FROM_SERVER, "R")},
               true);
    HistoryEvent* pOwnQueued = MakeData(EK_EDITED_TO_SERVER, "typed");
    doc.AddToHistory(pOwnQueued);
    doc.AddToServer(pOwnQueued);
    PlaybackSendStep(doc, SERVER_SIDE);
    EXPECT_EQ(doc.m_toServer.GetCount(), 3u);
    // The connection ended before the worker sent them.
    doc.ReleaseUnsentReplays();
    EXPECT_EQ(Items(doc.m_toServer), std::vector<HistoryEvent*>{pOwnQueued});
    doc.m_toServer.RemoveAll(false);

    // Erase All and New free what a stopped worker left queued with the rest
    // of the session (the sanitizer build's leak check sees any left over).
    for (const bool bNew : {false, true}) {
        LoadScript({MakeData(EK_MOVED_TO_CLIENT, "x"), MakeData(EK_MOVED_TO_CLIENT, "y")}, bNew);
        PlaybackSendStep(doc, CLIENT_SIDE);
        EXPECT_EQ(doc.m_toClient.GetCount(), 2u);
        if (bNew)
            doc.OnNewDocument();
        else
            doc.OnEraseAll();
        EXPECT_TRUE(doc.m_toClient.IsEmpty());
    }
}

// --- The dialog's enable rules ---

TEST_F(PlaybackTest, DialogEnableRules)
{
    CPlayBackDlgData data;
    data.m_bClientAvailable = TRUE;
    data.m_bServerAvailable = FALSE;
    data.m_bClientChosen = TRUE;
    CPlayBackDlgState state(data);
    EXPECT_FALSE(data.m_bClientChosen);
    EXPECT_TRUE(state.IsEnabled(IDC_PLAY_CLIENT));
    EXPECT_FALSE(state.IsEnabled(IDC_PLAY_SERVER));
    for (UINT nID = IDC_CLIENT_CHECK_REPLY; nID <= IDC_SERVER_END_CONNECTION; ++nID)
        EXPECT_FALSE(state.IsEnabled(nID)) << nID;
    EXPECT_FALSE(state.IsEnabled(IDOK));
    EXPECT_TRUE(state.IsEnabled(IDCANCEL));
    EXPECT_TRUE(state.IsEnabled(IDC_ERASE_HISTORY));

    state.OnClientRadio();
    EXPECT_TRUE(data.m_bClientChosen && !data.m_bServerChosen);
    for (UINT nID : std::initializer_list<UINT>{IDC_CLIENT_CHECK_REPLY, IDC_CLIENT_WAIT_ALL, IDC_CLIENT_END_CONNECTION, IDOK})
        EXPECT_TRUE(state.IsEnabled(nID)) << nID;
    EXPECT_FALSE(state.IsEnabled(IDC_CLIENT_CONTROLLED_CHARS));  // Check Reply is off
    data.m_bClientCheckReply = TRUE;
    EXPECT_TRUE(state.IsEnabled(IDC_CLIENT_CONTROLLED_CHARS));

    state.OnServerRadio();
    EXPECT_TRUE(data.m_bServerChosen && !data.m_bClientChosen);
    for (UINT nID : {IDC_SERVER_CHECK_REPLY, IDC_SERVER_WAIT_ALL, IDC_SERVER_END_CONNECTION})
        EXPECT_TRUE(state.IsEnabled(nID)) << nID;
    for (UINT nID : {IDC_CLIENT_CHECK_REPLY, IDC_CLIENT_CONTROLLED_CHARS, IDC_SERVER_CONTROLLED_CHARS})
        EXPECT_FALSE(state.IsEnabled(nID)) << nID;

    CPlayBackDlgData none;
    CPlayBackDlgState noneState(none);
    EXPECT_FALSE(noneState.IsEnabled(IDC_PLAY_CLIENT) || noneState.IsEnabled(IDC_PLAY_SERVER) ||
                 noneState.IsEnabled(IDOK));
}

// --- The command ---

TEST_F(PlaybackTest, StartEndsTheEarlierPlaybackEvenWhenCancelled)
{
    doc.m_bPlayAsClient = TRUE;
    doc.m_bSavedAcceptConnections = TRUE;
    doc.m_bAcceptConnections = FALSE;
    CPlayBackDlgData seen;
    frontEnd.m_onDoModal = [&](UINT nIDD, void* pData) {
        EXPECT_EQ(nIDD, IDD_PLAYBACK);
        seen = *static_cast<CPlayBackDlgData*>(pData);
        return static_cast<int>(IDCANCEL);
    };
    doc.m_bConnectToHost = TRUE;
    doc.m_bClientWaitAllResponses = FALSE;
    OnStartPlayback(doc);
    EXPECT_FALSE(doc.m_bPlayAsClient);
    EXPECT_TRUE(doc.m_bAcceptConnections);
    EXPECT_TRUE(seen.m_bClientAvailable && seen.m_bServerAvailable);
    EXPECT_FALSE(seen.m_bClientWaitAllResponses);
    EXPECT_TRUE(frontEnd.m_progress.empty());
}

TEST_F(PlaybackTest, StartRecordsTheMarkerWhateverQuietSaysAndKeepsTheRecordingWhenTheStartFails)
{
    const std::uint16_t nDeadPort = UnusedPort();
    Record({MakeData(EK_MOVED_TO_SERVER, "Q\n"), MakeData(EK_MOVED_TO_CLIENT, "R\n")});
    doc.m_bQuiet = TRUE;
    doc.m_bConnectToHost = TRUE;
    doc.m_strServerHost = "127.0.0.1";
    doc.m_strServerPort = std::to_string(nDeadPort);
    doc.m_bAcceptConnections = TRUE;
    doc.m_strListenPort = "0";
    frontEnd.m_onDoModal = [](UINT, void* pData) {
        auto& data = *static_cast<CPlayBackDlgData*>(pData);
        CPlayBackDlgState state(data);
        state.OnClientRadio();
        data.m_bClientCheckReply = TRUE;
        data.m_nClientControlledChars = 7;
        return static_cast<int>(IDOK);
    };
    OnStartPlayback(doc);
    EXPECT_FALSE(doc.m_bConnected);
    EXPECT_TRUE(doc.m_bPlayAsClient);
    EXPECT_FALSE(doc.m_bAcceptConnections);
    EXPECT_TRUE(doc.m_bSavedAcceptConnections);
    EXPECT_TRUE(doc.m_bClientCheckReply);
    EXPECT_EQ(doc.m_nClientControlledChars, 7);
    EXPECT_EQ(frontEnd.m_messages.size(), 1u);  // the failed connection is reported
    // The recording, taken out of the history for the script, is back in
    // it ahead of the marker: a Save keeps it, and the next Start builds the
    // same script again.
    const auto expectRecordingThenMarker = [this](const char* pszWhen) {
        EXPECT_TRUE(doc.m_playbackList.IsEmpty()) << pszWhen;
        ASSERT_EQ(doc.m_history.GetCount(), 3u) << pszWhen;
        EXPECT_EQ(Bytes(doc.m_history.GetAt(0)), "Q\n") << pszWhen;
        EXPECT_EQ(Bytes(doc.m_history.GetAt(1)), "R\n") << pszWhen;
        HistoryEvent* pMarker = doc.m_history.GetAt(2);
        EXPECT_EQ(pMarker->m_kind, EK_PLAYBACK_START) << pszWhen;
        EXPECT_EQ(pMarker->m_strText, "Starting PlayBack as: Client.") << pszWhen;
        EXPECT_EQ(frontEnd.GetRows(), std::vector<HistoryEvent*>(doc.m_history.begin(), doc.m_history.end()))
            << pszWhen;
    };
    expectRecordingThenMarker("after the first start");
    OnStartPlayback(doc);
    expectRecordingThenMarker("after a second start that failed too");

    // The next start brings the switched-off side back first.
    frontEnd.m_onDoModal = nullptr;
    OnStartPlayback(doc);
    EXPECT_TRUE(doc.m_bAcceptConnections);
    EXPECT_FALSE(doc.m_bPlayAsClient);
}

// --- A playback against a live peer ---

struct PlaybackSessionTest : relaytest::RelayFixture {
    // Starts a playback as Client of the history against a listening server
    // peer; the peer's end of the connection in server.
    bool StartAsClient()
    {
        serverListen = relaytest::ListenLocal(nServerPort);
        doc.m_bConnectToHost = TRUE;
        doc.m_strServerHost = "127.0.0.1";
        doc.m_strServerPort = std::to_string(nServerPort);
        frontEnd.m_onDoModal = [](UINT nIDD, void* pData) {
            if (nIDD != IDD_PLAYBACK)
                return static_cast<int>(IDCANCEL);
            auto& data = *static_cast<CPlayBackDlgData*>(pData);
            CPlayBackDlgState state(data);
            state.OnClientRadio();
            return static_cast<int>(IDOK);
        };
        OnStartPlayback(doc);
        if (doc.m_bConnected)
            server = relaytest::AcceptWithin(serverListen.Get(), 5000);
        return doc.m_bConnected && server.Valid();
    }
};

// What the user sends by hand while the server side replays is recorded once,
// by the command that queued it; the worker records only the replayed data as
// it sends it. (Recorded twice, the one event would be freed twice.)
TEST_F(PlaybackSessionTest, DataSentByHandDuringAReplayIsRecordedOnce)
{
    RegisterAllCommands(doc);
    doc.m_bEraseHistory = FALSE;
    doc.AddToHistory(MakeData(EK_MOVED_TO_SERVER, "Q\n"));
    doc.AddToHistory(MakeData(EK_MOVED_TO_CLIENT, "R\n"));
    ASSERT_TRUE(StartAsClient());
    EXPECT_EQ(relaytest::ReadPumping(server.Get(), 2), "Q\n");
    frontEnd.SetEditorText("M[10]");
    ASSERT_TRUE(GetCommandTable().Run(ID_CONNECTION_SEND_TO_SERVER));
    EXPECT_EQ(relaytest::ReadPumping(server.Get(), 2), "M\n");
    ASSERT_TRUE(relaytest::SendAllBlocking(server.Get(), "R\n"));
    // The script empties when the reply has been taken; End then joins the
    // workers, and the history can be read.
    ASSERT_TRUE(relaytest::PumpUntil([&] { return doc.m_playbackList.GetCount() == 0; }));
    EndConnection(doc);
    EXPECT_FALSE(doc.m_bConnected);

    std::vector<HistoryEvent*> history = Items(doc.m_history);
    EXPECT_EQ(Count(EK_PLAYBACK_RECEIVED_FROM_SERVER), 1u);
    EXPECT_EQ(Pieces(EK_EDITED_TO_SERVER), std::vector<std::string>{"M\n"});
    EXPECT_EQ(Pieces(EK_PLAYBACK_SENT_TO_SERVER), std::vector<std::string>{"Q\n"});
    std::sort(history.begin(), history.end());
    EXPECT_EQ(std::adjacent_find(history.begin(), history.end()), history.end()) << "an event recorded twice";
}

// A replay cut short by End against a server that stopped reading: the
// commands that change the history are refused while the replay runs; after
// End the send queue still holds replayed data (owned by the queue) and data
// sent by hand (owned by the history), and Start PlayBack again, Erase All
// and New release each exactly once (the sanitizer build would report a
// destroyed event that is read, freed twice or leaked).
TEST_F(PlaybackSessionTest, CommandsAroundAReplayThatEndCutShort)
{
    RegisterAllCommands(doc);
    CCommandTable& table = GetCommandTable();
    const std::string strPiece(1 << 20, 'x');
    for (int i = 0; i < 24; ++i)
        doc.AddToHistory(MakeData(EK_MOVED_TO_SERVER, strPiece));
    doc.AddToHistory(MakeData(EK_MOVED_TO_CLIENT, "done\n"));
    ASSERT_TRUE(StartAsClient());
    ASSERT_TRUE(relaytest::PumpUntil([&] { return doc.m_playbackList.GetCount() == 1; }));
    for (const UINT nID : {ID_FILE_NEW, ID_FILE_OPEN, ID_FILE_SAVE, ID_FILE_SAVE_AS, ID_EDIT_ERASE_ALL,
                           ID_VIEW_RELOAD, ID_CONNECTION_START, ID_CONNECTION_START_PLAYBACK, ID_CONNECTION_OPTIONS,
                           ID_FILE_SAVE_SPECIAL, ID_DATAGRAM_START})
        EXPECT_FALSE(table.Run(nID)) << nID;
    frontEnd.SetEditorText("by hand[10]");
    ASSERT_TRUE(table.Run(ID_CONNECTION_SEND_TO_SERVER));
    // The server reads nothing: the replayed pieces fill the connection and
    // the rest stays queued behind the one being sent.
    ASSERT_TRUE(table.Run(ID_CONNECTION_END));
    EXPECT_FALSE(doc.m_bConnected);
    EXPECT_FALSE(doc.m_toServer.IsEmpty());
    EXPECT_TRUE(doc.m_bPlayAsClient);

    // Again: the recording before the first marker is nothing now, so the
    // script is empty; the new connection sends nothing that the old one
    // left queued.
    server.Reset();
    serverListen.Reset();
    ASSERT_TRUE(StartAsClient());
    EXPECT_TRUE(doc.m_playbackList.IsEmpty());
    EXPECT_TRUE(doc.m_toServer.IsEmpty());
    EXPECT_TRUE(HasText(EK_PLAYBACK_START, "Starting PlayBack as: Client."));
    EXPECT_EQ(Count(EK_PLAYBACK_START), 1u);
    EXPECT_TRUE(relaytest::SendAllBlocking(server.Get(), "late\n"));
    // Received data is also held; the history is read once End has joined the worker.
    ASSERT_TRUE(relaytest::PumpUntil([&] { return doc.m_heldFromServer.GetCount() == 1; }));
    ASSERT_TRUE(table.Run(ID_CONNECTION_END));
    EXPECT_EQ(Pieces(EK_PLAYBACK_RECEIVED_FROM_SERVER), std::vector<std::string>{"late\n"});
    EXPECT_EQ(Count(EK_PLAYBACK_SENT_TO_SERVER), 0u);

    EXPECT_TRUE(table.Run(ID_EDIT_ERASE_ALL));
    EXPECT_TRUE(doc.m_history.IsEmpty());
    EXPECT_TRUE(doc.m_heldFromServer.IsEmpty());
    EXPECT_TRUE(table.Run(ID_FILE_NEW));
    EXPECT_FALSE(doc.m_bPlayAsClient);
}

// "End connection" closes the server side where the recording's connection
// closed: after the data the recording sent before it. A server that reads
// more slowly than the replay queues still gets all of it before the close,
// and no send is recorded as cut short.
TEST_F(PlaybackSessionTest, RecordedCloseComesAfterTheDataQueuedBeforeIt)
{
    const std::string strPiece(1 << 20, 'x');
    constexpr int kPieces = 24;
    for (int i = 0; i < kPieces; ++i)
        doc.AddToHistory(MakeData(EK_MOVED_TO_SERVER, strPiece));
    doc.AddToHistory(MakeStatus(EK_DISCONNECT_SERVER, "closed"));
    doc.m_bClientEndConnection = TRUE;
    InstallPlaybackHooks();
    ASSERT_TRUE(StartAsClient());
    // The server reads in small steps until the relay closes the connection.
    std::size_t nReceived = 0;
    std::thread reader([&] {
        const int fd = server.Get();
        std::vector<char> buf(64 * 1024);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < end) {
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, 100) <= 0)
                continue;
            const ssize_t r = ::recv(fd, buf.data(), buf.size(), 0);
            if (r <= 0)
                break;
            nReceived += static_cast<std::size_t>(r);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    EXPECT_TRUE(relaytest::PumpUntil([&] { return !doc.m_bConnected; }, 30000));
    reader.join();
    EXPECT_EQ(nReceived, strPiece.size() * kPieces);
    EXPECT_EQ(Count(EK_PLAYBACK_SENT_TO_SERVER), static_cast<std::size_t>(kPieces));
    EXPECT_TRUE(ErrorTexts(doc).empty());
    EXPECT_TRUE(doc.m_playbackList.IsEmpty());
}

}  // namespace
