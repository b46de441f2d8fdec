// Socket notifications of the TCP relay, delivered on the window thread.
//
// A socket is registered for one notification message and an event mask
// (accept, or read and close). Readiness is watched through one epoll set
// whose descriptor sits in a QSocketNotifier, so the notifications arrive in
// the Qt event loop of the thread that registered the first socket (the
// window thread of the desktop program, or the main thread of the command
// line), and are handed to the handler installed for the message.
//
// A read-and-close registration is woken only by the peer's close (or an
// error): the worker of the socket waits for arrivals on the socket itself,
// so relayed data never takes a detour through the window thread. A
// readable socket delivers FD_READ (which sets the worker's work event) while
// data is still waiting, and FD_CLOSE once the worker has read everything;
// whether data is waiting is told with a one-byte MSG_PEEK, which leaves it
// in place: the window thread never reads relayed bytes. The close
// notification comes only once; the registration ends with it.
//
// Every registration is one-shot: after a notification the socket is not
// watched again until it is re-armed. The worker of a read-and-close
// registration re-arms it (RearmSocketNotification) just before it goes back
// to sleep; an accept registration is re-armed as soon as its handler
// returns.
#pragma once

#include "app/resource.h"
#include "net/Sock.h"

// Notification messages.
enum : UINT {
    WM_ACCEPT_EVENT = 1029,         // listening socket: a client is waiting
    WM_SERVER_SOCKET_EVENT = 1030,  // socket connected to the server
    WM_CLIENT_SOCKET_EVENT = 1031,  // accepted client socket
};

// Event codes, carried in the low 16 bits of a notification's parameter.
enum : unsigned {
    FD_READ = 1,
    FD_ACCEPT = 8,
    FD_CLOSE = 32,
};

using SocketNotificationHandler = void (*)(UINT nMsg, unsigned lParam);

// Installs the handler of a message (window thread).
void SetSocketNotificationHandler(UINT nMsg, SocketNotificationHandler pfnHandler);

// Registers s for message nMsg with the event mask (FD_ACCEPT, or
// FD_READ | FD_CLOSE); a socket has at most one registration, a second call
// replaces the first. Window thread only. 0 on success, -1 on failure (no
// event loop, or the socket cannot be watched).
int SelectSocketNotification(SOCKET s, UINT nMsg, unsigned lEvent);
// Ends the registration of s, if any; no notification for it is delivered
// afterwards, including one already waiting. Window thread only. Call it
// before the socket is closed.
void CancelSocketNotification(SOCKET s);
// Watches s again after a notification (any thread). Does nothing when s is
// not registered or was not notified since it was last armed.
void RearmSocketNotification(SOCKET s);
// Queues a notification from any thread; it is delivered on the window thread
// after the ones already waiting, like a posted window message. It is dropped
// when the socket registered for nMsg is no longer the one (or none) that was
// registered when it was posted: it was meant for a session that has ended.
void PostSocketNotification(UINT nMsg, unsigned lParam);
// Whether s is registered.
bool IsSocketNotificationActive(SOCKET s);
