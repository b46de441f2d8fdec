// A relayed session with the main window as the program's front end: the
// workers hand their rows to the history list from their own threads while
// the window thread keeps running, and the list ends up showing the history
// exactly, in order.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "GuiTestUtil.h"
#include "../core/RelayTestUtil.h"
#include "../core/TestUtil.h"
#include "app/CommandTable.h"
#include "app/gui/DialogRegistry.h"
#include "app/gui/MainFrame.h"
#include "app/gui/MenuTable.h"
#include "datagram/DatagramRelay.h"
#include "editor/EditorAccess.h"
#include "playback/Playback.h"
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

// A UDP port that nothing is bound to at the moment.
std::uint16_t FreeUdpPort()
{
    Fd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr = LocalAddr(0);
    socklen_t len = sizeof addr;
    if (::bind(s.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(s.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

// Reads from a blocking socket until n bytes arrived, the peer closed or
// nothing came for nIdleMs.
std::string ReadBlocking(int fd, std::size_t n, int nIdleMs = 20000)
{
    std::string out;
    char buf[16384];
    while (out.size() < n) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, nIdleMs) <= 0)
            break;
        const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(r));
    }
    return out;
}

// Both sides of the relay on loopback: the client comes to nListenPort, the
// server listens on nServerPort; short close waits keep the tests quick.
void SetRelayBetweenLocalPeers(CMidwireDoc& doc, std::uint16_t nListenPort, std::uint16_t nServerPort)
{
    doc.m_bAcceptConnections = TRUE;
    doc.m_bConnectToHost = TRUE;
    doc.m_strListenPort = std::to_string(nListenPort);
    doc.m_strServerHost = "127.0.0.1";
    doc.m_strServerPort = std::to_string(nServerPort);
    doc.m_nClientTimeWait = 5;
    doc.m_nServerTimeWait = 5;
}


// Whether a command should be enabled with the document as it stands: the
// enable rules of the command table, written out once more from the
// document's run states, held data and the editor. Undo, Cut, Copy and
// Paste follow the editor and the recent files their list: not covered.
bool RuleSays(UINT nID, CMidwireDoc& doc)
{
    const bool bIdle = !doc.m_bConnected && !doc.m_bDatagramActive;
    const bool bText = EditorHasText();
    switch (nID) {
    case ID_FILE_NEW: case ID_FILE_OPEN: case ID_FILE_SAVE: case ID_FILE_SAVE_AS:
    case ID_FILE_PRINT: case ID_FILE_PRINT_EDITOR: case ID_EDIT_ERASE_ALL:
    case ID_CONNECTION_START: case ID_CONNECTION_START_PLAYBACK: case ID_CONNECTION_OPTIONS:
    case ID_DATAGRAM_START: case ID_DATAGRAM_OPTIONS: case ID_VIEW_RELOAD:
        return bIdle;
    case ID_FILE_SAVE_SPECIAL:
        return bIdle && !doc.m_history.IsEmpty();
    case ID_FILE_SAVE_FROM_EDITOR: case ID_EDIT_ERASE_EDITOR: case ID_MIME_ANALISYS: case ID_MIME_DECODING:
    case ID_MIME_ENCODE_BASE64: case ID_MIME_DECODE_BASE64: case ID_MIME_ENCODE_QP: case ID_MIME_DECODE_QP:
        return bText;
    case ID_APP_EXIT:
        return !doc.m_bConnected;
    case ID_CONNECTION_END:
        return doc.m_bConnected && !doc.m_bDatagramActive;
    case ID_CONNECTION_GET_FROM_CLIENT:
        return doc.m_bConnected && doc.m_bAcceptConnections && !doc.m_heldFromClient.IsEmpty();
    case ID_CONNECTION_GET_FROM_SERVER:
        return doc.m_bConnected && doc.m_bConnectToHost && !doc.m_heldFromServer.IsEmpty();
    case ID_CONNECTION_SEND_TO_CLIENT:
        return doc.m_bConnected && doc.m_bAcceptConnections && bText;
    case ID_CONNECTION_SEND_TO_SERVER:
        return doc.m_bConnected && doc.m_bConnectToHost && bText;
    case ID_CONNECTION_STOP_WAIT_CLIENT:
        return doc.m_bConnected && doc.m_bAcceptConnections && doc.m_bHoldClientData;
    case ID_CONNECTION_STOP_WAITING_SERVER:
        return doc.m_bConnected && doc.m_bConnectToHost && doc.m_bHoldServerData;
    case ID_DATAGRAM_SEND:
        return doc.m_bDatagramActive && !doc.m_strSendPort.empty();
    case ID_DATAGRAM_SEND_TO: case ID_DATAGRAM_STOP:
        return doc.m_bDatagramActive && !doc.m_bConnected;
    default:
        return true;  // Load to Editor, file MIME commands, print setup, bars, About, panes
    }
}

