// A relayed session with the main window as the program's front end: the
// workers hand their rows to the history list from their own threads while
// the window thread keeps running, and the list ends up showing the history
// exactly, in order.

#include <gtest/gtest.h>

#include <QApplication>
#include <QStandardPaths>
#include <QTimer>
#include <memory>
#include <string>

#include "GuiTestUtil.h"
#include "../core/RelayTestUtil.h"
#include "app/CommandTable.h"
#include "app/gui/DialogRegistry.h"
#include "app/gui/MainFrame.h"
#include "relay/Relay.h"
#include "session/MidwireDoc.h"
#include "views/gui/MidwireListView.h"

using namespace relaytest;

namespace {

// A document and its main window with every command registered; the texts of
// the message boxes the window shows are kept, each answered with OK.
struct CDesktopSession {
    CMidwireDoc doc;
    CMainFrame frame{doc};
    std::vector<std::string> messages;

    CDesktopSession()
    {
        frame.m_onMessageBox = [this](const std::string& strText, UINT) {
            messages.push_back(strText);
            return IDOK;
        };
        doc.OnNewDocument();
        RegisterAllCommands(doc);
        frame.RegisterWindowCommands();
    }
};

}  // namespace

TEST(RelayDesktopTest, RowsOfARelayedExchangeReachTheListInHistoryOrder)
{
    guitest::EnsureApplication();
    RegisterAllDialogs();
    CDesktopSession session;
    CMidwireDoc& doc = session.doc;
    CMainFrame& frame = session.frame;
    std::vector<std::string>& messages = session.messages;

    std::uint16_t nServerPort = 0;
    Fd serverListen = ListenLocal(nServerPort);
    ASSERT_TRUE(serverListen.Valid());
    const std::uint16_t nListenPort = FreePort();
    doc.m_bAcceptConnections = TRUE;
    doc.m_bConnectToHost = TRUE;
    doc.m_strListenPort = std::to_string(nListenPort);
    doc.m_strServerHost = "127.0.0.1";
    doc.m_strServerPort = std::to_string(nServerPort);
    doc.m_nClientTimeWait = 5;
    doc.m_nServerTimeWait = 5;

    // The client connects while the window shows its wait for it.
    Fd client;
    QTimer::singleShot(50, [&] { client = ConnectLocal(nListenPort); });
    ASSERT_TRUE(StartConnection(doc)) << (messages.empty() ? std::string() : messages.front());
    ASSERT_TRUE(client.Valid());
    Fd server = AcceptWithin(serverListen.Get(), 5000);
    ASSERT_TRUE(server.Valid());

    // Requests and answers in turn, each line its own piece, so that both
    // workers record rows while the window thread handles them.
    constexpr int kExchanges = 200;
    std::string strRequests, strAnswers;
    for (int i = 0; i < kExchanges; ++i) {
        const std::string strRequest = "GET /item/" + std::to_string(i) + "\n";
        const std::string strAnswer = "200 item " + std::to_string(i) + " " + std::string(static_cast<std::size_t>(i % 50), 'x') + "\n";
        ASSERT_TRUE(SendAllBlocking(client.Get(), strRequest));
        ASSERT_EQ(ReadPumping(server.Get(), strRequest.size()), strRequest) << i;
        ASSERT_TRUE(SendAllBlocking(server.Get(), strAnswer));
        ASSERT_EQ(ReadPumping(client.Get(), strAnswer.size()), strAnswer) << i;
        strRequests += strRequest;
        strAnswers += strAnswer;
    }
    client.Reset();
    server.Reset();
    ASSERT_TRUE(PumpUntil([&] { return !doc.m_bConnected; }, 20000));
    JoinRelayWorkers(doc);

    CEventListModel& model = frame.ListView()->Model();
    // A peer's close is recorded as a warning that the list shows only when
    // it is next rebuilt; every other event has its row, in history order.
    std::vector<const HistoryEvent*> shown;
    for (const HistoryEvent* pEvent : doc.m_history)
        if (pEvent->m_kind != EK_WARNING)
            shown.push_back(pEvent);
    ASSERT_TRUE(PumpUntil([&] { return static_cast<std::size_t>(model.rowCount()) >= shown.size(); }, 10000));
    ASSERT_EQ(static_cast<std::size_t>(model.rowCount()), shown.size());
    std::string strMovedToServer, strMovedToClient;
    int nRow = 0;
    for (const HistoryEvent* pEvent : shown) {
        ASSERT_EQ(model.EventAt(nRow), pEvent) << "row " << nRow;
        if (pEvent->m_kind == EK_MOVED_TO_SERVER)
            strMovedToServer += Bytes(*pEvent);
        else if (pEvent->m_kind == EK_MOVED_TO_CLIENT)
            strMovedToClient += Bytes(*pEvent);
        ++nRow;
    }
    EXPECT_EQ(strMovedToServer, strRequests);
    EXPECT_EQ(strMovedToClient, strAnswers);
    // A piece's row shows its bytes in display form.
    for (int r = 0; r < model.rowCount(); ++r) {
        if (model.EventAt(r)->m_kind == EK_MOVED_TO_SERVER) {
            EXPECT_EQ(model.data(model.index(r, CEventListModel::COL_DATA), Qt::DisplayRole).toString(), QStringLiteral("GET /item/0[10]"));
            break;
        }
    }
    EXPECT_TRUE(messages.empty()) << messages.front();
    ShutdownRelay(doc);
    GetCommandTable().Clear();
}

