// Starting and ending a relayed connection, and the handlers of the socket
// notifications. Window thread only.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <mutex>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>

#include "relay/RelayDialogs.h"
#include "relay/RelayState.h"
#include "relay/SocketNotifier.h"
#include "session/FrontEnd.h"
#include "session/RunningClock.h"

CRelayState& RelayState()
{
    static CRelayState state;
    return state;
}

RelayHooks& GetRelayHooks()
{
    static RelayHooks hooks;
    return hooks;
}

bool IsRelayEnding()
{
    return RelayState().bEnding;
}

CNoKeepAliveRestart::CNoKeepAliveRestart() : m_bWasSet(RelayState().bNoRestart)
{
    RelayState().bNoRestart = true;
}

CNoKeepAliveRestart::~CNoKeepAliveRestart()
{
    RelayState().bNoRestart = m_bWasSet;
}

namespace {

// How long data waiting for a peer may stand still after the other peer
// closed before the session ends without it (at least; a longer time wait
// counts instead).
constexpr int kDeliveryStallMs = 1000;
// The most that one pass of a close handler's wait counts towards its limit:
// a longer pass means the process was stopped or starved meanwhile.
constexpr auto kMaxWaitStep = std::chrono::milliseconds(100);

void DispatchNotification(UINT nMsg, unsigned lParam)
{
    if (!g_pDoc)
        return;
    switch (nMsg) {
    case WM_ACCEPT_EVENT: OnAcceptEvent(*g_pDoc, lParam); break;
    case WM_SERVER_SOCKET_EVENT: OnServerSocketEvent(*g_pDoc, lParam); break;
    case WM_CLIENT_SOCKET_EVENT: OnClientSocketEvent(*g_pDoc, lParam); break;
    default: break;
    }
}

void InstallHandlers()
{
    g_pfnJoinWorkers = JoinRelayWorkers;
    SetSocketNotificationHandler(WM_ACCEPT_EVENT, DispatchNotification);
    SetSocketNotificationHandler(WM_SERVER_SOCKET_EVENT, DispatchNotification);
    SetSocketNotificationHandler(WM_CLIENT_SOCKET_EVENT, DispatchNotification);
}

HistoryEvent* MakeStatusEvent(std::uint32_t kind, std::string strText)
{
    auto* p = new (std::nothrow) HistoryEvent;
    if (p) {
        p->m_kind = kind;
        p->m_strText = std::move(strText);
    }
    return p;
}

void CloseSocket(SOCKET& field)
{
    const SOCKET s = ExchangeSocket(field, INVALID_SOCKET);
    if (s != INVALID_SOCKET) {
        CancelSocketNotification(s);
        SockClose(s);
    }
}

// Ends listening after a failed start: the listening socket, the client it
// gave, and the clients accepted in keep-alive mode and still waiting, whose
// serving ends with it (as those still in the listening socket's queue are
// refused when it closes). Left open, they would stay connected and unserved
// until a later start, or for good if keep-alive is switched off meanwhile.
void StopListening(CMidwireDoc& doc)
{
    CloseSocket(doc.m_hListenSocket);
    CloseSocket(doc.m_hClientSocket);
    for (const SOCKET s : doc.m_pendingAccepts)
        SockClose(s);
    doc.m_pendingAccepts.clear();
}

// Asks a side's worker to stop. Its socket is no longer watched from here
// on (the worker closes it), nor, without keep-alive, the listening socket
// that the client worker closes too.
void RequestStop(CMidwireDoc& doc, ERelaySide side, bool bWorkFirst)
{
    CRelaySideState& st = RelayState().side[side];
    CancelSocketNotification(LoadSocket(SideSocket(doc, side)));
    if (side == CLIENT_SIDE && !doc.m_bKeepAlive)
        CancelSocketNotification(LoadSocket(doc.m_hListenSocket));
    CEvent& evWork = SideWorkEvent(doc, side);
    if (bWorkFirst)
        evWork.SetEvent();
    st.bStopRequested.store(true, std::memory_order_release);
    SideStopEvent(doc, side).SetEvent();
    evWork.SetEvent();
}

// Polls a side's done flag up to nRetries times, dispatching waiting window
// messages at each poll so that the window stays responsive. Between polls
// it sleeps at most a tenth of a millisecond, woken as soon as the worker
// reports.
void WaitWorkerDone(CMidwireDoc& doc, ERelaySide side, int nRetries)
{
    std::atomic<BOOL>& bDone = SideDoneFlag(doc, side);
    CRelaySideState& st = RelayState().side[side];
    for (int i = 0; i < nRetries && !bDone.load(); ++i) {
        if (g_pMainFrame)
            g_pMainFrame->PumpMessages();
        if (bDone.load())
            break;
        pollfd pfd{st.evDone.GetFd(), POLLIN, 0};
        const timespec ts{0, 100 * 1000};
        ::ppoll(&pfd, 1, &ts, nullptr);
    }
}

// Joins a side's earlier worker before anything of its side is reused. A
// worker that End gave up waiting for has been asked to stop and ends on
// its own; one that was never asked is asked now.
void JoinWorker(CMidwireDoc& doc, ERelaySide side)
{
    CRelaySideState& st = RelayState().side[side];
    if (!st.thread.joinable())
        return;
    if (!SideDoneFlag(doc, side).load() && !st.bStopRequested.load())
        RequestStop(doc, side, true);
    st.thread.join();
}

// Starts a side's worker; false, with the system's reason in strError, when
// the system gives no thread (out of processes or memory).
bool StartWorker(CMidwireDoc& doc, ERelaySide side, std::string& strError)
{
    CRelaySideState& st = RelayState().side[side];
    SideWorkEvent(doc, side).ResetEvent();
    SideStopEvent(doc, side).ResetEvent();
    st.evDone.ResetEvent();
    st.bStopRequested.store(false);
    st.bWakePending.store(false);
    st.bPeerCloseRouted.store(false);
    st.bSendShut.store(false);
    SideDoneFlag(doc, side).store(FALSE);
    CMidwireDoc* pDoc = &doc;
    try {
        st.thread = StartWorkerThread(side == SERVER_SIDE ? ServerWorker : ClientWorker, pDoc);
    } catch (const std::system_error& e) {
        strError = e.code().message();
        return false;
    }
    // A read notification taken before the events were reset is not lost:
    // the socket is watched again, and data already waiting is notified anew.
    RearmSocketNotification(LoadSocket(SideSocket(doc, side)));
    return true;
}

// Registers an accepted client socket; false (the socket closed) when it
// cannot be watched.
bool SelectClient(SOCKET s)
{
    return SelectSocketNotification(s, WM_CLIENT_SOCKET_EVENT, FD_READ | FD_CLOSE) != -1;
}

void RecordClientConnect(CMidwireDoc& doc, const char* pszSuffix)
{
    HistoryEvent* p =
        MakeStatusEvent(EK_CONNECT_CLIENT, FormatMessageText(IDS_ACCEPTED_CONNECTION, doc.m_strClientHost,
                                                             doc.m_strListenPort) +
                                               pszSuffix);
    if (p)
        doc.RecordEvent(p, FALSE);
}

BOOL StartConnectionBody(CMidwireDoc& doc)
{
    if (doc.m_bAcceptConnections) {
        if (!doc.m_bKeepAlive || LoadSocket(doc.m_hListenSocket) == INVALID_SOCKET) {
            const SOCKET hListen = SockListen(doc.m_strListenPort);
            if (hListen == INVALID_SOCKET) {
                AfxMessageBox(FormatMessageText(IDS_LISTEN_FAILED, doc.m_strListenPort));
                return FALSE;
            }
            StoreSocket(doc.m_hListenSocket, hListen);
            if (SelectSocketNotification(hListen, WM_ACCEPT_EVENT, FD_ACCEPT) == -1) {
                AfxMessageBox(FormatMessageText(IDS_SELECT_LISTEN_FAILED, doc.m_strListenPort));
                CloseSocket(doc.m_hListenSocket);
                return FALSE;
            }
        }
        if (doc.m_bKeepAlive && !doc.m_pendingAccepts.empty())
            TakePendingClient(doc, " (From accept function)");
        if (LoadSocket(doc.m_hClientSocket) == INVALID_SOCKET) {
            const int nResult = g_pMainFrame ? g_pMainFrame->DoModal(IDD_WAIT_ACCEPT, &doc) : IDCANCEL;
            g_pWaitAcceptDlg = nullptr;
            if (nResult != IDOK || LoadSocket(doc.m_hClientSocket) == INVALID_SOCKET) {
                // Listening ends with this message: a client that connects
                // while it is shown is not accepted for a session that will
                // not run.
                CancelSocketNotification(LoadSocket(doc.m_hListenSocket));
                AfxMessageBox(FormatMessageText(IDS_ACCEPT_FAILED, doc.m_strListenPort));
                // A client accepted but not registered is of no use either.
                StopListening(doc);
                return FALSE;
            }
        }
    }
    if (doc.m_bConnectToHost) {
        SOCKET hServer = SockConnect(doc.m_strServerHost, doc.m_strServerPort);
        // A server that is the listening port itself would send the relayed
        // data back in as a new client: in keep-alive mode each session would
        // serve the connection of the one before, without end.
        if (doc.m_bAcceptConnections && SockConnectedToListener(hServer, LoadSocket(doc.m_hListenSocket))) {
            SockClose(hServer);
            hServer = INVALID_SOCKET;
        }
        if (hServer == INVALID_SOCKET) {
            AfxMessageBox(FormatMessageText(IDS_CONNECT_SERVER_FAILED, doc.m_strServerHost, doc.m_strServerPort));
            if (doc.m_bAcceptConnections)
                StopListening(doc);
            return FALSE;
        }
        StoreSocket(doc.m_hServerSocket, hServer);
        if (SelectSocketNotification(hServer, WM_SERVER_SOCKET_EVENT, FD_READ | FD_CLOSE) == -1) {
            AfxMessageBox(FormatMessageText(IDS_SELECT_SERVER_FAILED, doc.m_strServerHost, doc.m_strServerPort));
            CloseSocket(doc.m_hServerSocket);
            if (doc.m_bAcceptConnections)
                StopListening(doc);
            return FALSE;
        }
        if (HistoryEvent* p = MakeStatusEvent(
                EK_CONNECT_SERVER, FormatMessageText(IDS_CONNECTED_TO, doc.m_strServerHost, doc.m_strServerPort))) {
            doc.ShowThenRecord(p);
        }
    }
    std::string strError;
    const bool bStarted = (!doc.m_bAcceptConnections || StartWorker(doc, CLIENT_SIDE, strError)) &&
                          (!doc.m_bConnectToHost || StartWorker(doc, SERVER_SIDE, strError));
    if (!bStarted) {
        // A session without both its workers would relay one way only: a
        // worker that started is stopped again, and both connections close.
        JoinRelayWorkers(doc);
        CloseSocket(doc.m_hServerSocket);
        if (doc.m_bAcceptConnections)
            StopListening(doc);
        AfxMessageBox(FormatMessageText(IDS_START_WORKER_FAILED, strError));
        return FALSE;
    }
    doc.m_bConnected = TRUE;
    return TRUE;
}

// Stops both workers, ends the session and, in keep-alive mode, serves the
// next client.
void EndConnectionBody(CMidwireDoc& doc)
{
    CRelayState& relay = RelayState();
    relay.bEnding = true;
    if (doc.m_bConnectToHost) {
        RequestStop(doc, SERVER_SIDE, true);
        WaitWorkerDone(doc, SERVER_SIDE, doc.m_nServerWaitRetries);
    }
    if (doc.m_bAcceptConnections) {
        RequestStop(doc, CLIENT_SIDE, true);
        WaitWorkerDone(doc, CLIENT_SIDE, doc.m_nClientWaitRetries);
    }
    doc.m_bConnected = FALSE;
    relay.bEnding = false;
    relay.bEndRequested = false;
    RelayHooks& hooks = GetRelayHooks();
    if (doc.m_bKeepAlive && doc.m_bAcceptConnections && !relay.bNoRestart &&
        (!hooks.keepServing || hooks.keepServing()))
        StartConnection(doc);
    if (!doc.m_bConnected && hooks.ended)
        hooks.ended();
}

// One step of a wait on the window thread: waiting window messages are
// dispatched, then a millisecond passes.
void PumpThenPause()
{
    if (g_pMainFrame)
        g_pMainFrame->PumpMessages();
    const timespec ts{0, 1000 * 1000};
    ::ppoll(nullptr, 0, &ts, nullptr);
}

// Whether a side's peer is still connected and has sent nothing more: then
// the close being handled is one that a playback posted where the recording
// closed, not the peer's own.
bool PeerConnectedAndQuiet(CMidwireDoc& doc, ERelaySide side)
{
    const SOCKET s = LoadSocket(SideSocket(doc, side));
    char ch;
    return s != INVALID_SOCKET &&
           ::recv(s, &ch, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

// A pause of a close handler. Window messages are dispatched meanwhile: the
// window stays responsive, and an End (or, without a window, a termination
// signal) cuts the pause short, as it does the handler's other waits. A time
// wait of many seconds would otherwise hold up the End for twice as long.
void PauseUnlessEnded(int nMs)
{
    if (nMs <= 0)
        return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (!RelayState().bEndRequested && std::chrono::steady_clock::now() < deadline)
        PumpThenPause();
}

// After a peer's close, its worker still reads what the peer sent last and
// routes the piece pending at a break character; it is stopped only once it
// has done so, or when it has not managed within the time allowed.
void WaitCloseRouted(CMidwireDoc& doc, ERelaySide side, int nTimeWait)
{
    CRelaySideState& st = RelayState().side[side];
    // A posted close: there is nothing to wait for.
    if (LoadSocket(SideSocket(doc, side)) == INVALID_SOCKET || PeerConnectedAndQuiet(doc, side))
        return;
    const auto limit = std::chrono::milliseconds(std::max(nTimeWait, kDeliveryStallMs));
    CRunningClock clock(kMaxWaitStep);
    while (!st.bPeerCloseRouted.load(std::memory_order_acquire) && !SideDoneFlag(doc, side).load() &&
           !RelayState().bEndRequested && clock.Tick() < limit) {
        PumpThenPause();
    }
}

// Whether data routed to a side's peer still waits: queued, carried, or in
// the hands of a worker that is sending right now.
bool HasUnsentData(CMidwireDoc& doc, ERelaySide side)
{
    const EventQueue& queue = side == SERVER_SIDE ? doc.m_toServer : doc.m_toClient;
    if (!queue.IsEmpty())
        return true;
    CRelaySideState& st = RelayState().side[side];
    std::unique_lock<std::mutex> lock(st.sendLock, std::try_to_lock);
    return !lock.owns_lock() || st.pCarry != nullptr;
}

// Bytes written to a side's socket that its peer has not taken yet, or -1.
// The worker closes the socket only when it ends, which the caller's loop
// sees through the done flag; a socket closed in between merely fails here.
int BytesInSocket(CMidwireDoc& doc, ERelaySide side)
{
    return SockUnsentBytes(LoadSocket(SideSocket(doc, side)));
}

// Data on its way to a side's peer, watched while the window thread waits:
// it moves while a worker writes to the socket or the peer takes from the
// socket's buffer. Time counts only while the process runs: a peer stopped
// together with it (a suspended job) has had no chance to take anything
// meanwhile.
class CDeliveryWatch {
public:
    CDeliveryWatch(CMidwireDoc& doc, ERelaySide side, int nTimeWait)
        : m_doc(doc), m_side(side), m_st(RelayState().side[side]),
          m_stall(std::max(nTimeWait, kDeliveryStallMs)),
          m_nLastSent(m_st.nBytesSent.load(std::memory_order_relaxed)), m_nLastInSocket(BytesInSocket(doc, side)),
          m_sinceMove(kMaxWaitStep)
    {
    }

    // What the socket held for the peer when last looked at.
    int LastInSocket() const { return m_nLastInSocket; }

    // Lets the window thread work for a moment, then looks again; false once
    // nothing has moved for the time allowed.
    bool PumpWhileMoving()
    {
        PumpThenPause();
        const std::uint64_t nSent = m_st.nBytesSent.load(std::memory_order_relaxed);
        const int nInSocket = BytesInSocket(m_doc, m_side);
        if (nSent != m_nLastSent || nInSocket != m_nLastInSocket) {
            m_nLastSent = nSent;
            m_nLastInSocket = nInSocket;
            m_sinceMove.Restart();
            return true;
        }
        return m_sinceMove.Tick() < m_stall;
    }

private:
    CMidwireDoc& m_doc;
    const ERelaySide m_side;
    CRelaySideState& m_st;
    const std::chrono::milliseconds m_stall;
    std::uint64_t m_nLastSent;
    int m_nLastInSocket;
    CRunningClock m_sinceMove;
};

// After one peer closed, what it sent may still be on its way to the other
// peer, who may read more slowly than it was sent. The session waits while
// that data moves, so that the other peer gets all of it; a peer that takes
// nothing for a while is given up on, as End gives up on it. The data moves
// while the worker writes to the socket or the peer takes from the socket's
// buffer: a worker waiting for room in a full buffer writes nothing until
// the peer has taken a good part of it, which takes a slow reader longer
// than the time allowed. End cuts the wait short.
void WaitForDelivery(CMidwireDoc& doc, ERelaySide side, int nTimeWait)
{
    // Bytes in the socket that the peer has not taken count as unsent: the
    // connection is closed only once the peer has them, as anything the peer
    // sends after the close makes the system reset the connection and throw
    // away what its buffer still holds.
    CDeliveryWatch watch(doc, side, nTimeWait);
    while (!SideDoneFlag(doc, side).load() && (HasUnsentData(doc, side) || watch.LastInSocket() > 0) &&
           !RelayState().bEndRequested && watch.PumpWhileMoving()) {
    }
}

// A peer that closed may have shut down only its sending side, and still
// read: many protocols end a request so (a client that sends its data and
// then waits for the answer to all of it). Once everything it sent has
// reached the other peer, the other peer is told that no more data comes
// (the relay shuts down its own sending side toward it), and its answer is
// relayed to the closed peer before the session ends. The session waits
// while that answer moves or until the other peer closes too; one that goes
// quiet without closing is given up on, as a slow reader is. This is done only
// when the closed peer's data is forwarded to a running other side, and
// not for a close that a playback posted (the peer has not ended its data).
void PassEndOfDataOn(CMidwireDoc& doc, ERelaySide side, int nTimeWait)
{
    CRelayState& relay = RelayState();
    const ERelaySide other = side == SERVER_SIDE ? CLIENT_SIDE : SERVER_SIDE;
    CRelaySideState& st = relay.side[side];
    CRelaySideState& ot = relay.side[other];
    const BOOL bHeld = LoadFlag(side == SERVER_SIDE ? doc.m_bHoldServerData : doc.m_bHoldClientData);
    if (!doc.m_bAcceptConnections || !doc.m_bConnectToHost || bHeld ||
        !st.bPeerCloseRouted.load(std::memory_order_acquire) || SideDoneFlag(doc, side).load())
        return;
    auto otherGone = [&] {
        return ot.bPeerCloseRouted.load(std::memory_order_acquire) || SideDoneFlag(doc, other).load() ||
               ot.bStopRequested.load(std::memory_order_acquire) || relay.bEndRequested;
    };
    if (otherGone())
        return;
    WaitForDelivery(doc, other, nTimeWait);
    const SOCKET s = LoadSocket(SideSocket(doc, other));
    // Data that the worker could not hand to the socket is not followed by
    // the end of data: the peer would take a cut request for a whole one.
    // (What the socket holds goes out before the end, in order.)
    if (otherGone() || s == INVALID_SOCKET || HasUnsentData(doc, other))
        return;
    // Nothing may be queued for the other side from here on (Send is
    // disabled by the flag); its worker keeps reading the answer.
    ot.bSendShut.store(true, std::memory_order_release);
    if (::shutdown(s, SHUT_WR) != 0)
        return;
    // The answer moves while it reaches the closed peer. A peer that has
    // closed altogether takes nothing (the sends to it fail), and one whose
    // answer is held, or waits at a break character, moves nothing either:
    // the session then ends after the quiet moment.
    CDeliveryWatch watch(doc, side, nTimeWait);
    while (!otherGone() && !SideDoneFlag(doc, side).load() && watch.PumpWhileMoving()) {
    }
    WaitForDelivery(doc, side, nTimeWait);
}

// The twin handlers of the server and client socket notifications.
void OnSideSocketEvent(CMidwireDoc& doc, ERelaySide side, unsigned lParam)
{
    CRelayState& relay = RelayState();
    CEvent& evWork = SideWorkEvent(doc, side);
    if ((lParam & 0xFFFF) == FD_READ) {
        evWork.SetEvent();
        return;
    }
    // The peer closed its connection.
    if (!doc.m_bConnected) {
        // During the start sequence the close of the side's new socket (whose
        // watch ended with it) waits until the session runs; any other close
        // belongs to a session that has already ended.
        const SOCKET s = LoadSocket(SideSocket(doc, side));
        if (relay.bStarting && s != INVALID_SOCKET && !IsSocketNotificationActive(s))
            relay.side[side].bCloseDeferred = true;
        return;
    }
    CancelSocketNotification(LoadSocket(SideSocket(doc, side)));
    const bool bServer = side == SERVER_SIDE;
    if (HistoryEvent* p = MakeStatusEvent(
            EK_WARNING, bServer ? FormatMessageText(IDS_SERVER_CLOSED, doc.m_strServerHost)
                                : FormatMessageText(IDS_CLIENT_CLOSED, doc.m_strClientHost)))
        doc.AddToHistory(p);
    if (relay.bEnding)
        return;  // the session is already being ended
    relay.bEnding = true;
    relay.bEndRequested = false;
    const int nTimeWait = bServer ? doc.m_nServerTimeWait : doc.m_nClientTimeWait;
    PauseUnlessEnded(nTimeWait);
    evWork.SetEvent();  // the worker reads what is still buffered
    PauseUnlessEnded(nTimeWait);
    WaitCloseRouted(doc, side, nTimeWait);
    // What was routed to this side's peer reaches it before its connection is
    // closed: a peer that has only shut down its sending direction still
    // reads, and a close that a playback posted comes after the data the
    // replay queued before it, as in the recording.
    WaitForDelivery(doc, side, nTimeWait);
    PassEndOfDataOn(doc, side, nTimeWait);
    RequestStop(doc, side, false);
    WaitWorkerDone(doc, side, bServer ? doc.m_nServerWaitRetries : doc.m_nClientWaitRetries);
    WaitForDelivery(doc, bServer ? CLIENT_SIDE : SERVER_SIDE, nTimeWait);
    EndConnectionBody(doc);
}

}  // namespace

void TakePendingClient(CMidwireDoc& doc, const char* pszSuffix)
{
    while (!doc.m_pendingAccepts.empty()) {
        const SOCKET s = doc.m_pendingAccepts.front();
        doc.m_pendingAccepts.pop_front();
        StoreSocket(doc.m_hClientSocket, s);
        if (!SelectClient(s)) {
            SockClose(s);
            StoreSocket(doc.m_hClientSocket, INVALID_SOCKET);
            continue;
        }
        doc.m_strClientHost = SockPeerName(s);
        RecordClientConnect(doc, pszSuffix);
        return;
    }
}

void JoinRelayWorkers(CMidwireDoc& doc)
{
    JoinWorker(doc, CLIENT_SIDE);
    JoinWorker(doc, SERVER_SIDE);
}

BOOL StartConnection(CMidwireDoc& doc)
{
    InstallHandlers();
    CRelayState& relay = RelayState();
    // Earlier workers end before any socket, pending piece or queue of their
    // side is used again.
    JoinRelayWorkers(doc);
    // What the last session left unsent belonged to its peers: a new session,
    // a keep-alive one included, must not send it to the new ones. The events
    // stay in the history; replayed ones, owned by the queue, are freed. (Each
    // worker has recorded its pending piece when it ended.)
    doc.ReleaseUnsentReplays();
    doc.m_toServer.RemoveAll(false);
    doc.m_toClient.RemoveAll(false);
    relay.side[SERVER_SIDE].bCloseDeferred = false;
    relay.side[CLIENT_SIDE].bCloseDeferred = false;
    const bool bWasStarting = relay.bStarting;
    relay.bStarting = true;
    const BOOL bStarted = StartConnectionBody(doc);
    relay.bStarting = bWasStarting;
    if (bStarted) {
        if (relay.side[SERVER_SIDE].bCloseDeferred)
            PostSocketNotification(WM_SERVER_SOCKET_EVENT, FD_CLOSE);
        if (relay.side[CLIENT_SIDE].bCloseDeferred)
            PostSocketNotification(WM_CLIENT_SOCKET_EVENT, FD_CLOSE);
    }
    relay.side[SERVER_SIDE].bCloseDeferred = false;
    relay.side[CLIENT_SIDE].bCloseDeferred = false;
    return bStarted;
}

void EndConnection(CMidwireDoc& doc)
{
    // An End while a close handler runs (from a nested message loop) ends the
    // handler's waits, and the handler then ends the session; a second End
    // while one runs has nothing left to do.
    CRelayState& relay = RelayState();
    if (relay.bEnding) {
        relay.bEndRequested = true;
        return;
    }
    EndConnectionBody(doc);
}

void OnAcceptEvent(CMidwireDoc& doc, unsigned)
{
    const SOCKET hListen = LoadSocket(doc.m_hListenSocket);
    if (hListen == INVALID_SOCKET)
        return;
    if (doc.m_bKeepAlive) {
        // Served later by the wait dialog's timer or the next start.
        const SOCKET s = SockAccept(hListen);
        if (s != INVALID_SOCKET)
            doc.m_pendingAccepts.push_back(s);
        return;
    }
    if (LoadSocket(doc.m_hClientSocket) != INVALID_SOCKET) {
        // One client per session: the newcomer is named and turned away.
        const SOCKET s = SockAccept(hListen);
        if (s == INVALID_SOCKET) {
            AfxMessageBox(FormatMessageText(IDS_NEW_CONNECTION_ATTEMPTED, doc.m_strListenPort, "Unknown"));
        } else {
            const std::string strHost = SockPeerName(s);
            AfxMessageBox(FormatMessageText(IDS_NEW_CONNECTION_ATTEMPTED, doc.m_strListenPort, strHost));
            SockClose(s);
        }
        return;
    }
    const SOCKET s = SockAccept(hListen);
    if (s == INVALID_SOCKET) {
        if (g_pWaitAcceptDlg)
            g_pWaitAcceptDlg->EndDialog(IDCANCEL);
        return;
    }
    StoreSocket(doc.m_hClientSocket, s);
    if (!SelectClient(s)) {
        if (g_pWaitAcceptDlg)
            g_pWaitAcceptDlg->EndDialog(IDCANCEL);
        return;
    }
    doc.m_strClientHost = SockPeerName(s);
    if (g_pWaitAcceptDlg)
        g_pWaitAcceptDlg->EndDialog(IDOK);
    RecordClientConnect(doc, " (From accept event)");
}

void OnServerSocketEvent(CMidwireDoc& doc, unsigned lParam)
{
    OnSideSocketEvent(doc, SERVER_SIDE, lParam);
}

void OnClientSocketEvent(CMidwireDoc& doc, unsigned lParam)
{
    OnSideSocketEvent(doc, CLIENT_SIDE, lParam);
}

void ShutdownRelay(CMidwireDoc& doc)
{
    CRelayState& relay = RelayState();
    {
        const CNoKeepAliveRestart noRestart;
        if (doc.m_bConnected && !relay.bEnding)
            EndConnectionBody(doc);
    }
    for (ERelaySide side : {CLIENT_SIDE, SERVER_SIDE}) {
        CRelaySideState& st = relay.side[side];
        if (st.thread.joinable()) {
            if (!SideDoneFlag(doc, side).load())
                RequestStop(doc, side, true);
            st.thread.join();
        }
    }
    CloseSocket(doc.m_hListenSocket);
    CloseSocket(doc.m_hClientSocket);
    CloseSocket(doc.m_hServerSocket);
    for (const SOCKET s : doc.m_pendingAccepts)
        SockClose(s);
    doc.m_pendingAccepts.clear();
}
