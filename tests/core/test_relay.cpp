// The TCP relay in process: routing, the start sequence and its failures,
// the workers' cutting and sending, the manual transfer commands, the close
// handlers and End, with real peers on loopback.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>
#include <malloc.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <thread>

#include <QTimer>

#include "RelayTestUtil.h"
#include "TestUtil.h"
#include "relay/RelayState.h"
#include "relay/SocketNotifier.h"
#include "app/CommandTable.h"
#include "export/HistoryExport.h"
#include "session/FrontEnd.h"

#include <algorithm>

using namespace relaytest;

namespace {

HistoryEvent* Piece(const std::string& data)
{
    auto* p = new HistoryEvent;
    auto* block = static_cast<unsigned char*>(std::malloc(data.size()));
    std::memcpy(block, data.data(), data.size());
    p->AdoptData(block, static_cast<std::int32_t>(data.size()));
    return p;
}

std::vector<HistoryEvent*> Drain(EventQueue& queue)
{
    std::vector<HistoryEvent*> v;
    while (HistoryEvent* p = queue.Take())
        v.push_back(p);
    return v;
}

int g_nReplyChecks = 0;
void CountReplyCheck(CMidwireDoc&, ERelaySide, HistoryEvent* p)
{
    EXPECT_EQ(p->m_kind, 0u);  // checked before it gets its kind
    ++g_nReplyChecks;
}

struct RoutingTest : ::testing::Test {
    RoutingTest()
    {
        frontEnd.SetEcho(false);
        doc.OnNewDocument();
    }
    CHeadlessFrontEnd frontEnd;
    CMidwireDoc doc;
};

// Reads from fd until it holds nMax bytes, the peer closes, or nothing comes
// for 30 s; after every nPauseEvery bytes it pauses nPauseMs, as a slow
// reader does, and it takes at most nChunk bytes at a time. True when the
// peer closed.
bool ReadFrom(int fd, std::string& out, std::size_t nMax, std::size_t nPauseEvery = SIZE_MAX, int nPauseMs = 0,
              std::size_t nChunk = 1 << 16)
{
    char buf[1 << 16];
    nChunk = std::min(nChunk, sizeof buf);
    std::size_t nSincePause = 0;
    while (out.size() < nMax) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 30000) <= 0)
            return false;
        const ssize_t r = ::recv(fd, buf, nChunk, 0);
        if (r <= 0)
            return r == 0;
        out.append(buf, static_cast<std::size_t>(r));
        nSincePause += static_cast<std::size_t>(r);
        if (nSincePause >= nPauseEvery) {
            nSincePause = 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(nPauseMs));
        }
    }
    return false;
}

}  // namespace

// Every row of the routing table: kind, queue, wake-up and recording.
TEST_F(RoutingTest, KindQueueAndWakeByOptions)
{
    // Both sides, no hold: forwarded and the other worker woken.
    doc.m_bAcceptConnections = doc.m_bConnectToHost = TRUE;
    RouteReceivedData(doc, CLIENT_SIDE, Piece("abc"));
    ASSERT_EQ(doc.m_toServer.GetCount(), 1u);
    EXPECT_EQ(doc.m_toServer.GetAt(0)->m_kind, EK_MOVED_TO_SERVER);
    EXPECT_TRUE(doc.m_evServerWork.TryWait());
    RouteReceivedData(doc, SERVER_SIDE, Piece("xyz"));
    ASSERT_EQ(doc.m_toClient.GetCount(), 1u);
    EXPECT_EQ(doc.m_toClient.GetAt(0)->m_kind, EK_MOVED_TO_CLIENT);
    EXPECT_TRUE(doc.m_evClientWork.TryWait());
    EXPECT_EQ(doc.m_history.GetCount(), 2u);
    EXPECT_EQ(frontEnd.GetRowCount(), 2u);
    Drain(doc.m_toServer);
    Drain(doc.m_toClient);

    // Hold on: held with the received kind, nobody woken.
    doc.m_bHoldClientData = doc.m_bHoldServerData = TRUE;
    RouteReceivedData(doc, CLIENT_SIDE, Piece("h1"));
    RouteReceivedData(doc, SERVER_SIDE, Piece("h2"));
    ASSERT_EQ(doc.m_heldFromClient.GetCount(), 1u);
    ASSERT_EQ(doc.m_heldFromServer.GetCount(), 1u);
    EXPECT_EQ(doc.m_heldFromClient.GetAt(0)->m_kind, EK_RECEIVED_FROM_CLIENT);
    EXPECT_EQ(doc.m_heldFromServer.GetAt(0)->m_kind, EK_RECEIVED_FROM_SERVER);
    EXPECT_TRUE(doc.m_toServer.IsEmpty());
    EXPECT_FALSE(doc.m_evServerWork.TryWait());
    EXPECT_FALSE(doc.m_evClientWork.TryWait());
    Drain(doc.m_heldFromClient);
    Drain(doc.m_heldFromServer);

    // One side alone: held whatever the hold option says.
    doc.m_bHoldClientData = doc.m_bHoldServerData = FALSE;
    doc.m_bConnectToHost = FALSE;
    RouteReceivedData(doc, CLIENT_SIDE, Piece("only client"));
    ASSERT_EQ(doc.m_heldFromClient.GetCount(), 1u);
    EXPECT_EQ(doc.m_heldFromClient.GetAt(0)->m_kind, EK_RECEIVED_FROM_CLIENT);
    doc.m_bAcceptConnections = FALSE;
    doc.m_bConnectToHost = TRUE;
    RouteReceivedData(doc, SERVER_SIDE, Piece("only server"));
    ASSERT_EQ(doc.m_heldFromServer.GetCount(), 1u);
    EXPECT_EQ(doc.m_heldFromServer.GetAt(0)->m_kind, EK_RECEIVED_FROM_SERVER);
    Drain(doc.m_heldFromClient);
    Drain(doc.m_heldFromServer);

    // Playback in force on the remaining side: the reply check runs first.
    g_pfnCheckPlaybackReply = CountReplyCheck;
    g_nReplyChecks = 0;
    doc.m_bPlayAsClient = TRUE;  // server side remains
    RouteReceivedData(doc, SERVER_SIDE, Piece("reply"));
    doc.m_bPlayAsClient = FALSE;
    doc.m_bConnectToHost = FALSE;
    doc.m_bAcceptConnections = TRUE;
    doc.m_bPlayAsServer = TRUE;  // client side remains
    RouteReceivedData(doc, CLIENT_SIDE, Piece("request"));
    g_pfnCheckPlaybackReply = nullptr;
    EXPECT_EQ(g_nReplyChecks, 2);
    ASSERT_EQ(doc.m_heldFromServer.GetCount(), 1u);
    EXPECT_EQ(doc.m_heldFromServer.GetAt(0)->m_kind, EK_PLAYBACK_RECEIVED_FROM_SERVER);
    ASSERT_EQ(doc.m_heldFromClient.GetCount(), 1u);
    EXPECT_EQ(doc.m_heldFromClient.GetAt(0)->m_kind, EK_PLAYBACK_RECEIVED_FROM_CLIENT);
    Drain(doc.m_heldFromClient);
    Drain(doc.m_heldFromServer);
}

TEST_F(RoutingTest, VerboseCopyComesFirstAndQuietShowsNothing)
{
    doc.m_bAcceptConnections = doc.m_bConnectToHost = TRUE;
    doc.m_bVerbose = TRUE;
    RouteReceivedData(doc, CLIENT_SIDE, Piece("data"));
    ASSERT_EQ(doc.m_history.GetCount(), 2u);
    EXPECT_EQ(doc.m_history.GetAt(0)->m_kind, EK_RECEIVED_FROM_CLIENT);
    EXPECT_EQ(doc.m_history.GetAt(1)->m_kind, EK_MOVED_TO_SERVER);
    EXPECT_NE(doc.m_history.GetAt(0)->m_pData, doc.m_history.GetAt(1)->m_pData);
    EXPECT_EQ(Bytes(*doc.m_history.GetAt(0)), "data");
    EXPECT_EQ(frontEnd.GetRowCount(), 2u);
    doc.m_bQuiet = TRUE;
    RouteReceivedData(doc, SERVER_SIDE, Piece("back"));
    EXPECT_EQ(doc.m_history.GetCount(), 4u);
    EXPECT_EQ(doc.m_history.GetAt(2)->m_kind, EK_RECEIVED_FROM_SERVER);
    EXPECT_EQ(doc.m_history.GetAt(3)->m_kind, EK_MOVED_TO_CLIENT);
    EXPECT_EQ(frontEnd.GetRowCount(), 2u);
    Drain(doc.m_toServer);
    Drain(doc.m_toClient);
}

TEST(ConnectionOptionsTest, BreakCharactersIntegersAndEnableRules)
{
    CHeadlessFrontEnd frontEnd;
    frontEnd.SetEcho(false);
    CMidwireDoc doc;
    doc.OnNewDocument();

    CConnectionOptionsData data;
    data.LoadFrom(doc);
    EXPECT_EQ(data.m_strBreakChar, "[10]");
    EXPECT_EQ(data.m_strDisplayBreak, "[10]");

    struct Case {
        const char* pszText;
        char expected;
    } cases[] = {{"[13]", 13}, {"abc", 'a'}, {"[[", '['}, {"[300]", 44}};
    for (const Case& c : cases) {
        data.m_strBreakChar = c.pszText;
        ApplyConnectionOptions(doc, data);
        EXPECT_EQ(doc.m_chBreakChar, c.expected) << c.pszText;
    }
    // No byte: message 61470 naming the text, the character unchanged, the
    // rest applied.
    data.m_strBreakChar = "";
    data.m_strDisplayBreak = "\n";
    data.m_nServerTimeWait = 7;
    data.m_bVerbose = TRUE;
    ApplyConnectionOptions(doc, data);
    EXPECT_EQ(doc.m_chBreakChar, 44);
    EXPECT_EQ(g_chDisplayBreak, '\n');
    EXPECT_EQ(doc.m_nServerTimeWait, 7);
    EXPECT_TRUE(doc.m_bVerbose);
    ASSERT_EQ(frontEnd.m_messages.size(), 2u);
    EXPECT_EQ(frontEnd.m_messages[0], "String '\n' can't be translated to a correct char.");
    EXPECT_EQ(frontEnd.m_messages[1], "String '' can't be translated to a correct char.");

    int n = -5;
    EXPECT_TRUE(ParseDialogInt("2147483647", n));
    EXPECT_EQ(n, 2147483647);
    EXPECT_TRUE(ParseDialogInt(" 0 ", n));
    EXPECT_EQ(n, 0);
    for (const char* psz : {"-1", "2147483648", "", "12a", "abc"})
        EXPECT_FALSE(ParseDialogInt(psz, n)) << psz;

    const CConnectEnableState none = ConnectEnableRules(FALSE, FALSE);
    EXPECT_FALSE(none.bConnect);
    const CConnectEnableState accept = ConnectEnableRules(TRUE, FALSE);
    EXPECT_TRUE(accept.bConnect && accept.bListenPort && accept.bKeepAlive);
    EXPECT_FALSE(accept.bServerHost || accept.bHoldClient || accept.bHoldServer);
    const CConnectEnableState both = ConnectEnableRules(TRUE, TRUE);
    EXPECT_TRUE(both.bHoldClient && both.bHoldServer && both.bServerHost && both.bServerPort);
}