// What a command that is refused must leave as it was.
struct CSessionMark {
    BOOL bConnected, bDatagramActive;
    std::size_t nHistory, nHeldFromClient, nHeldFromServer;
    std::string strEditor, strPath;
    bool bToolBar, bStatusBar;

    static CSessionMark Of(CMidwireDoc& doc, CMainFrame& frame)
    {
        return {doc.m_bConnected, doc.m_bDatagramActive, doc.m_history.GetCount(), doc.m_heldFromClient.GetCount(),
                doc.m_heldFromServer.GetCount(), frame.GetEditorText(), doc.m_strPathName,
                frame.ToolBar()->isVisible(), frame.statusBar()->isVisible()};
    }
};

// Checks every command of the menus and the toolbar against its rule in the
// session's present state; then runs each disabled one as a menu item and
// through its accelerator, and finds nothing changed and no dialog or
// message shown. The message boxes the window would show are counted.
void CheckEveryCommand(const char* pszState, CMidwireDoc& doc, CMainFrame& frame,
                       const std::vector<std::string>& messages)
{
    SCOPED_TRACE(pszState);
    frame.UpdateCommandStates();
    std::vector<UINT> disabled;
    for (const MenuDef& menu : MainMenus()) {
        for (const MenuItemDef& item : menu.items) {
            const UINT nID = item.nID;
            if (!nID || nID == ID_FILE_MRU_FILE1 || (nID >= ID_EDIT_COPY && nID <= ID_EDIT_UNDO))
                continue;
            QAction* pAction = frame.Action(nID);
            ASSERT_NE(pAction, nullptr) << item.pszText;
            EXPECT_EQ(pAction->isEnabled(), RuleSays(nID, doc)) << item.pszText;
            if (!pAction->isEnabled())
                disabled.push_back(nID);
        }
    }
    for (UINT nID : {ID_VIEW_TOOLBAR, ID_VIEW_STATUS_BAR}) {
        EXPECT_TRUE(frame.Action(nID)->isChecked()) << nID;
    }
    const CSessionMark before = CSessionMark::Of(doc, frame);
    const std::size_t nMessages = messages.size();
    // A dialog that comes up is closed and counted.
    int nDialogs = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (QWidget* pModal = QApplication::activeModalWidget()) {
            ++nDialogs;
            pModal->close();
        }
    });
    watch.start(10);
    for (UINT nID : disabled) {
        EXPECT_FALSE(frame.RunCommand(nID)) << nID;
        frame.Action(nID)->trigger();
    }
    // The accelerators of the disabled commands, pressed in the window.
    frame.show();
    frame.activateWindow();
    QApplication::setActiveWindow(&frame);
    frame.ListView()->setFocus();
    QApplication::processEvents();
    for (const AcceleratorDef& acc : Accelerators()) {
        if (std::find(disabled.begin(), disabled.end(), acc.nID) == disabled.end())
            continue;
        const QKeySequence keys(QString::fromLatin1(acc.pszKeys));
        QTest::keySequence(&frame, keys);
        QApplication::processEvents();
    }
    watch.stop();
    EXPECT_EQ(nDialogs, 0);
    EXPECT_EQ(messages.size(), nMessages) << (messages.empty() ? std::string() : messages.back());
    // A running relay goes on recording meanwhile: the history only grows.
    const CSessionMark after = CSessionMark::Of(doc, frame);
    EXPECT_EQ(after.bConnected, before.bConnected);
    EXPECT_EQ(after.bDatagramActive, before.bDatagramActive);
    EXPECT_GE(after.nHistory, before.nHistory);
    EXPECT_EQ(after.nHeldFromClient, before.nHeldFromClient);
    EXPECT_EQ(after.nHeldFromServer, before.nHeldFromServer);
    EXPECT_EQ(after.strEditor, before.strEditor);
    EXPECT_EQ(after.strPath, before.strPath);
    EXPECT_EQ(after.bToolBar, before.bToolBar);
    EXPECT_EQ(after.bStatusBar, before.bStatusBar);
}

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
    SetRelayBetweenLocalPeers(doc, nListenPort, nServerPort);

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

