// State of the relay that is not part of the session: the worker threads and
// the flags through which the window thread and the workers coordinate
// beyond the document's own events. Internal to the relay.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "relay/Relay.h"
#include "session/MidwireDoc.h"
#include "session/SyncObjects.h"

struct CRelaySideState {
    std::thread thread;
    // Set with the stop event; lets a worker leave a long receive phase or a
    // wait for a writable socket without waiting for its next wake.
    std::atomic<bool> bStopRequested{false};
    // A work event set by routing that the worker has not taken yet.
    std::atomic<bool> bWakePending{false};
    // Set by the worker right after its done flag, so that the window thread
    // can sleep between its polls of the flag.
    CEvent evDone;
    // A close notification that arrived while the session was starting; it
    // is delivered again once the session runs (window thread).
    bool bCloseDeferred = false;

    // Sending on this side's socket. The worker holds the lock for its whole
    // send phase and while it closes the socket; the other worker takes it
    // only with try_lock, to send a piece it has just routed straight to this
    // side's peer (see RouteReceivedData), so it never waits here.
    std::mutex sendLock;
    // Under sendLock: the worker runs and its socket may be written.
    bool bSendOpen = false;
    // Under sendLock: a piece sent straight through only in part; the worker
    // sends the rest from nCarryOffset before anything in its queue.
    HistoryEvent* pCarry = nullptr;
    std::int32_t nCarryOffset = 0;
    // Set by the worker once it has seen its peer's close and routed all the
    // peer sent, the pending piece too: the close handler stops the worker
    // only then (or after a bounded wait), so that no tail is lost.
    std::atomic<bool> bPeerCloseRouted{false};
    // Bytes written to this side's socket by either worker: lets the close
    // handler see whether data still waiting for this peer is moving.
    std::atomic<std::uint64_t> nBytesSent{0};
    // The sending direction of this side's connection has been shut down:
    // the other peer ended its data, and this peer was told so (window
    // thread). Nothing more may be sent to this side.
    std::atomic<bool> bSendShut{false};
};

struct CRelayState {
    // At program exit a worker that ended without being joined (its session
    // ended, no next one started) is let go rather than ending the program.
    ~CRelayState()
    {
        for (CRelaySideState& st : side) {
            if (st.thread.joinable())
                st.thread.detach();
        }
    }
    CRelaySideState side[2];
    bool bStarting = false;  // StartConnection is running (window thread)
    bool bEnding = false;    // EndConnection or a close handler is running
    // End came while a close handler was waiting for the workers or for data
    // to reach a peer: the handler's waits stop and the session ends at once
    // (window thread).
    bool bEndRequested = false;
    bool bNoRestart = false; // ShutdownRelay: no keep-alive restart
};

CRelayState& RelayState();

// Socket fields and flags that a worker and the window thread both use are
// read and written as atomics.
inline SOCKET LoadSocket(SOCKET& s)
{
    return std::atomic_ref<SOCKET>(s).load(std::memory_order_acquire);
}
inline void StoreSocket(SOCKET& s, SOCKET value)
{
    std::atomic_ref<SOCKET>(s).store(value, std::memory_order_release);
}
inline SOCKET ExchangeSocket(SOCKET& s, SOCKET value)
{
    return std::atomic_ref<SOCKET>(s).exchange(value, std::memory_order_acq_rel);
}
inline BOOL LoadFlag(BOOL& b)
{
    return std::atomic_ref<BOOL>(b).load(std::memory_order_relaxed);
}
inline void StoreFlag(BOOL& b, BOOL value)
{
    std::atomic_ref<BOOL>(b).store(value, std::memory_order_relaxed);
}

// The members of one side.
inline SOCKET& SideSocket(CMidwireDoc& doc, ERelaySide side)
{
    return side == SERVER_SIDE ? doc.m_hServerSocket : doc.m_hClientSocket;
}
inline CEvent& SideWorkEvent(CMidwireDoc& doc, ERelaySide side)
{
    return side == SERVER_SIDE ? doc.m_evServerWork : doc.m_evClientWork;
}
inline CEvent& SideStopEvent(CMidwireDoc& doc, ERelaySide side)
{
    return side == SERVER_SIDE ? doc.m_evServerStop : doc.m_evClientStop;
}
inline std::atomic<BOOL>& SideDoneFlag(CMidwireDoc& doc, ERelaySide side)
{
    return side == SERVER_SIDE ? doc.m_bServerWorkerDone : doc.m_bClientWorkerDone;
}