// The Options command applies on OK only; the Start command stores the
// Connect dialog's values only on OK.
TEST(RelayCommandsTest, DialogsApplyOnlyOnOk)
{
    CHeadlessFrontEnd frontEnd;
    frontEnd.SetEcho(false);
    CMidwireDoc doc;
    doc.OnNewDocument();
    RegisterAllCommands(doc);
    CCommandTable& table = GetCommandTable();

    int nAnswer = IDCANCEL;
    frontEnd.m_onDoModal = [&](UINT nIDD, void* pData) {
        if (nIDD == IDD_CONNECTION_OPTIONS)
            static_cast<CConnectionOptionsData*>(pData)->m_nClientWaitRetries = 42;
        if (nIDD == IDD_CONNECT) {
            auto* p = static_cast<CConnectDlgData*>(pData);
            p->m_strServerHost = "example";
        }
        return nAnswer;
    };
    EXPECT_TRUE(table.Run(ID_CONNECTION_OPTIONS));
    EXPECT_EQ(doc.m_nClientWaitRetries, 1000000);
    EXPECT_TRUE(table.Run(ID_CONNECTION_START));
    EXPECT_EQ(doc.m_strServerHost, "");
    nAnswer = IDOK;
    EXPECT_TRUE(table.Run(ID_CONNECTION_OPTIONS));
    EXPECT_EQ(doc.m_nClientWaitRetries, 42);
    EXPECT_FALSE(table.IsEnabled(ID_CONNECTION_END));
    EXPECT_FALSE(table.IsEnabled(ID_CONNECTION_GET_FROM_CLIENT));
    doc.m_bDatagramActive = TRUE;
    EXPECT_FALSE(table.IsEnabled(ID_CONNECTION_START));
    EXPECT_FALSE(table.IsEnabled(ID_CONNECTION_OPTIONS));
    doc.m_bDatagramActive = FALSE;
}

// A close posted for a side (by a playback that reached the recorded close)
// belongs to the socket registered for that side when it was posted. If that
// session ends first, by its peer's own close or by End, a keep-alive session
// may already have registered its socket when the posted close comes round:
// it must not end that one.
TEST(SocketNotifierTest, PostedCloseReachesOnlyTheSessionItWasPostedFor)
{
    EnsureApplication();
    static int s_nCloses = 0;
    SetSocketNotificationHandler(WM_CLIENT_SOCKET_EVENT, [](UINT, unsigned lParam) {
        if ((lParam & 0xFFFF) == FD_CLOSE)
            ++s_nCloses;
    });
    int first[2], second[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, first), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, second), 0);
    const Fd a(first[0]), aPeer(first[1]), b(second[0]), bPeer(second[1]);

    // Posted for the first session, which ends and gives way to a second one
    // before the close is delivered: dropped.
    ASSERT_EQ(SelectSocketNotification(a.Get(), WM_CLIENT_SOCKET_EVENT, FD_READ | FD_CLOSE), 0);
    PostSocketNotification(WM_CLIENT_SOCKET_EVENT, FD_CLOSE);
    CancelSocketNotification(a.Get());
    ASSERT_EQ(SelectSocketNotification(b.Get(), WM_CLIENT_SOCKET_EVENT, FD_READ | FD_CLOSE), 0);
    Pump(50);
    EXPECT_EQ(s_nCloses, 0);

    // Posted for the session that still runs: delivered.
    PostSocketNotification(WM_CLIENT_SOCKET_EVENT, FD_CLOSE);
    Pump(50);
    EXPECT_EQ(s_nCloses, 1);

    // Posted with no socket registered (a close held back while a session
    // started, the socket's own close already taken): delivered, unless a
    // socket has been registered since.
    CancelSocketNotification(b.Get());
    PostSocketNotification(WM_CLIENT_SOCKET_EVENT, FD_CLOSE);
    Pump(50);
    EXPECT_EQ(s_nCloses, 2);
    PostSocketNotification(WM_CLIENT_SOCKET_EVENT, FD_CLOSE);
    ASSERT_EQ(SelectSocketNotification(a.Get(), WM_CLIENT_SOCKET_EVENT, FD_READ | FD_CLOSE), 0);
    Pump(50);
    EXPECT_EQ(s_nCloses, 2);
    CancelSocketNotification(a.Get());
    SetSocketNotificationHandler(WM_CLIENT_SOCKET_EVENT, nullptr);
}

// --- Sessions with peers ---

using RelaySessionTest = RelayFixture;
class RelayEndWhileStalledTest : public RelayFixture, public ::testing::WithParamInterface<bool> {};

// A session whose server peer sends reply and closes at once (an HTTP/1.0
// response), the client peer reading with fnRead, which returns whether its
// connection ended. The client must get every byte, and then the end.
void ExpectWholeReplyOfAClosingServer(RelayFixture& f, const std::string& reply,
                                      const std::function<bool(std::string&)>& fnRead)
{
    ASSERT_TRUE(f.Start(true, true));
    std::thread serverPeer([&] {
        SendAllBlocking(f.server.Get(), reply);
        f.server.Reset();  // closes at once, with most of the reply still in the relay
    });
    std::string got;
    std::atomic<bool> bEof{false};
    std::thread clientPeer([&] { bEof = fnRead(got); });
    EXPECT_TRUE(PumpUntil([&] { return !f.doc.m_bConnected; }, 60000));
    serverPeer.join();
    clientPeer.join();
    EXPECT_EQ(got.size(), reply.size());
    EXPECT_TRUE(got == reply) << "the client got other bytes than the server sent";
    EXPECT_TRUE(bEof.load()) << "the relay closes the client's connection after the data";
}

TEST_F(RelaySessionTest, StartFailuresReportAndCloseTheirSockets)
{
    // A server that refuses: 61446 after the socket layer's warning, and the
    // client side opened before it is closed again.
    doc.m_bAcceptConnections = TRUE;
    doc.m_bConnectToHost = TRUE;
    nListenPort = FreePort();
    doc.m_strListenPort = std::to_string(nListenPort);
    doc.m_strServerHost = "127.0.0.1";
    doc.m_strServerPort = std::to_string(FreePort());
    EXPECT_FALSE(StartConnection(doc));
    EXPECT_FALSE(doc.m_bConnected);
    ASSERT_EQ(frontEnd.m_warnings.size(), 1u);
    EXPECT_EQ(frontEnd.m_warnings[0], "Error connecting a socket");
    ASSERT_EQ(frontEnd.m_messages.size(), 1u);
    EXPECT_EQ(frontEnd.m_messages[0], "Error trying a connection to the host: 127.0.0.1 port " +
                                          doc.m_strServerPort + ".\nConnection refused or unknow host.");
    EXPECT_EQ(doc.m_hListenSocket, INVALID_SOCKET);
    EXPECT_EQ(doc.m_hClientSocket, INVALID_SOCKET);
    ASSERT_TRUE(client.Valid());
    EXPECT_TRUE(ClosedPumping(client.Get()));
    EXPECT_EQ(doc.m_history.GetCount(), 1u);  // only the accepted client

    // The wait cancelled: 61450 and the listening socket closed.
    client.Reset();
    bConnectClientInWait = false;
    frontEnd.m_onDoModal = [](UINT, void*) { return IDCANCEL; };
    doc.m_bConnectToHost = FALSE;
    EXPECT_FALSE(StartConnection(doc));
    EXPECT_EQ(frontEnd.m_messages.back(),
              "Error accepting a connection from port " + doc.m_strListenPort + ".\nListening has been stopped.");
    EXPECT_EQ(doc.m_hListenSocket, INVALID_SOCKET);
    EXPECT_FALSE(ConnectLocal(nListenPort).Valid());

    // A client that connects while that message is up is not taken for a
    // session that is no longer coming.
    Fd late;
    frontEnd.m_onMessageBox = [&](const std::string& strText, UINT) {
        if (strText.starts_with("Error accepting")) {
            late = ConnectLocal(nListenPort);
            Pump(200);  // the box's own message loop
        }
        return IDOK;
    };
    nListenPort = FreePort();
    doc.m_strListenPort = std::to_string(nListenPort);
    EXPECT_FALSE(StartConnection(doc));
    frontEnd.m_onMessageBox = nullptr;
    EXPECT_TRUE(late.Valid());
    EXPECT_TRUE(ClosedPumping(late.Get()));
    EXPECT_EQ(Count(EK_CONNECT_CLIENT), 1u);  // the one of the refused server above
    EXPECT_EQ(doc.m_hListenSocket, INVALID_SOCKET);
    EXPECT_EQ(doc.m_hClientSocket, INVALID_SOCKET);

    // A port that gives no socket: 61447.
    doc.m_strListenPort = "0";
    EXPECT_FALSE(StartConnection(doc));
    EXPECT_EQ(frontEnd.m_messages.back(), "Error listening for a connection in the port: 0");
    EXPECT_FALSE(doc.m_bConnected);
}

