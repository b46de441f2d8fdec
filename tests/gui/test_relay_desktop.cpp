// A relayed session with the main window as the program's front end: the
// workers hand their rows to the history list from their own threads while
// the window thread keeps running, and the list ends up showing the history
// exactly, in order.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QStandardPaths>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "GuiTestUtil.h"
#include "../core/RelayTestUtil.h"
#include "app/CommandTable.h"
#include "app/gui/DialogRegistry.h"
#include "app/gui/MainFrame.h"
#include "datagram/DatagramRelay.h"
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