// Both relay workers and the datagram relay record at once while the window
// is painted, rows are selected and read back and the list scrolls; the
// window is closed with the session still running. Every row reaches the
// list once, in history order. The peers are threads of the test.
TEST(RelayDesktopTest, RelayAndDatagramRowsStreamingTogetherMatchTheHistory)
{
    guitest::EnsureApplication();
    RegisterAllDialogs();
    CDesktopSession session;
    CMidwireDoc& doc = session.doc;
    CMainFrame& frame = session.frame;
    std::vector<std::string>& messages = session.messages;
    frame.show();
    CMidwireListView* pList = frame.ListView();
    CEventListModel& model = pList->Model();

    // The datagram relay first: its Bind dialog is answered with OK.
    const std::uint16_t nDgramPort = FreeUdpPort();
    ASSERT_NE(nDgramPort, 0);
    doc.m_strDgramPort = std::to_string(nDgramPort);
    QTimer::singleShot(0, [] {
        if (auto* pDialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
            pDialog->accept();
    });
    OnDatagramStart(doc);
    ASSERT_TRUE(doc.m_bDatagramActive) << (messages.empty() ? std::string() : messages.front());

    std::uint16_t nServerPort = 0;
    Fd serverListen = ListenLocal(nServerPort);
    ASSERT_TRUE(serverListen.Valid());
    const std::uint16_t nListenPort = FreePort();
    SetRelayBetweenLocalPeers(doc, nListenPort, nServerPort);

    // The client connects from its own thread while the window waits for it.
    Fd client;
    std::thread connector([&] {
        for (int i = 0; i < 500 && !client.Valid(); ++i) {
            client = ConnectLocal(nListenPort);
            if (!client.Valid())
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const BOOL bStarted = StartConnection(doc);
    connector.join();
    ASSERT_TRUE(bStarted) << (messages.empty() ? std::string() : messages.front());
    ASSERT_TRUE(client.Valid());
    Fd server = AcceptWithin(serverListen.Get(), 5000);
    ASSERT_TRUE(server.Valid());

    constexpr int kLines = 1500;
    constexpr int kDatagrams = 300;
    std::string strRequests, strAnswers;
    for (int i = 0; i < kLines; ++i) {
        strRequests += "GET /item/" + std::to_string(i) + "\n";
        strAnswers += "200 item " + std::to_string(i) + " " + std::string(static_cast<std::size_t>(i % 40), 'x') + "\n";
    }
    std::atomic<int> nPeersDone{0};
    std::string strServerGot, strClientGot;
    std::thread clientWriter([&] {
        for (int i = 0; i < kLines; i += 50) {
            const std::size_t nFrom = strRequests.find("GET /item/" + std::to_string(i) + "\n");
            const std::size_t nTo =
                i + 50 < kLines ? strRequests.find("GET /item/" + std::to_string(i + 50) + "\n") : strRequests.size();
            if (!SendAllBlocking(client.Get(), strRequests.substr(nFrom, nTo - nFrom)))
                break;
        }
        ++nPeersDone;
    });
    std::thread clientReader([&] {
        strClientGot = ReadBlocking(client.Get(), strAnswers.size());
        ++nPeersDone;
    });
    std::thread serverPeer([&] {
        // Answers each request as it arrives, a line at a time.
        std::size_t nAnswered = 0;
        std::string strLine;
        char buf[4096];
        while (nAnswered < static_cast<std::size_t>(kLines)) {
            pollfd pfd{server.Get(), POLLIN, 0};
            if (::poll(&pfd, 1, 20000) <= 0)
                break;
            const ssize_t r = ::recv(server.Get(), buf, sizeof buf, 0);
            if (r <= 0)
                break;
            strServerGot.append(buf, static_cast<std::size_t>(r));
            while (nAnswered < static_cast<std::size_t>(kLines) &&
                   std::count(strServerGot.begin(), strServerGot.end(), '\n') > static_cast<std::ptrdiff_t>(nAnswered)) {
                const std::string strAnswer =
                    "200 item " + std::to_string(nAnswered) + " " + std::string(nAnswered % 40, 'x') + "\n";
                if (!SendAllBlocking(server.Get(), strAnswer))
                    break;
                ++nAnswered;
            }
        }
        ++nPeersDone;
    });
    std::thread dgramSender([&] {
        Fd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(nDgramPort);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < kDatagrams; ++i) {
            const std::string strDatagram = "datagram " + std::to_string(i);
            ::sendto(s.Get(), strDatagram.data(), strDatagram.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                     sizeof addr);
            if (i % 20 == 19)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ++nPeersDone;
    });

    // The window thread handles its messages and uses the list meanwhile.
    for (int nTurn = 0; nTurn < 20000 && nPeersDone.load() < 4; ++nTurn) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        const int nRows = model.rowCount();
        if (nRows > 0) {
            switch (nTurn % 4) {
            case 0:
                pList->selectionModel()->select(model.index(nTurn % nRows, 0),
                                                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
                break;
            case 1:
                for (HistoryEvent* pEvent : frame.GetSelectedEvents())
                    EXPECT_NE(pEvent, nullptr);
                break;
            case 2: pList->scrollToTop(); break;
            default: pList->viewport()->repaint(); break;
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    clientWriter.join();
    clientReader.join();
    serverPeer.join();
    dgramSender.join();
    EXPECT_EQ(strServerGot, strRequests);
    EXPECT_EQ(strClientGot, strAnswers);
    // Datagrams still waiting are taken before the window closes.
    Pump(100);

    // The menus never let both run at once, so neither End nor Stop is
    // enabled now: the datagram relay stops first, and closing the window
    // ends the session.
    OnDatagramStop(doc);
    EXPECT_TRUE(frame.close());
    EXPECT_FALSE(doc.m_bConnected);
    EXPECT_FALSE(doc.m_bDatagramActive);

    std::vector<const HistoryEvent*> shown;
    std::vector<std::string> datagrams;
    for (const HistoryEvent* pEvent : doc.m_history) {
        if (pEvent->m_kind != EK_WARNING)
            shown.push_back(pEvent);
        if (pEvent->m_kind == EK_DGRAM_RECEIVED)
            datagrams.push_back(Bytes(*pEvent));
    }
    ASSERT_TRUE(PumpUntil([&] { return static_cast<std::size_t>(model.rowCount()) >= shown.size(); }, 20000));
    ASSERT_EQ(static_cast<std::size_t>(model.rowCount()), shown.size());
    for (std::size_t r = 0; r < shown.size(); ++r)
        ASSERT_EQ(model.EventAt(static_cast<int>(r)), shown[r]) << "row " << r << ", kind " << shown[r]->m_kind;
    // Datagrams come in the order sent (loopback may drop some when its
    // queue is full, never reorder them).
    ASSERT_FALSE(datagrams.empty());
    int nLast = -1;
    for (const std::string& strDatagram : datagrams) {
        const int n = std::stoi(strDatagram.substr(9));
        EXPECT_GT(n, nLast);
        nLast = n;
    }
    EXPECT_TRUE(messages.empty()) << messages.front();
    ShutdownRelay(doc);
    GetCommandTable().Clear();
}

// Every command of the menus, toolbar and accelerators in each state a user
// reaches: idle with and without history and editor text, a relay with both
// sides, with one side only and with data held for Get, a playback, the
// datagram relay bound with and without a send port. Each command is
// enabled exactly by its rule, and one that is disabled does nothing when it
// is run anyway, from its menu item or its accelerator.
TEST(RelayDesktopTest, EveryCommandFollowsItsRuleInEveryState)
{
    guitest::EnsureApplication();
    RegisterAllDialogs();
    CDesktopSession session;
    CMidwireDoc& doc = session.doc;
    CMainFrame& frame = session.frame;
    std::vector<std::string>& messages = session.messages;
    frame.show();

    CheckEveryCommand("a new session", doc, frame, messages);

    doc.RecordEvent(testutil::MakeEvent(EK_MESSAGE, "", "one"), FALSE);
    doc.RecordEvent(testutil::MakeEvent(EK_MESSAGE, "", "two"), FALSE);
    doc.RecordEvent(testutil::MakeEvent(EK_MESSAGE, "", "three"), FALSE);
    frame.ListView()->selectRow(0);
    CheckEveryCommand("rows, one selected", doc, frame, messages);
    frame.ListView()->selectAll();
    frame.SetEditorText("hello\n");
    CheckEveryCommand("rows all selected, editor text", doc, frame, messages);

    // Waiting for the client: the wait shuts out the window's commands, and
    // Escape gives up the wait and the listening port with it.
    {
        const std::uint16_t nWaitPort = FreePort();
        doc.m_bAcceptConnections = TRUE;
        doc.m_bConnectToHost = FALSE;
        doc.m_strListenPort = std::to_string(nWaitPort);
        const std::size_t nHistory = doc.m_history.GetCount();
        bool bModal = false, bKeysShutOut = false;
        QTimer::singleShot(50, [&] {
            QWidget* pWait = QApplication::activeModalWidget();
            if (!pWait)
                return;
            bModal = pWait->windowModality() == Qt::ApplicationModal;
            QTest::keyClick(&frame, Qt::Key_N, Qt::ControlModifier);
            QTest::keyClick(&frame, Qt::Key_F6);
            bKeysShutOut = QApplication::activeModalWidget() == pWait && doc.m_history.GetCount() >= nHistory &&
                           QApplication::focusWidget() && QApplication::focusWidget()->window() == pWait;
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : pWait, Qt::Key_Escape);
        });
        EXPECT_FALSE(StartConnection(doc));
        EXPECT_TRUE(bModal);
        EXPECT_TRUE(bKeysShutOut);  // nothing erased, the focus stays in the wait
        EXPECT_FALSE(doc.m_bConnected);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0], "Error accepting a connection from port " + doc.m_strListenPort +
                                   ".\nListening has been stopped.");
        messages.clear();
        EXPECT_FALSE(ConnectLocal(nWaitPort).Valid());
        CheckEveryCommand("after a wait given up", doc, frame, messages);
    }

    // A relay with both sides, the client's data held for Get.
    std::uint16_t nServerPort = 0;
    Fd serverListen = ListenLocal(nServerPort);
    ASSERT_TRUE(serverListen.Valid());
    const std::uint16_t nListenPort = FreePort();
    SetRelayBetweenLocalPeers(doc, nListenPort, nServerPort);
    doc.m_bHoldClientData = TRUE;
    Fd client;
    QTimer::singleShot(50, [&] { client = ConnectLocal(nListenPort); });
    ASSERT_TRUE(StartConnection(doc)) << (messages.empty() ? std::string() : messages.front());
    ASSERT_TRUE(client.Valid());
    Fd server = AcceptWithin(serverListen.Get(), 5000);
    ASSERT_TRUE(server.Valid());
    CheckEveryCommand("both sides, client held, nothing held yet", doc, frame, messages);
    ASSERT_TRUE(SendAllBlocking(client.Get(), "held\n"));
    ASSERT_TRUE(PumpUntil([&] { return !doc.m_heldFromClient.IsEmpty(); }));
    CheckEveryCommand("both sides, data held from the client", doc, frame, messages);
    // Get takes it into the editor; Send to Server sends it on.
    EXPECT_TRUE(frame.RunCommand(ID_CONNECTION_GET_FROM_CLIENT));
    EXPECT_EQ(frame.GetEditorText(), "held[10]");
    EXPECT_TRUE(frame.RunCommand(ID_CONNECTION_SEND_TO_SERVER));
    EXPECT_EQ(ReadPumping(server.Get(), 5), "held\n");
    frame.SetEditorText("");
    CheckEveryCommand("both sides, empty editor", doc, frame, messages);
    EXPECT_TRUE(frame.RunCommand(ID_CONNECTION_END));
    ASSERT_FALSE(doc.m_bConnected);
    client.Reset();
    server.Reset();
    CheckEveryCommand("after the relay", doc, frame, messages);

    // The server side only, its data held.
    doc.m_bAcceptConnections = FALSE;
    doc.m_bHoldClientData = FALSE;
    doc.m_bHoldServerData = TRUE;
    ASSERT_TRUE(StartConnection(doc)) << (messages.empty() ? std::string() : messages.front());
    server = AcceptWithin(serverListen.Get(), 5000);
    ASSERT_TRUE(server.Valid());
    ASSERT_TRUE(SendAllBlocking(server.Get(), "answer\n"));
    ASSERT_TRUE(PumpUntil([&] { return !doc.m_heldFromServer.IsEmpty(); }));
    frame.SetEditorText("x");
    CheckEveryCommand("server side only, data held", doc, frame, messages);
    EXPECT_TRUE(frame.RunCommand(ID_CONNECTION_END));
    ASSERT_FALSE(doc.m_bConnected);
    server.Reset();

    // A playback that replaces the client against the live server.
    doc.m_bHoldServerData = FALSE;
    QTimer::singleShot(0, [] {
        auto* pDialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!pDialog)
            return;
        if (auto* pRadio = pDialog->findChild<QAbstractButton*>(QStringLiteral("idc%1").arg(IDC_PLAY_CLIENT)))
            pRadio->click();
        pDialog->accept();
    });
    ASSERT_TRUE(frame.RunCommand(ID_CONNECTION_START_PLAYBACK));
    ASSERT_TRUE(doc.m_bConnected) << (messages.empty() ? std::string() : messages.front());
    server = AcceptWithin(serverListen.Get(), 5000);
    ASSERT_TRUE(server.Valid());
    CheckEveryCommand("a playback", doc, frame, messages);
    EXPECT_TRUE(frame.RunCommand(ID_CONNECTION_END));
    ASSERT_FALSE(doc.m_bConnected);
    server.Reset();

    // The datagram relay, first without a port to send to.
    const std::uint16_t nDgramPort = FreeUdpPort();
    ASSERT_NE(nDgramPort, 0);
    doc.m_strDgramPort = std::to_string(nDgramPort);
    doc.m_strSendPort.clear();
    QTimer::singleShot(0, [] {
        if (auto* pDialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
            pDialog->accept();
    });
    ASSERT_TRUE(frame.RunCommand(ID_DATAGRAM_START));
    ASSERT_TRUE(doc.m_bDatagramActive) << (messages.empty() ? std::string() : messages.front());
    CheckEveryCommand("datagram bound, no send port", doc, frame, messages);
    doc.m_strSendPort = std::to_string(nDgramPort);
    doc.m_strSendHost = "127.0.0.1";
    CheckEveryCommand("datagram bound, a send port", doc, frame, messages);
    EXPECT_TRUE(frame.RunCommand(ID_DATAGRAM_STOP));
    EXPECT_FALSE(doc.m_bDatagramActive);
    CheckEveryCommand("datagram stopped", doc, frame, messages);

    EXPECT_TRUE(messages.empty()) << messages.front();
    ShutdownRelay(doc);
    GetCommandTable().Clear();
}