// A server host and port that are the relay's own listening socket are
// refused at the start, by address and by name, with or without keep-alive:
// the relayed data would come back as a new client, and in keep-alive mode
// each session would serve the connection of the one before, without end.
TEST_F(RelaySessionTest, ServerThatIsTheOwnListeningPortIsRefused)
{
    for (const bool bKeepAlive : {false, true}) {
        SCOPED_TRACE(bKeepAlive ? "keep-alive" : "one client");
        client.Reset();
        frontEnd.m_warnings.clear();
        frontEnd.m_messages.clear();
        doc.m_bKeepAlive = bKeepAlive;
        doc.m_bAcceptConnections = TRUE;
        doc.m_bConnectToHost = TRUE;
        nListenPort = FreePort();
        doc.m_strListenPort = std::to_string(nListenPort);
        doc.m_strServerHost = bKeepAlive ? "localhost" : "127.0.0.1";
        doc.m_strServerPort = doc.m_strListenPort;
        const std::size_t nBefore = doc.m_history.GetCount();
        EXPECT_FALSE(StartConnection(doc));
        EXPECT_FALSE(doc.m_bConnected);
        ASSERT_EQ(frontEnd.m_warnings.size(), 1u);
        EXPECT_EQ(frontEnd.m_warnings[0], "Connection to the own listening socket");
        ASSERT_EQ(frontEnd.m_messages.size(), 1u);
        EXPECT_EQ(frontEnd.m_messages[0], "Error trying a connection to the host: " + doc.m_strServerHost + " port " +
                                              doc.m_strServerPort + ".\nConnection refused or unknow host.");
        EXPECT_EQ(doc.m_hListenSocket, INVALID_SOCKET);
        EXPECT_EQ(doc.m_hClientSocket, INVALID_SOCKET);
        EXPECT_EQ(doc.m_hServerSocket, INVALID_SOCKET);
        ASSERT_TRUE(client.Valid());
        EXPECT_TRUE(ClosedPumping(client.Get()));
        Pump(100);
        EXPECT_EQ(Count(EK_CONNECT_SERVER), 0u);
        EXPECT_EQ(doc.m_history.GetCount(), nBefore + 1);  // only the accepted client
        EXPECT_FALSE(doc.m_bConnected);
        EXPECT_FALSE(ConnectLocal(nListenPort).Valid());
    }
}

// Break character on: pieces end with it, a piece spans receives, the rest
// waits, and what waits when the peer closes is routed on its own.
TEST_F(RelaySessionTest, BreakCharacterCutsAcrossReceivesAndFlushesOnClose)
{
    ASSERT_TRUE(Start(true, false));
    ASSERT_TRUE(SendAllBlocking(client.Get(), "abc\ndef"));
    ASSERT_TRUE(WaitHistory(2));
    Pump(50);
    EXPECT_EQ(doc.m_history.GetCount(), 2u);
    EXPECT_EQ(Pieces(EK_RECEIVED_FROM_CLIENT), std::vector<std::string>{"abc\n"});
    ASSERT_TRUE(SendAllBlocking(client.Get(), "g\nhi\n\nxyz"));
    ASSERT_TRUE(WaitHistory(5));
    ::shutdown(client.Get(), SHUT_WR);
    ASSERT_TRUE(PumpUntil([&] { return !doc.m_bConnected; }));
    EXPECT_EQ(Pieces(EK_RECEIVED_FROM_CLIENT), (std::vector<std::string>{"abc\n", "defg\n", "hi\n", "\n", "xyz"}));
    EXPECT_EQ(doc.m_heldFromClient.GetCount(), 5u);
    EXPECT_EQ(Count(EK_ERROR), 0u);
    // The close: warning in the history only, then the disconnect, shown.
    EXPECT_TRUE(HasText(EK_WARNING, "Connection close by remote client host: " + doc.m_strClientHost + "."));
    EXPECT_TRUE(HasText(EK_DISCONNECT_CLIENT,
                        "Connection to client: " + doc.m_strClientHost + " port: " + doc.m_strListenPort + " closed."));
    EXPECT_TRUE(doc.m_bClientWorkerDone);
    EXPECT_EQ(doc.m_hListenSocket, INVALID_SOCKET);  // no keep-alive
    std::vector<std::uint32_t> shown;
    for (HistoryEvent* p : frontEnd.GetRows())
        shown.push_back(p->m_kind);
    EXPECT_EQ(std::count(shown.begin(), shown.end(), EK_WARNING), 0);
    EXPECT_EQ(std::count(shown.begin(), shown.end(), EK_DISCONNECT_CLIENT), 1);
}

// A stream without break characters that outgrows the longest piece is cut
// there: every byte is forwarded and recorded, none is dropped.
TEST_F(RelaySessionTest, PendingPieceAtItsLengthLimitIsRoutedAsItStands)
{
    struct LimitGuard {
        std::int32_t nSaved = g_nMaxPieceLength;
        ~LimitGuard() { g_nMaxPieceLength = nSaved; }
    } guard;
    g_nMaxPieceLength = 1 << 20;
    ASSERT_TRUE(Start(true, true));
    std::string data(3 * (1 << 20) + 1000, 'x');
    for (size_t i = 0; i < data.size(); i += 7919)
        data[i] = static_cast<char>('a' + i % 26);
    data += "end\n";
    std::thread sender([&] { SendAllBlocking(client.Get(), data); });
    const std::string received = ReadPumping(server.Get(), data.size(), 30000);
    sender.join();
    EXPECT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);
    EndConnection(doc);
    const std::vector<std::string> pieces = Pieces(EK_MOVED_TO_SERVER);
    ASSERT_GE(pieces.size(), 4u);
    for (const std::string& piece : pieces)
        EXPECT_LE(piece.size(), size_t{1} << 20);
    EXPECT_TRUE(Concat(EK_MOVED_TO_SERVER) == data);
    EXPECT_EQ(pieces.back().substr(pieces.back().size() - 4), "end\n");
    EXPECT_EQ(Count(EK_ERROR), 0u);
}

TEST_F(RelaySessionTest, WithoutBreakCharacterEachReceiveIsOnePiece)
{
    doc.m_bUseBreakChar = FALSE;
    ASSERT_TRUE(Start(true, true));
    ASSERT_TRUE(SendAllBlocking(client.Get(), "one\ntwo"));
    EXPECT_EQ(ReadPumping(server.Get(), 7), "one\ntwo");
    ASSERT_TRUE(SendAllBlocking(server.Get(), "three"));
    EXPECT_EQ(ReadPumping(client.Get(), 5), "three");
    EndConnection(doc);
    EXPECT_EQ(Pieces(EK_MOVED_TO_SERVER), std::vector<std::string>{"one\ntwo"});
    EXPECT_EQ(Pieces(EK_MOVED_TO_CLIENT), std::vector<std::string>{"three"});
}

// Hold, Get, edit, Send; then Stop Wait releases later pieces.
TEST_F(RelaySessionTest, HoldGetEditSendAndStopWait)
{
    doc.m_bHoldClientData = TRUE;
    RegisterAllCommands(doc);
    CCommandTable& table = GetCommandTable();
    ASSERT_TRUE(Start(true, true));
    for (const UINT nID : {ID_CONNECTION_START, ID_FILE_NEW, ID_FILE_OPEN, ID_FILE_SAVE, ID_FILE_SAVE_AS,
                           ID_VIEW_RELOAD, ID_CONNECTION_OPTIONS})
        EXPECT_FALSE(table.IsEnabled(nID)) << nID;
    EXPECT_TRUE(table.IsEnabled(ID_CONNECTION_END));
    EXPECT_FALSE(table.IsEnabled(ID_CONNECTION_GET_FROM_CLIENT));
    ASSERT_TRUE(SendAllBlocking(client.Get(), "Hi\r\nsecond\n"));
    ASSERT_TRUE(PumpUntil([&] { return doc.m_heldFromClient.GetCount() == 2; }));
    EXPECT_TRUE(table.IsEnabled(ID_CONNECTION_GET_FROM_CLIENT));
    ASSERT_TRUE(table.Run(ID_CONNECTION_GET_FROM_CLIENT));
    EXPECT_EQ(frontEnd.GetEditorText(), "Hi[13][10]");
    frontEnd.SetEditorText("Ho\n[13][10]");
    ASSERT_TRUE(table.Run(ID_CONNECTION_SEND_TO_SERVER));
    EXPECT_EQ(ReadPumping(server.Get(), 4), "Ho\r\n");
    EXPECT_EQ(frontEnd.GetEditorText(), "Ho\n[13][10]");
    // Only line breaks: enabled, but nothing is sent or recorded.
    const size_t nBefore = doc.m_history.GetCount();
    EXPECT_EQ(nBefore, 5u);
    frontEnd.SetEditorText("\n\n");
    EXPECT_TRUE(table.Run(ID_CONNECTION_SEND_TO_CLIENT));
    EXPECT_EQ(doc.m_history.GetCount(), nBefore);

    ASSERT_TRUE(table.IsEnabled(ID_CONNECTION_STOP_WAIT_CLIENT));
    ASSERT_TRUE(table.Run(ID_CONNECTION_STOP_WAIT_CLIENT));
    EXPECT_FALSE(table.IsEnabled(ID_CONNECTION_STOP_WAIT_CLIENT));
    EXPECT_EQ(doc.m_heldFromClient.GetCount(), 1u);  // still held
    ASSERT_TRUE(SendAllBlocking(client.Get(), "third\n"));
    EXPECT_EQ(ReadPumping(server.Get(), 6), "third\n");
    ASSERT_TRUE(table.Run(ID_CONNECTION_GET_FROM_CLIENT));
    EXPECT_EQ(frontEnd.GetEditorText(), "second[10]");
    EXPECT_FALSE(table.IsEnabled(ID_CONNECTION_GET_FROM_CLIENT));
    ASSERT_TRUE(table.Run(ID_CONNECTION_END));
    EXPECT_FALSE(doc.m_bConnected);
    EXPECT_TRUE(ClosedPumping(client.Get()));
    EXPECT_TRUE(ClosedPumping(server.Get()));
    EXPECT_EQ(Pieces(EK_EDITED_TO_SERVER), std::vector<std::string>{"Ho\r\n"});
    EXPECT_TRUE(HasText(EK_MESSAGE, "Stop waiting before sending to: 127.0.0.1."));
    EXPECT_EQ(Pieces(EK_MOVED_TO_SERVER), std::vector<std::string>{"third\n"});
    EXPECT_EQ(Pieces(EK_RECEIVED_FROM_CLIENT), (std::vector<std::string>{"Hi\r\n", "second\n"}));
}