// A worker that End gave up waiting for (no retries) still records its last
// events and hands their rows to the window: the window, once gone, must
// leave no such worker behind that could reach it.
TEST(RelayDesktopTest, DestroyedWindowLeavesNoWorkerThatEndGaveUpOn)
{
    guitest::EnsureApplication();
    RegisterAllDialogs();
    CMidwireDoc doc;
    for (int nRound = 0; nRound < 3; ++nRound) {
        auto pFrame = std::make_unique<CMainFrame>(doc);
        std::vector<std::string> messages;
        pFrame->m_onMessageBox = [&](const std::string& s, UINT) {
            messages.push_back(s);
            return IDOK;
        };
        if (nRound == 0)
            doc.OnNewDocument();
        std::uint16_t nServerPort = 0;
        Fd serverListen = ListenLocal(nServerPort);
        ASSERT_TRUE(serverListen.Valid());
        // Only the server side: no wait for a client, no dialog.
        doc.m_bConnectToHost = TRUE;
        doc.m_strServerHost = "127.0.0.1";
        doc.m_strServerPort = std::to_string(nServerPort);
        doc.m_nServerWaitRetries = 0;
        ASSERT_TRUE(StartConnection(doc)) << (messages.empty() ? std::string() : messages.front());
        Fd server = AcceptWithin(serverListen.Get(), 5000);
        ASSERT_TRUE(server.Valid());
        // A tail without a break character stays pending until the worker ends.
        ASSERT_TRUE(SendAllBlocking(server.Get(), "held\ntail"));
        ASSERT_TRUE(PumpUntil([&] { return doc.m_heldFromServer.GetCount() >= static_cast<std::size_t>(nRound + 1); }));
        EndConnection(doc);
        ASSERT_FALSE(doc.m_bConnected);
        pFrame.reset();
        std::size_t nTails = 0, nClosed = 0;
        for (const HistoryEvent* pEvent : doc.m_history) {
            nTails += pEvent->m_kind == EK_RECEIVED_FROM_SERVER && Bytes(*pEvent) == "tail";
            nClosed += pEvent->m_kind == EK_DISCONNECT_SERVER;
        }
        EXPECT_EQ(nTails, static_cast<std::size_t>(nRound + 1));
        EXPECT_EQ(nClosed, static_cast<std::size_t>(nRound + 1));
        EXPECT_TRUE(messages.empty()) << messages.front();
    }
    ShutdownRelay(doc);
    GetCommandTable().Clear();
}

// Closing the window ends a keep-alive session for good: the session's End
// must not go on to serve the next waiting client or put up the wait for
// one, and no client is taken once the window has closed.
TEST(RelayDesktopTest, ClosingTheWindowEndsKeepAliveServing)
{
    guitest::EnsureApplication();
    RegisterAllDialogs();
    for (const bool bClientWaiting : {true, false}) {
        SCOPED_TRACE(bClientWaiting ? "a client waits" : "no client waits");
        CDesktopSession session;
        CMidwireDoc& doc = session.doc;
        CMainFrame& frame = session.frame;
        std::vector<std::string>& messages = session.messages;
        frame.show();
        const std::uint16_t nListenPort = FreePort();
        doc.m_bAcceptConnections = TRUE;
        doc.m_bKeepAlive = TRUE;
        doc.m_strListenPort = std::to_string(nListenPort);
        doc.m_nClientTimeWait = 5;

        Fd first;
        QTimer::singleShot(50, [&] { first = ConnectLocal(nListenPort); });
        ASSERT_TRUE(StartConnection(doc)) << (messages.empty() ? std::string() : messages.front());
        Fd second;
        if (bClientWaiting) {
            second = ConnectLocal(nListenPort);
            ASSERT_TRUE(second.Valid());
            ASSERT_TRUE(PumpUntil([&] { return doc.m_pendingAccepts.size() == 1; }));
        }
        // A wait for a client shown while the window closes is answered with
        // Cancel and noted, so that the test never waits on it.
        bool bWaitShown = false;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (QWidget* pModal = QApplication::activeModalWidget()) {
                bWaitShown = true;
                pModal->close();
            }
        });
        watch.start(20);
        EXPECT_TRUE(frame.close());
        watch.stop();
        EXPECT_FALSE(bWaitShown);
        EXPECT_FALSE(doc.m_bConnected);
        EXPECT_TRUE(messages.empty()) << messages.front();
        std::size_t nConnects = 0;
        for (const HistoryEvent* pEvent : doc.m_history)
            nConnects += pEvent->m_kind == EK_CONNECT_CLIENT;
        EXPECT_EQ(nConnects, 1u);
        // The waiting client is let go, and the port no longer listens.
        if (bClientWaiting) {
            EXPECT_TRUE(ClosedPumping(second.Get(), 5000));
        }
        EXPECT_TRUE(doc.m_pendingAccepts.empty());
        EXPECT_FALSE(ConnectLocal(nListenPort).Valid());
        ShutdownRelay(doc);
        GetCommandTable().Clear();
    }
}
