// The TCP relay: starting and ending a relayed connection, the handlers of
// the socket notifications, the two relay workers, the routing of every
// received piece, and the manual transfer commands.
//
// Threads. Everything here runs on the window thread except the two workers
// (ServerWorker, ClientWorker) and RouteReceivedData, which runs on the
// worker that received the piece. The window thread and the workers meet only
// through the document's locked lists, the four worker events, the two done
// flags and the socket fields. A worker never waits for the window thread.
// Each worker waits on its own socket and its work event together. A piece a
// worker routes to the other side goes straight out on that side's socket
// when nothing waits before it there; the two workers meet for that only
// through the other side's send lock, which the routing worker merely tries
// (relay/RelayState.h).
//
// Where playback plugs in (the playback subsystem sets the two hooks below;
// while they are null, playback does nothing):
//  - g_pfnPlaybackSendStep(doc, side) is run by the replaying worker (the
//    server worker while m_bPlayAsClient is set, the client worker while
//    m_bPlayAsServer is set) on every pass, after the received data has been
//    routed and before the worker sends its queue. It moves the script's next
//    outgoing events into the side's send queue (AddToServer / AddToClient).
//    While the side replays, the worker records each event it sends.
//  - g_pfnCheckPlaybackReply(doc, side, event) is called by RouteReceivedData
//    for each piece received on the replaying side, before the piece gets
//    its kind; it must not keep or change the event.
//  - To close a side as if its peer had closed, post the close notification:
//    PostSocketNotification(WM_SERVER_SOCKET_EVENT or WM_CLIENT_SOCKET_EVENT,
//    FD_CLOSE) (relay/SocketNotifier.h); it is safe from a worker.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/resource.h"
#include "net/Sock.h"

class CCommandTable;
class CMidwireDoc;
class HistoryEvent;

// The two sides of a session: the server side is the connection made to a
// host ("Connect to host"), the client side the connection accepted on the
// listening port ("Accept connections").
enum ERelaySide : int {
    SERVER_SIDE = 0,
    CLIENT_SIDE = 1,
};

// One receive reads at most this many bytes.
constexpr int RELAY_RECEIVE_BUFFER = 0xFFFF;

// The longest piece a worker assembles at break characters, since data
// lengths are 32-bit. A pending piece that the next bytes would take past it
// is routed as it stands, and the stream goes on in a new piece, rather than
// the bytes beyond it being dropped. Tests lower it to reach it with little
// data; it must stay above the few receive buffers one chunk can fill.
extern std::int32_t g_nMaxPieceLength;

// --- Connection lifecycle (window thread) ---

// The start sequence: listen and wait for the client, connect to the server,
// register the sockets, start the client worker and then the server worker.
// Reports every failure in a message box and leaves m_bConnected clear with
// no worker running. Returns whether the session runs.
BOOL StartConnection(CMidwireDoc& doc);
// Stops both workers and ends the session; in keep-alive mode the next
// client is served at once. Also the End command.
void EndConnection(CMidwireDoc& doc);

// Handlers of the notification messages 1029 (accept), 1030 (server socket)
// and 1031 (client socket); lParam carries the event code in its low 16 bits.
void OnAcceptEvent(CMidwireDoc& doc, unsigned lParam);
void OnServerSocketEvent(CMidwireDoc& doc, unsigned lParam);
void OnClientSocketEvent(CMidwireDoc& doc, unsigned lParam);

// Joins the workers of an ended session that End gave up waiting for (they
// have been asked to stop and end on their own). Workers read the session's
// settings, so a command that changes them (Start, Options, Start PlayBack)
// calls this first; StartConnection does too.
void JoinRelayWorkers(CMidwireDoc& doc);

// Takes the first client of m_pendingAccepts that can be registered, makes it
// the session's client and records its connect event with the suffix.
void TakePendingClient(CMidwireDoc& doc, const char* pszSuffix);

// Ends whatever the relay still holds, for a program or test that is done
// with the document: ends a running session (without a keep-alive restart),
// joins the workers, closes the listening socket and the pending clients.
void ShutdownRelay(CMidwireDoc& doc);

// Whether EndConnection or a close handler is running.
bool IsRelayEnding();

// While one of these lives, a session that ends is not followed by the
// keep-alive restart: the program is closing and serves no further client.
class CNoKeepAliveRestart {
public:
    CNoKeepAliveRestart();
    ~CNoKeepAliveRestart();
    CNoKeepAliveRestart(const CNoKeepAliveRestart&) = delete;
    CNoKeepAliveRestart& operator=(const CNoKeepAliveRestart&) = delete;

private:
    bool m_bWasSet;
};

// Hooks of the program that runs the relay (the command line uses them; the
// desktop program leaves them empty).
struct RelayHooks {
    // Asked before a keep-alive restart; false ends the serving.
    std::function<bool()> keepServing;
    // Called when EndConnection returns with no session running.
    std::function<void()> ended;
};
RelayHooks& GetRelayHooks();

// --- Relay workers ---

// The thread functions; each returns 0 when its stop event was found set.
int ServerWorker(CMidwireDoc* pDoc);
int ClientWorker(CMidwireDoc* pDoc);

// --- Received-data routing (worker threads) ---

// Gives a received piece its kind, holds it or queues it for the other
// worker (and wakes that worker), and records it. Takes ownership of the
// event.
void RouteReceivedData(CMidwireDoc& doc, ERelaySide side, HistoryEvent* pEvent);

// Sets a side's work event. Routing skips the set while an earlier one has
// not been taken by the worker yet.
void WakeWorker(CMidwireDoc& doc, ERelaySide side);

// Playback hooks (see above).
extern void (*g_pfnCheckPlaybackReply)(CMidwireDoc& doc, ERelaySide side, HistoryEvent* pEvent);
extern void (*g_pfnPlaybackSendStep)(CMidwireDoc& doc, ERelaySide side);

// --- Manual transfer commands (window thread) ---

void OnGetFromClient(CMidwireDoc& doc);
void OnGetFromServer(CMidwireDoc& doc);
void OnSendToClient(CMidwireDoc& doc);
void OnSendToServer(CMidwireDoc& doc);
void OnStopWaitClient(CMidwireDoc& doc);
void OnStopWaitingServer(CMidwireDoc& doc);

// Start (Connect dialog, then StartConnection) and Connection Options.
void OnConnectionStart(CMidwireDoc& doc);
void OnConnectionOptions(CMidwireDoc& doc);

// Registers Start, End, Get, Send, Stop Wait and Options in the table.
void RegisterRelayCommands(CCommandTable& table, CMidwireDoc& doc);