// Verbose: a kind-2 copy at receipt, the kind-4 piece, a kind-8 copy when
// sent. Quiet: the same history, but only status rows are shown.
TEST_F(RelaySessionTest, VerboseAndQuietRows)
{
    doc.m_bVerbose = TRUE;
    doc.m_bQuiet = TRUE;
    ASSERT_TRUE(Start(true, true));
    ASSERT_TRUE(SendAllBlocking(client.Get(), "ping\n"));
    EXPECT_EQ(ReadPumping(server.Get(), 5), "ping\n");
    ASSERT_TRUE(WaitHistory(5));
    ASSERT_TRUE(SendAllBlocking(server.Get(), "pong\n"));
    EXPECT_EQ(ReadPumping(client.Get(), 5), "pong\n");
    ASSERT_TRUE(WaitHistory(8));
    EndConnection(doc);
    // The copy at receipt comes first; the forwarded piece is recorded before
    // it is queued, so the copy at sending never overtakes it.
    std::vector<std::uint32_t> data;
    for (std::uint32_t k : Kinds())
        if (k & EK_DATA_KINDS)
            data.push_back(k);
    const std::vector<std::uint32_t> expected = {EK_RECEIVED_FROM_CLIENT, EK_MOVED_TO_SERVER, EK_SENT_TO_SERVER,
                                                 EK_RECEIVED_FROM_SERVER, EK_MOVED_TO_CLIENT, EK_SENT_TO_CLIENT};
    EXPECT_EQ(data, expected);
    for (HistoryEvent* p : frontEnd.GetRows())
        EXPECT_FALSE(p->m_kind & EK_DATA_KINDS) << std::hex << p->m_kind;
    EXPECT_EQ(frontEnd.GetRowCount(), 4u);  // connect from, connect to, two disconnects
}

// What a session leaves behind belongs to its own peers. A piece after the
// last break character when the other peer ends the session is recorded as
// received; it and the pieces still queued for a peer that stopped reading
// never reach the next session's peers.
TEST_F(RelaySessionTest, LeftoversOfASessionStayWithIt)
{
    ASSERT_TRUE(Start(true, true));
    ASSERT_TRUE(SendAllBlocking(client.Get(), "partial line"));
    Pump(100);
    server.Reset();
    ASSERT_TRUE(PumpUntil([&] { return !doc.m_bConnected; }));
    EXPECT_EQ(Pieces(EK_RECEIVED_FROM_CLIENT), std::vector<std::string>{"partial line"});
    EXPECT_EQ(doc.m_pClientPending, nullptr);

    ASSERT_TRUE(Start(true, true));
    ASSERT_TRUE(SendAllBlocking(client.Get(), "second\n"));
    EXPECT_EQ(ReadPumping(server.Get(), 7, 2000), "second\n");
    EndConnection(doc);

    // The server reads nothing, so pieces wait in the queue when End comes.
    doc.m_bUseBreakChar = FALSE;
    ASSERT_TRUE(Start(true, true));
    const std::string block(1 << 20, 'q');
    for (int i = 0; i < 40 && doc.m_toServer.GetCount() < 4; ++i) {
        ASSERT_TRUE(SendAllBlocking(client.Get(), block));
        Pump(20);
    }
    ASSERT_GE(doc.m_toServer.GetCount(), 1u);
    EndConnection(doc);
    ASSERT_TRUE(Start(true, true));
    ASSERT_TRUE(SendAllBlocking(client.Get(), "third"));
    EXPECT_EQ(ReadPumping(server.Get(), 5, 2000), "third");
}

// A second client without keep-alive is named in 61451 and turned away; the
// first session goes on.
TEST_F(RelaySessionTest, SecondClientWithoutKeepAliveIsTurnedAway)
{
    ASSERT_TRUE(Start(true, true));
    Fd second = ConnectLocal(nListenPort);
    ASSERT_TRUE(second.Valid());
    ASSERT_TRUE(PumpUntil([&] { return frontEnd.m_messages.size() == 1; }));
    EXPECT_EQ(frontEnd.m_messages[0], "New connection attempted to the port: " + doc.m_strListenPort +
                                          " from the host: " + doc.m_strClientHost + ".");
    EXPECT_TRUE(ClosedPumping(second.Get()));
    ASSERT_TRUE(SendAllBlocking(client.Get(), "still here\n"));
    EXPECT_EQ(ReadPumping(server.Get(), 11), "still here\n");
    EXPECT_TRUE(doc.m_bConnected);
    // Without keep-alive the client was taken by the accept handler.
    ASSERT_EQ(Count(EK_CONNECT_CLIENT), 1u);
    EXPECT_TRUE(History()[0]->m_strText.ends_with(" (From accept event)")) << History()[0]->m_strText;
}

// Keep-alive: the first client is queued by the accept handler and taken by
// the wait dialog's timer; a client that connects meanwhile waits without a
// message and is served, with its early data, as soon as the first leaves,
// on the same listening socket and with a new server connection. End starts
// the wait again; cancelling it stops the serving.
TEST_F(RelaySessionTest, KeepAliveServesQueuedClientsOneAfterAnother)
{
    doc.m_bKeepAlive = TRUE;
    ASSERT_TRUE(Start(true, true));
    auto connectTexts = [&] {
        std::vector<std::string> v;
        for (const HistoryEvent* p : doc.m_history)
            if (p->m_kind == EK_CONNECT_CLIENT)
                v.push_back(p->m_strText);
        return v;
    };
    ASSERT_EQ(connectTexts().size(), 1u);
    EXPECT_TRUE(connectTexts()[0].ends_with(" (From accept dialog)")) << connectTexts()[0];
    const SOCKET hListen = doc.m_hListenSocket;

    Fd second = ConnectLocal(nListenPort);
    ASSERT_TRUE(second.Valid());
    ASSERT_TRUE(PumpUntil([&] { return doc.m_pendingAccepts.size() == 1; }));
    ASSERT_TRUE(SendAllBlocking(second.Get(), "queued\n"));
    ASSERT_TRUE(SendAllBlocking(client.Get(), "first\n"));
    EXPECT_EQ(ReadPumping(server.Get(), 6), "first\n");
    EXPECT_TRUE(frontEnd.m_messages.empty());

    client.Reset();
    ASSERT_TRUE(PumpUntil([&] { return connectTexts().size() == 2 && doc.m_bConnected; }));
    EXPECT_TRUE(connectTexts()[1].ends_with(" (From accept function)")) << connectTexts()[1];
    EXPECT_EQ(doc.m_hListenSocket, hListen);
    EXPECT_TRUE(doc.m_pendingAccepts.empty());
    EXPECT_EQ(Count(EK_CONNECT_SERVER), 2u);
    EXPECT_TRUE(HasText(EK_WARNING, "Connection close by remote client host: " + doc.m_strClientHost + "."));
    EXPECT_TRUE(ClosedPumping(server.Get()));
    Fd server2 = AcceptWithin(serverListen.Get(), 5000);
    ASSERT_TRUE(server2.Valid());
    EXPECT_EQ(ReadPumping(server2.Get(), 7), "queued\n");

    bool bWaited = false;
    frontEnd.m_onDoModal = [&](UINT nIDD, void*) {
        bWaited = bWaited || nIDD == IDD_WAIT_ACCEPT;
        return IDCANCEL;
    };
    EndConnection(doc);
    EXPECT_TRUE(bWaited);
    EXPECT_FALSE(doc.m_bConnected);
    EXPECT_TRUE(ClosedPumping(second.Get()));
    EXPECT_EQ(doc.m_hListenSocket, INVALID_SOCKET);
    ASSERT_FALSE(frontEnd.m_messages.empty());
    EXPECT_EQ(frontEnd.m_messages.back(),
              "Error accepting a connection from port " + doc.m_strListenPort + ".\nListening has been stopped.");
    EXPECT_FALSE(ConnectLocal(nListenPort).Valid());
}

// Keep-alive serving that ends on a failed start (the server has gone)
// turns away the clients still queued for it, as the listening socket's own
// queue is refused when it closes: none stays connected and unserved.
TEST_F(RelaySessionTest, KeepAliveStartFailureClosesTheQueuedClients)
{
    doc.m_bKeepAlive = TRUE;
    ASSERT_TRUE(Start(true, true));
    Fd second = ConnectLocal(nListenPort);
    Fd third = ConnectLocal(nListenPort);
    ASSERT_TRUE(second.Valid() && third.Valid());
    ASSERT_TRUE(PumpUntil([&] { return doc.m_pendingAccepts.size() == 2; }));

    serverListen.Reset();  // the next connect to the server is refused
    client.Reset();
    ASSERT_TRUE(PumpUntil([&] { return !doc.m_bConnected && !IsRelayEnding(); }));
    ASSERT_FALSE(frontEnd.m_messages.empty());
    EXPECT_EQ(frontEnd.m_messages.back(), "Error trying a connection to the host: 127.0.0.1 port " +
                                              doc.m_strServerPort + ".\nConnection refused or unknow host.");
    EXPECT_EQ(doc.m_hListenSocket, INVALID_SOCKET);
    EXPECT_TRUE(ClosedPumping(second.Get()));  // taken for the failed start
    EXPECT_TRUE(ClosedPumping(third.Get(), 3000));
    EXPECT_TRUE(doc.m_pendingAccepts.empty());
}

// Only "Connect to host": no wait for a client, no listening socket, the
// server's data is held whatever its hold option says, and End stops the
// server worker alone. With both sides, End stops the server side first.
TEST_F(RelaySessionTest, ServerSideAloneAndTheOrderOfEnd)
{
    int nModals = 0;
    frontEnd.m_onDoModal = [&](UINT, void*) {
        ++nModals;
        return IDCANCEL;
    };
    ASSERT_TRUE(Start(false, true));
    EXPECT_EQ(nModals, 0);
    EXPECT_EQ(doc.m_hListenSocket, INVALID_SOCKET);
    ASSERT_EQ(History().size(), 1u);
    EXPECT_EQ(History()[0]->m_kind, EK_CONNECT_SERVER);
    EXPECT_EQ(History()[0]->m_strText, "Connected to: 127.0.0.1 port: " + doc.m_strServerPort + ".");
    ASSERT_TRUE(SendAllBlocking(server.Get(), "hello\n"));
    ASSERT_TRUE(PumpUntil([&] { return doc.m_heldFromServer.GetCount() == 1; }));
    EndConnection(doc);
    EXPECT_FALSE(doc.m_bConnected);
    EXPECT_TRUE(ClosedPumping(server.Get()));
    EXPECT_EQ(Kinds(), (std::vector<std::uint32_t>{EK_CONNECT_SERVER, EK_RECEIVED_FROM_SERVER, EK_DISCONNECT_SERVER}));

    const std::size_t nBefore = doc.m_history.GetCount();
    frontEnd.m_onDoModal = [this](UINT, void*) {
        client = ConnectLocal(nListenPort);
        return RunHeadlessWaitAccept(doc);
    };
    ASSERT_TRUE(Start(true, true));
    EndConnection(doc);
    const std::vector<std::uint32_t> kinds = Kinds();
    EXPECT_EQ(std::vector<std::uint32_t>(kinds.begin() + static_cast<std::ptrdiff_t>(nBefore), kinds.end()),
              (std::vector<std::uint32_t>{EK_CONNECT_CLIENT, EK_CONNECT_SERVER, EK_DISCONNECT_SERVER,
                                          EK_DISCONNECT_CLIENT}));
}

// A server that resets mid-stream ends the session like a close.
TEST_F(RelaySessionTest, PeerResetEndsTheSession)
{
    ASSERT_TRUE(Start(true, true));
    ASSERT_TRUE(SendAllBlocking(server.Get(), "partial line without end"));
    ASSERT_TRUE(SendAllBlocking(client.Get(), "request\n"));
    EXPECT_EQ(ReadPumping(server.Get(), 8), "request\n");
    linger lg{1, 0};
    ::setsockopt(server.Get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    server.Reset();
    ASSERT_TRUE(PumpUntil([&] { return !doc.m_bConnected; }));
    EXPECT_TRUE(HasText(EK_WARNING, "Connection closed by remote server host: 127.0.0.1."));
    EXPECT_EQ(Count(EK_DISCONNECT_SERVER), 1u);
    EXPECT_EQ(Count(EK_DISCONNECT_CLIENT), 1u);
    EXPECT_TRUE(ClosedPumping(client.Get()));
    EXPECT_EQ(doc.m_hServerSocket, INVALID_SOCKET);
    EXPECT_EQ(doc.m_hClientSocket, INVALID_SOCKET);
}

// The pauses of a close handler keep the window responsive, and an End
// during them ends the session at once instead of after both pauses.
TEST_F(RelaySessionTest, EndCutsShortTheTimeWaitAfterAPeersClose)
{
    doc.m_nServerTimeWait = 4000;
    ASSERT_TRUE(Start(true, true));
    server.Reset();
    // The close is handled well before the End; the session has ended well
    // before the check, which comes from a later pass of the message loop.
    bool bDuringClose = false;
    QTimer::singleShot(300, [&] {
        bDuringClose = IsRelayEnding();
        EndConnection(doc);
    });
    bool bChecked = false;
    bool bEndedBeforeCheck = false;
    QTimer::singleShot(1500, [&] {
        bChecked = true;
        bEndedBeforeCheck = !doc.m_bConnected;
    });
    ASSERT_TRUE(PumpUntil([&] { return bChecked && !doc.m_bConnected; }, 20000));
    EXPECT_TRUE(bDuringClose);
    EXPECT_TRUE(bEndedBeforeCheck);
    EXPECT_TRUE(HasText(EK_WARNING, "Connection closed by remote server host: 127.0.0.1."));
    EXPECT_EQ(Count(EK_DISCONNECT_SERVER), 1u);
    EXPECT_EQ(Count(EK_DISCONNECT_CLIENT), 1u);
    EXPECT_TRUE(ClosedPumping(client.Get()));
}

// End while the server has stopped reading: the server worker waits for a
// writable socket without spinning, sees the stop and ends. The piece it was
// sending did not reach the server whole, and the history says so once.
// With Verbose on, the piece's "sent" copy is followed by that error.
TEST_P(RelayEndWhileStalledTest, EndWhileThePeerHasStoppedReading)
{
    const bool bVerbose = GetParam();
    doc.m_bVerbose = bVerbose;
    doc.m_bUseBreakChar = FALSE;
    ASSERT_TRUE(Start(true, true));
    std::atomic<bool> bDone{false};
    std::thread writer([&] {
        const std::string block(1 << 20, 'x');
        for (int i = 0; i < 64 && !bDone; ++i)
            if (!SendAllBlocking(client.Get(), block))
                break;
    });
    // The server's receive buffer fills and the relay's queue grows.
    ASSERT_TRUE(PumpUntil([&] { return doc.m_history.GetCount() > 200; }, 20000));
    Pump(100);
    EndConnection(doc);
    EXPECT_FALSE(doc.m_bConnected);
    EXPECT_TRUE(doc.m_bServerWorkerDone);
    EXPECT_TRUE(doc.m_bClientWorkerDone);
    bDone = true;
    ::shutdown(client.Get(), SHUT_RDWR);
    writer.join();
    EXPECT_EQ(Count(EK_DISCONNECT_SERVER), 1u);
    // What reached the server: whole pieces in order, and perhaps part of one
    // more. That piece, cut short, is an error, once. (The socket can also
    // have filled just at the end of a piece; then nothing was cut short,
    // unless Verbose had already recorded the next piece as sent and none of
    // it went out, which is an error too.)
    const std::size_t nReached = ReadPumping(server.Get(), std::numeric_limits<std::size_t>::max()).size();
    std::size_t nWhole = 0;
    for (const std::string& strPiece : Pieces(EK_MOVED_TO_SERVER)) {
        if (nWhole + strPiece.size() > nReached)
            break;
        nWhole += strPiece.size();
    }
    ASSERT_GT(nReached, 0u);
    if (nWhole == nReached) {
        EXPECT_LE(Count(EK_ERROR), bVerbose ? 1u : 0u) << nReached;
        if (Count(EK_ERROR) == 1) {
            EXPECT_TRUE(HasText(EK_ERROR, "Error sending to host: 127.0.0.1 port " + doc.m_strServerPort + ". 1"));
            std::size_t nRecordedSent = 0;
            for (const std::string& strPiece : Pieces(EK_SENT_TO_SERVER))
                nRecordedSent += strPiece.size();
            EXPECT_GT(nRecordedSent, nReached) << "no piece was recorded as sent beyond what reached the server";
        }
        return;
    }
    EXPECT_EQ(Count(EK_ERROR), 1u) << nReached;
    EXPECT_TRUE(HasText(EK_ERROR, "Error sending to host: 127.0.0.1 port " + doc.m_strServerPort + ". 1"));
    if (bVerbose) {
        const std::vector<std::uint32_t> kinds = Kinds();
        const auto itError = std::find(kinds.begin(), kinds.end(), std::uint32_t{EK_ERROR});
        const auto itLastSent = std::find(kinds.rbegin(), kinds.rend(), std::uint32_t{EK_SENT_TO_SERVER});
        ASSERT_NE(itLastSent, kinds.rend());
        EXPECT_LT(itLastSent.base() - 1 - kinds.begin(), itError - kinds.begin());
    }
}

INSTANTIATE_TEST_SUITE_P(VerboseOffAndOn, RelayEndWhileStalledTest, ::testing::Bool());

// A server that answers with much data and closes at once (an HTTP/1.0
// response): a client that reads more slowly still gets every byte before
// the relay closes its connection. One that stops reading is given up on
// once nothing has moved for a while, and the session still ends.
TEST_F(RelaySessionTest, DataOfAClosingPeerReachesASlowReaderBeforeTheEnd)
{
    doc.m_bUseBreakChar = FALSE;
    doc.m_bQuiet = TRUE;
    doc.m_nServerTimeWait = 10;
    doc.m_nClientTimeWait = 10;
    std::mt19937 rng(5);
    const std::string reply = testutil::RandomBytes(rng, 8u << 20);
    // A slow reader: 1 MiB, then a pause; it reads on until the close.
    ExpectWholeReplyOfAClosingServer(*this, reply, [&](std::string& got) {
        return ReadFrom(client.Get(), got, reply.size() + 1, 1u << 20, 60);
    });

    // A client that reads nothing: the session ends once nothing has moved
    // for a second.
    client.Reset();
    serverListen.Reset();
    ASSERT_TRUE(Start(true, true));
    std::thread closingPeer([&] {
        SendAllBlocking(server.Get(), reply);
        server.Reset();
    });
    EXPECT_TRUE(PumpUntil([&] { return !doc.m_bConnected; }, 20000));
    closingPeer.join();
}

// The relay stopped together with its peers (a job suspended with Ctrl-Z)
// while it waits for a closed server's data to reach a slow client: resumed,
// it gives the client its time again instead of ending at once for the
// seconds in which nobody could move anything.
TEST_F(RelaySessionTest, SuspendedWhileAClosingPeersDataWaitsLosesNothing)
{
    doc.m_bUseBreakChar = FALSE;
    doc.m_bQuiet = TRUE;
    doc.m_nServerTimeWait = 10;
    doc.m_nClientTimeWait = 10;
    std::mt19937 rng(13);
    const std::string reply = testutil::RandomBytes(rng, 6u << 20);
    ExpectWholeReplyOfAClosingServer(*this, reply, [&](std::string& got) {
        ReadFrom(client.Get(), got, 2u << 20, 1u << 20, 60);
        // A pause in which the system moves what the reads made room for;
        // then the whole process, this reader with it, stops for longer than
        // the relay waits for data that does not move; resumed, the reader
        // takes a moment before it reads on.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_TRUE(testutil::SuspendThisProcessFor(2.5));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return ReadFrom(client.Get(), got, reply.size() + 1, 1u << 20, 60);
    });
}

// A reader slower than the relay's socket buffer drains in a second: the
// worker waits long for room in the full buffer and writes nothing meanwhile,
// yet the data moves, and the session waits until the reader has it all.
TEST_F(RelaySessionTest, DataOfAClosingPeerReachesASteadilySlowReader)
{
    doc.m_bUseBreakChar = FALSE;
    doc.m_bQuiet = TRUE;
    std::mt19937 rng(7);
    const std::string reply = testutil::RandomBytes(rng, 6u << 20);
    // About 1 MB a second: 16 KiB, then 16 ms.
    ExpectWholeReplyOfAClosingServer(*this, reply, [&](std::string& got) {
        return ReadFrom(client.Get(), got, reply.size() + 1, 16u << 10, 16, 16u << 10);
    });
}

// A client that sends a request and shuts its sending side, and a server
// that talks while it reads the request slowly: the session ends only once
// the server has taken the whole request, and the end of it. Closed earlier,
// the relay's connection would be reset by the server's next bytes, and what
// its buffer still held of the request would be lost, though recorded as
// moved. The server talks until it has seen the end of the request.
TEST_F(RelaySessionTest, TalkingServerGetsTheWholeRequestOfAClientThatShutItsSendingSide)
{
    doc.m_bUseBreakChar = FALSE;
    doc.m_bQuiet = TRUE;
    std::mt19937 rng(17);
    const std::string request = testutil::RandomBytes(rng, 4u << 20);
    ASSERT_TRUE(Start(true, true));
    std::atomic<bool> bStopTalking{false};
    std::thread talker([&] {
        for (int i = 0; i < 60000 && !bStopTalking; ++i) {
            if (::send(server.Get(), "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::string got;
    std::atomic<bool> bServerSawEnd{false};
    std::thread serverReader([&] {
        bServerSawEnd = ReadFrom(server.Get(), got, request.size() + 1, 16u << 10, 4, 16u << 10);
        bStopTalking = true;
    });
    std::thread clientPeer([&] {
        SendAllBlocking(client.Get(), request);
        ::shutdown(client.Get(), SHUT_WR);
        std::string answer;
        ReadFrom(client.Get(), answer, SIZE_MAX);
    });
    EXPECT_TRUE(PumpUntil([&] { return !doc.m_bConnected; }, 60000));
    clientPeer.join();
    serverReader.join();
    bStopTalking = true;
    talker.join();
    EXPECT_EQ(Concat(EK_MOVED_TO_SERVER).size(), request.size());
    EXPECT_EQ(got.size(), request.size());
    EXPECT_TRUE(got == request) << "the server got other bytes than the client sent";
    EXPECT_TRUE(bServerSawEnd.load());
}

// A peer that shuts down only its sending side (a request, then the end of
// its data) still reads: what the other peer sent it before reaches it
// whole before the relay closes its connection, however much of it still
// waits in the relay for the slow reader. Both sides, in turn.
TEST_F(RelaySessionTest, PeerThatShutsItsSendingSideStillGetsWhatWasSentToIt)
{
    doc.m_bQuiet = TRUE;
    // Lines, one event each, far more than the socket buffers between the
    // relay and the reader hold (both are made small).
    std::mt19937 rng(11);
    constexpr std::size_t kLines = 1536;
    std::string answer;
    for (std::size_t i = 0; i < kLines; ++i) {
        std::string line = testutil::RandomBytes(rng, 1023);
        std::replace(line.begin(), line.end(), '\n', ' ');
        answer += line + '\n';
    }
    for (const bool bClientShuts : {true, false}) {
        SCOPED_TRACE(bClientShuts ? "the client shuts" : "the server shuts");
        ASSERT_TRUE(Start(true, true));
        Fd& shutting = bClientShuts ? client : server;
        Fd& answering = bClientShuts ? server : client;
        const int nBuffer = 64 << 10;
        ::setsockopt(shutting.Get(), SOL_SOCKET, SO_RCVBUF, &nBuffer, sizeof nBuffer);
        ::setsockopt(LoadSocket(SideSocket(doc, bClientShuts ? CLIENT_SIDE : SERVER_SIDE)), SOL_SOCKET, SO_SNDBUF,
                     &nBuffer, sizeof nBuffer);
        // The request, then the answer, which waits in the relay for the
        // slow reader; then the end of the shutting peer's data.
        const std::size_t nBefore = doc.m_history.GetCount();
        ASSERT_TRUE(SendAllBlocking(shutting.Get(), "request\n"));
        std::string request;
        ReadFrom(answering.Get(), request, 8);
        EXPECT_EQ(request, "request\n");
        std::thread writer([&] { SendAllBlocking(answering.Get(), answer); });
        EXPECT_TRUE(WaitHistory(nBefore + 1 + kLines, 30000));
        writer.join();
        ASSERT_EQ(::shutdown(shutting.Get(), SHUT_WR), 0);
        std::string got;
        std::atomic<bool> bEof{false};
        // About 600 kB a second: the answer takes longer than the relay
        // waits for a closing peer's last data.
        std::thread reader([&] { bEof = ReadFrom(shutting.Get(), got, answer.size() + 1, 64u << 10, 100); });
        EXPECT_TRUE(PumpUntil([&] { return !doc.m_bConnected; }, 60000));
        reader.join();
        EXPECT_EQ(got.size(), answer.size());
        EXPECT_TRUE(got == answer) << "the shutting peer got other bytes than were sent to it";
        EXPECT_TRUE(bEof.load());
        EXPECT_EQ(Count(EK_ERROR), 0u);
        client.Reset();
        server.Reset();
        serverListen.Reset();
    }
}

// A server peer that sends nBytes of random data and closes, and a client
// peer that takes it slowly (about 250 kB a second): long after the
// server's close is handled, the relay is still delivering its reply.
class CSlowReplyPeers {
public:
    CSlowReplyPeers(relaytest::RelayFixture& fixture, std::size_t nBytes, unsigned nSeed) : m_fixture(fixture)
    {
        std::mt19937 rng(nSeed);
        m_reply = testutil::RandomBytes(rng, nBytes);
        m_server = std::thread([this] {
            SendAllBlocking(m_fixture.server.Get(), m_reply);
            m_fixture.server.Reset();
        });
        m_client = std::thread([this] {
            ReadFrom(m_fixture.client.Get(), m_got, m_reply.size() + 1, 4u << 10, 16, 4u << 10);
        });
    }
    ~CSlowReplyPeers() { Finish(); }

    // Ends the slow read (what the relay's socket still holds is not waited
    // for) and joins both peers; how many bytes the client got.
    std::size_t Finish()
    {
        if (m_client.joinable()) {
            ::shutdown(m_fixture.client.Get(), SHUT_RDWR);
            m_server.join();
            m_client.join();
        }
        return m_got.size();
    }

private:
    relaytest::RelayFixture& m_fixture;
    std::string m_reply;
    std::string m_got;
    std::thread m_server;
    std::thread m_client;
};

// End while the session waits for data of a closed peer to reach a reader
// that takes it steadily but slowly ends the session then, without waiting
// for the reader to have it all.
TEST_F(RelaySessionTest, EndCutsShortTheWaitForASlowReader)
{
    doc.m_bUseBreakChar = FALSE;
    doc.m_bQuiet = TRUE;
    ASSERT_TRUE(Start(true, true));
    // About 250 kB a second: the whole reply would take a minute.
    CSlowReplyPeers peers(*this, 16u << 20, 13);
    // The server's close is handled well before this End, which comes from
    // the message loop of the handler's wait.
    bool bDuringClose = false;
    QTimer::singleShot(2000, [&] {
        bDuringClose = IsRelayEnding();
        EndConnection(doc);
    });
    EXPECT_TRUE(PumpUntil([&] { return !doc.m_bConnected; }, 20000));
    EXPECT_LT(peers.Finish(), 16u << 20);
    EXPECT_TRUE(bDuringClose);
    EXPECT_EQ(Count(EK_DISCONNECT_SERVER), 1u);
    EXPECT_EQ(Count(EK_DISCONNECT_CLIENT), 1u);
}

// Once a side's connection is being closed and its worker stopped, the
// session may still run a while (here, to deliver what Send to Client queued
// to a slow client, the server's data being held); Send to that side is then
// disabled, since nothing would send what it queued although the history
// would call it sent. Send is disabled too toward a peer that has been told
// that no more data comes (the other peer ended its data), while the session
// waits for that peer's answer.
TEST_F(RelaySessionTest, SendToASideWhoseConnectionIsClosingIsDisabled)
{
    doc.m_bUseBreakChar = FALSE;
    doc.m_bQuiet = TRUE;
    RegisterAllCommands(doc);
    CCommandTable& table = GetCommandTable();
    for (const bool bHoldServer : {true, false}) {
        SCOPED_TRACE(bHoldServer ? "the server's worker stops first" : "the end is passed on to the client");
        doc.m_bHoldServerData = bHoldServer;
        ASSERT_TRUE(Start(true, true));
        // A small socket buffer toward a client that takes about 250 kB a
        // second: a megabyte takes seconds to get through.
        const int nBuffer = 64 << 10;
        ::setsockopt(client.Get(), SOL_SOCKET, SO_RCVBUF, &nBuffer, sizeof nBuffer);
        ::setsockopt(LoadSocket(doc.m_hClientSocket), SOL_SOCKET, SO_SNDBUF, &nBuffer, sizeof nBuffer);
        frontEnd.SetEditorText(std::string(1u << 20, 'x'));
        ASSERT_TRUE(table.Run(ID_CONNECTION_SEND_TO_CLIENT));
        frontEnd.SetEditorText("late request[13][10]");
        EXPECT_TRUE(table.IsEnabled(ID_CONNECTION_SEND_TO_SERVER));
        std::string got;
        std::atomic<bool> bClientSawEnd{false};
        std::thread reader([&] {
            bClientSawEnd = ReadFrom(client.Get(), got, SIZE_MAX, 4u << 10, 16, 4u << 10);
        });
        ASSERT_TRUE(SendAllBlocking(server.Get(), "reply\n"));
        server.Reset();
        // Checked from the message loop of the close handler's wait: with
        // the hold, once the server worker has ended while the session still
        // runs; without it, once the client has been told that the data
        // ended while the session still runs.
        bool bChecked = false;
        bool bSendToServer = true;
        bool bSendToClient = !bHoldServer;
        QTimer check;
        check.setInterval(20);
        QObject::connect(&check, &QTimer::timeout, [&] {
            const bool bMoment = bHoldServer ? LoadSocket(doc.m_hServerSocket) == INVALID_SOCKET : bClientSawEnd.load();
            if (bChecked || !doc.m_bConnected || !bMoment)
                return;
            bChecked = true;
            if (bHoldServer)
                bSendToServer = table.Run(ID_CONNECTION_SEND_TO_SERVER);
            bSendToClient = table.IsEnabled(ID_CONNECTION_SEND_TO_CLIENT);
            EndConnection(doc);
        });
        check.start();
        EXPECT_TRUE(PumpUntil([&] { return bChecked && !doc.m_bConnected; }, 30000));
        check.stop();
        ::shutdown(client.Get(), SHUT_RDWR);
        reader.join();
        ASSERT_TRUE(bChecked);
        if (bHoldServer) {
            EXPECT_FALSE(bSendToServer);
            EXPECT_TRUE(bSendToClient);  // the client is still connected
            EXPECT_EQ(Count(EK_EDITED_TO_SERVER), 0u);
        } else {
            EXPECT_FALSE(bSendToClient);  // the client was told that the data ended
            EXPECT_EQ(got, std::string(1u << 20, 'x') + "reply\n");
        }
        client.Reset();
        serverListen.Reset();
    }
    GetCommandTable().Clear();
}

// The piece pending after the last break character is routed when the peer
// closes and reaches the other peer before its connection is closed, also
// with no time waits, session after session.
TEST_F(RelaySessionTest, PendingTailOfAClosingPeerIsDeliveredWithoutTimeWaits)
{
    doc.m_nServerTimeWait = 0;
    doc.m_nClientTimeWait = 0;
    doc.m_bQuiet = TRUE;
    const std::string reply = std::string(200000, 'x') + "\nline\ntail without break";
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE("session " + std::to_string(i));
        ASSERT_TRUE(Start(true, true));
        ASSERT_TRUE(SendAllBlocking(server.Get(), reply));
        server.Reset();
        // The client reads on a thread of its own, as a peer does: the
        // session waits for it to take the tail before closing.
        std::string got;
        bool bEof = false;
        std::thread reader([&] { bEof = ReadFrom(client.Get(), got, reply.size() + 1); });
        EXPECT_TRUE(PumpUntil([&] { return !doc.m_bConnected; }, 10000));
        reader.join();
        EXPECT_TRUE(bEof);
        ASSERT_EQ(got.size(), reply.size());
        EXPECT_TRUE(got == reply);
        client.Reset();
        serverListen.Reset();
    }
}

// Both directions at once: every byte arrives in order, and the history
// holds exactly the relayed bytes.
TEST_F(RelaySessionTest, BulkBothDirectionsAtOnce)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const size_t nSize = 8u << 20;
#else
    const size_t nSize = 64u << 20;
#endif
    doc.m_bQuiet = TRUE;
    ASSERT_TRUE(Start(true, true));
    std::mt19937 rng(7);
    std::string up(nSize, '\0'), down(nSize, '\0');
    for (size_t i = 0; i < nSize; ++i) {
        up[i] = static_cast<char>(rng() & 0xFF);
        down[i] = static_cast<char>(rng() & 0xFF);
    }
    up.back() = down.back() = '\n';  // no piece is left pending at End
    std::string gotUp, gotDown;
    std::thread t1([&] { SendAllBlocking(client.Get(), up); });
    std::thread t2([&] { SendAllBlocking(server.Get(), down); });
    std::thread t3([&] { ReadFrom(server.Get(), gotUp, nSize); });
    std::thread t4([&] { ReadFrom(client.Get(), gotDown, nSize); });
    std::atomic<int> nFinished{0};
    std::thread waiter([&] {
        t1.join();
        t2.join();
        t3.join();
        t4.join();
        nFinished = 1;
    });
    EXPECT_TRUE(PumpUntil([&] { return nFinished.load() == 1; }, 120000));
    waiter.join();
    EXPECT_EQ(gotUp.size(), nSize);
    EXPECT_TRUE(gotUp == up);
    EXPECT_EQ(gotDown.size(), nSize);
    EXPECT_TRUE(gotDown == down);
    EndConnection(doc);
    EXPECT_TRUE(Concat(EK_MOVED_TO_SERVER) == up);
    EXPECT_TRUE(Concat(EK_MOVED_TO_CLIENT) == down);
    EXPECT_EQ(Count(EK_ERROR), 0u);
    for (const HistoryEvent* p : doc.m_history) {
        if (p->m_kind == EK_MOVED_TO_SERVER) {
            ASSERT_EQ(p->m_pData[p->m_nLength - 1], '\n') << "every piece ends with the break character";
        }
    }
}

// A client that speaks as soon as it is connected: its first bytes can be
// read and routed by the client worker before the server worker runs at all.
// They must still reach the server, session after session.
TEST_F(RelaySessionTest, DataSentAtConnectReachesTheServer)
{
    doc.m_bQuiet = TRUE;
    frontEnd.m_onDoModal = [this](UINT nIDD, void*) -> int {
        if (nIDD != IDD_WAIT_ACCEPT)
            return IDCANCEL;
        client = ConnectLocal(nListenPort);
        EXPECT_TRUE(SendAllBlocking(client.Get(), "hello\n"));
        return RunHeadlessWaitAccept(doc);
    };
    for (int i = 0; i < 25; ++i) {
        SCOPED_TRACE("session " + std::to_string(i));
        ASSERT_TRUE(Start(true, true));
        std::string got;
        EXPECT_TRUE(PumpUntil(
            [&] {
                char buf[64];
                const ssize_t r = ::recv(server.Get(), buf, sizeof buf, MSG_DONTWAIT);
                if (r > 0)
                    got.append(buf, static_cast<size_t>(r));
                return got.size() >= 6;
            },
            5000));
        EXPECT_EQ(got, "hello\n");
        EndConnection(doc);
        client.Reset();
        server.Reset();
        serverListen.Reset();
    }
}

// A piece goes out straight from the worker that received it while nothing
// waits before it, or through the other worker's queue, or as the rest of a
// piece a full socket took only in part. A server peer that stops reading
// for a while, writes of every size and Verbose switched on and off (which
// moves sending from one way to the other) must still deliver every byte
// once and in order, with and without the break character.
TEST_F(RelaySessionTest, StraightThroughQueuedAndCarriedPiecesKeepTheirOrder)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const size_t nSize = 6u << 20;
#else
    const size_t nSize = 24u << 20;
#endif
    std::mt19937 rng(11);
    for (const BOOL bBreakChar : {FALSE, TRUE}) {
        SCOPED_TRACE(bBreakChar ? "break character" : "no break character");
        doc.m_bQuiet = TRUE;
        doc.m_bUseBreakChar = bBreakChar;
        StoreFlag(doc.m_bVerbose, FALSE);
        ASSERT_TRUE(Start(true, true));
        const size_t nHistoryBefore = doc.m_history.GetCount();
        std::string up = testutil::RandomBytes(rng, nSize);
        up.back() = '\n';  // nothing is left pending at End
        std::vector<size_t> cuts;
        for (size_t n = 0; n < nSize;) {
            n = std::min(nSize, n + 1 + rng() % 200000);
            cuts.push_back(n);
        }
        std::string got;
        std::atomic<bool> bWritten{false}, bRead{false};
        std::thread writer([&] {
            size_t nFrom = 0;
            for (const size_t nTo : cuts) {
                if (!SendAllBlocking(client.Get(), up.substr(nFrom, nTo - nFrom)))
                    break;
                nFrom = nTo;
            }
            bWritten = true;
        });
        std::thread reader([&] {
            // Still for a while: the relay's socket to the server fills up.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ReadFrom(server.Get(), got, nSize, 4u << 20, 30);
            bRead = true;
        });
        int nPumps = 0;
        EXPECT_TRUE(PumpUntil(
            [&] {
                if (++nPumps % 8 == 0)
                    StoreFlag(doc.m_bVerbose, !LoadFlag(doc.m_bVerbose));
                return bWritten.load() && bRead.load();
            },
            120000));
        writer.join();
        reader.join();
        StoreFlag(doc.m_bVerbose, FALSE);
        EXPECT_EQ(got.size(), nSize);
        EXPECT_TRUE(got == up) << "bytes at the server differ from the client's";
        EndConnection(doc);
        std::string recorded;
        size_t nFullPieces = 0;
        for (size_t i = nHistoryBefore; i < doc.m_history.GetCount(); ++i) {
            const HistoryEvent* p = doc.m_history.GetAt(i);
            if (p->m_kind == EK_MOVED_TO_SERVER) {
                recorded += Bytes(*p);
                // One piece never holds more than one receive buffer, even
                // where a streaming worker fills several in one call.
                ASSERT_GT(p->m_nLength, 0);
                ASSERT_LE(p->m_nLength, RELAY_RECEIVE_BUFFER);
                // A short piece does not keep a whole receive block.
                ASSERT_LT(malloc_usable_size(p->m_pData), static_cast<size_t>(p->m_nLength) + 8192);
                nFullPieces += p->m_nLength == RELAY_RECEIVE_BUFFER;
            }
        }
        EXPECT_TRUE(recorded == up) << "the history holds other bytes than were relayed";
        if (!bBreakChar) {
            EXPECT_GT(nFullPieces, 0u) << "a stream that outruns its reader fills whole receive buffers";
        }
        EXPECT_EQ(Count(EK_ERROR), 0u);
    }
}

// End that gives up waiting (no retries) leaves the workers to end on their
// own; the next start joins them before their sockets, pending pieces and
// queues are used again.
TEST_F(RelaySessionTest, NextStartJoinsWorkersThatEndGaveUpOn)
{
    doc.m_nServerWaitRetries = 0;
    doc.m_nClientWaitRetries = 0;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(Start(true, true)) << i;
        ASSERT_TRUE(SendAllBlocking(client.Get(), "round " + std::to_string(i) + "\n"));
        EXPECT_EQ(ReadPumping(server.Get(), 8), "round " + std::to_string(i) + "\n");
        EndConnection(doc);
        EXPECT_FALSE(doc.m_bConnected);
        client.Reset();
        server.Reset();
    }
    ShutdownRelay(doc);
    EXPECT_EQ(Count(EK_DISCONNECT_CLIENT), 5u);
    EXPECT_EQ(Count(EK_DISCONNECT_SERVER), 5u);
    EXPECT_EQ(Count(EK_MOVED_TO_SERVER), 5u);
}

// Erase All and New free every event: workers that End gave up waiting for
// are ended and joined first, so none records or sends a freed event.
TEST_F(RelaySessionTest, EraseAllAndNewJoinWorkersThatEndGaveUpOn)
{
    doc.m_nServerWaitRetries = 0;
    doc.m_nClientWaitRetries = 0;
    for (const bool bNew : {false, true}) {
        ASSERT_TRUE(Start(true, true));
        ASSERT_TRUE(SendAllBlocking(client.Get(), "data\n"));
        EXPECT_EQ(ReadPumping(server.Get(), 5), "data\n");
        EndConnection(doc);
        if (bNew)
            doc.OnNewDocument();
        else
            doc.OnEraseAll();
        EXPECT_FALSE(RelayState().side[CLIENT_SIDE].thread.joinable());
        EXPECT_FALSE(RelayState().side[SERVER_SIDE].thread.joinable());
        EXPECT_TRUE(doc.m_history.IsEmpty());
        client.Reset();
        server.Reset();
        serverListen.Reset();
        doc.m_nServerWaitRetries = 0;
        doc.m_nClientWaitRetries = 0;
    }
}

// Save, Save Special and Reload walk the whole history without its lock:
// workers that End gave up waiting for are joined first, so that their last
// records (the pending piece, the disconnection) never land in the middle of
// a walk, and the walk sees them.
TEST_F(RelaySessionTest, HistoryWalksJoinWorkersThatEndGaveUpOn)
{
    testutil::TempDir dir;
    for (int nWalk = 0; nWalk < 3; ++nWalk) {
        doc.m_nServerWaitRetries = 0;
        doc.m_nClientWaitRetries = 0;
        ASSERT_TRUE(Start(true, true)) << nWalk;
        // A tail without a break character stays pending until the worker ends.
        ASSERT_TRUE(SendAllBlocking(client.Get(), "data\ntail"));
        EXPECT_EQ(ReadPumping(server.Get(), 5), "data\n");
        EndConnection(doc);
        ASSERT_FALSE(doc.m_bConnected);
        const std::string strPath = dir.Path("walk" + std::to_string(nWalk));
        if (nWalk == 0) {
            EXPECT_TRUE(doc.OnSaveDocument(strPath + ".mwx"));
        } else if (nWalk == 1) {
            SaveSpecialOptions options;
            options.strPath = strPath + ".txt";
            EXPECT_TRUE(RunSaveSpecial(doc, options));
        } else {
            doc.ReloadEventList();
            EXPECT_EQ(frontEnd.GetRowCount(), doc.m_history.GetCount());
        }
        EXPECT_FALSE(RelayState().side[CLIENT_SIDE].thread.joinable()) << nWalk;
        EXPECT_FALSE(RelayState().side[SERVER_SIDE].thread.joinable()) << nWalk;
        EXPECT_EQ(Count(EK_DISCONNECT_CLIENT), static_cast<size_t>(nWalk + 1));
        EXPECT_EQ(Count(EK_DISCONNECT_SERVER), static_cast<size_t>(nWalk + 1));
        std::string strTails;
        for (int i = 0; i <= nWalk; ++i)
            strTails += "tail";
        EXPECT_EQ(Concat(EK_RECEIVED_FROM_CLIENT), strTails) << nWalk;
        client.Reset();
        server.Reset();
        serverListen.Reset();
    }
}

// A queued event without bytes is sent as the bytes of its text, which it
// keeps; a send to a server that reset is recorded as an error with the
// server worker's suffix, and the worker carries on until it is stopped.
TEST_F(RelaySessionTest, TextEventsAndSendFailures)
{
    ASSERT_TRUE(Start(true, true));
    auto* pText = new HistoryEvent;
    pText->m_kind = EK_EDITED_TO_SERVER;
    pText->m_strText = "[65][66]";
    doc.AddToHistory(pText);
    doc.AddToServer(pText);
    doc.m_evServerWork.SetEvent();
    EXPECT_EQ(ReadPumping(server.Get(), 2), "AB");

    linger lg{1, 0};
    ::setsockopt(server.Get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    server.Reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // Queued without pumping, so the close handler cannot run first.
    auto* pData = new HistoryEvent;
    pData->m_kind = EK_EDITED_TO_SERVER;
    pData->AdoptData(static_cast<unsigned char*>(std::malloc(3)), 3);
    std::memcpy(pData->m_pData, "xyz", 3);
    doc.AddToHistory(pData);
    doc.AddToServer(pData);
    const size_t nBefore = doc.m_history.GetCount();
    doc.m_evServerWork.SetEvent();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (doc.m_history.GetCount() == nBefore && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(PumpUntil([&] { return !doc.m_bConnected; }));
    EXPECT_EQ(Bytes(*pText), "AB");
    EXPECT_TRUE(HasText(EK_ERROR, "Error sending to host: 127.0.0.1 port " + doc.m_strServerPort + ". 1"));
    EXPECT_EQ(Count(EK_ERROR), 1u);
    EXPECT_TRUE(HasText(EK_DISCONNECT_SERVER,
                        "Connection to server: 127.0.0.1 port: " + doc.m_strServerPort + " closed."));
}

// A piece that the other worker sent straight through only in part leaves
// its rest to this side's worker; when End stops that worker before it got
// to the rest, the peer has the piece only in part, and the history records
// the send error once (with the suffix of a queued piece's bytes).
TEST_F(RelaySessionTest, RestOfAPieceCutShortByEndIsRecordedAsASendError)
{
    ASSERT_TRUE(Start(true, true));
    auto* pPiece = Piece("abcdef");
    pPiece->m_kind = EK_MOVED_TO_SERVER;
    doc.AddToHistory(pPiece);
    CRelaySideState& st = RelayState().side[SERVER_SIDE];
    ASSERT_TRUE(PumpUntil([&] {
        std::lock_guard<std::mutex> lock(st.sendLock);
        return st.bSendOpen;
    }));
    // The rest waits, and the stop comes before the worker's next pass. As
    // End does, the socket stops being watched before any stop is asked for
    // (a stopped worker closes it).
    CancelSocketNotification(LoadSocket(doc.m_hServerSocket));
    {
        std::lock_guard<std::mutex> lock(st.sendLock);
        ASSERT_EQ(st.pCarry, nullptr);
        st.pCarry = pPiece;
        st.nCarryOffset = 3;
        st.bStopRequested.store(true);
    }
    EndConnection(doc);
    EXPECT_FALSE(doc.m_bConnected);
    EXPECT_EQ(Count(EK_ERROR), 1u);
    EXPECT_TRUE(HasText(EK_ERROR, "Error sending to host: 127.0.0.1 port " + doc.m_strServerPort + ". 1"));
    // Recorded before the disconnection.
    const std::vector<std::uint32_t> kinds = Kinds();
    const auto itError = std::find(kinds.begin(), kinds.end(), std::uint32_t{EK_ERROR});
    const auto itClosed = std::find(kinds.begin(), kinds.end(), std::uint32_t{EK_DISCONNECT_SERVER});
    EXPECT_LT(itError, itClosed);
    EXPECT_EQ(Bytes(*pPiece), "abcdef");
    EXPECT_TRUE(ClosedPumping(server.Get()));
}

// End while the client both sends and reads, the relay's socket holding
// much for it: every byte the history records as sent to the client reaches
// it, then the end of the connection, and the connection is not reset
// (a reset would throw away what the relay's socket still held for it).
// The client stops sending when it has read the end, as a client does, and
// reads slowly enough (8 MB/s) to need more than a quarter of a second for
// what the socket holds.
TEST_F(RelaySessionTest, EndWhileAPeerStillSendsDeliversWhatWasSentToIt)
{
    doc.m_bVerbose = TRUE;  // each piece written to a socket is recorded as sent
    doc.m_bUseBreakChar = FALSE;
    ASSERT_TRUE(Start(true, true));
    const std::string answer(16 << 20, 'a');
    std::thread answering([&] { SendAllBlocking(server.Get(), answer); });
    // The server reads what the client sends, as the client reads the answer.
    std::thread draining([&] {
        char buf[65536];
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd pfd{server.Get(), POLLIN, 0};
            if (::poll(&pfd, 1, 100) > 0 && ::recv(server.Get(), buf, sizeof buf, MSG_DONTWAIT) == 0)
                break;
        }
    });
    std::atomic<bool> bEnded{false};  // the client has read the end of the connection
    std::atomic<bool> bReset{false};
    std::string strReceived;
    std::atomic<std::size_t> nReceived{0};
    // A slow reader: the relay's socket holds much for it at any time.
    // (16 KiB every 2 ms.)
    std::thread reading([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        char buf[16384];
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd pfd{client.Get(), POLLIN, 0};
            if (::poll(&pfd, 1, 100) <= 0)
                continue;
            const ssize_t r = ::recv(client.Get(), buf, sizeof buf, MSG_DONTWAIT);
            if (r > 0) {
                strReceived.append(buf, static_cast<size_t>(r));
                nReceived = strReceived.size();
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                continue;
            bReset = r < 0 && errno == ECONNRESET;
            break;
        }
        bEnded = true;
    });
    std::thread sending([&] {
        const std::string block(16 << 10, 'c');
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!bEnded && std::chrono::steady_clock::now() < deadline) {
            pollfd pfd{client.Get(), POLLOUT, 0};
            if (::poll(&pfd, 1, 10) > 0 && (pfd.revents & (POLLERR | POLLHUP)))
                break;
            if (::send(client.Get(), block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 &&
                errno != EAGAIN && errno != EWOULDBLOCK)
                break;
        }
        ::shutdown(client.Get(), SHUT_WR);
    });
    // (A failed wait still ends the session below, which ends the threads.)
    EXPECT_TRUE(PumpUntil([&] { return nReceived.load() >= (1u << 20); }, 20000));
    EndConnection(doc);
    EXPECT_FALSE(doc.m_bConnected);
    reading.join();
    sending.join();
    ::shutdown(server.Get(), SHUT_RDWR);
    answering.join();
    draining.join();

    EXPECT_FALSE(bReset) << "the client's connection was reset";
    // A piece cut short by the stop is an error, and reached the client in
    // part at most.
    const std::string strSent = Concat(EK_SENT_TO_CLIENT);
    const std::vector<std::string> pieces = Pieces(EK_SENT_TO_CLIENT);
    ASSERT_FALSE(pieces.empty());
    if (Count(EK_ERROR) > 0)
        EXPECT_GE(strReceived.size(), strSent.size() - pieces.back().size());
    else
        EXPECT_EQ(strReceived.size(), strSent.size());
    EXPECT_EQ(strReceived, strSent.substr(0, strReceived.size()));
}

// A server that answers before it reads the whole request, and reads no more
// of it meanwhile (an early error reply to a large upload): its answer
// reaches the client although the server's worker cannot send it the rest of
// the upload. The worker goes on receiving while it waits for its socket to
// take data again.
TEST_F(RelaySessionTest, AnswerOfAServerThatStoppedReadingGetsThrough)
{
    doc.m_bUseBreakChar = FALSE;
    ASSERT_TRUE(Start(true, true));
    const std::string upload(32 << 20, 'u');
    std::thread uploading([&] { SendAllBlocking(client.Get(), upload); });
    // The upload fills the server's socket and waits in the relay.
    uploading.join();
    const std::string answer = "HTTP/1.1 413 Payload Too Large\r\n\r\n";
    ASSERT_TRUE(SendAllBlocking(server.Get(), answer));
    EXPECT_EQ(ReadPumping(client.Get(), answer.size(), 10000), answer);
    ::shutdown(server.Get(), SHUT_RDWR);
    EndConnection(doc);
}
