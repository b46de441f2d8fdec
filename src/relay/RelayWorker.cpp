// The two relay workers and the routing of received data.

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <vector>

#include "relay/BlockPool.h"
#include "relay/RelayState.h"
#include "relay/SocketNotifier.h"
#include "session/FrontEnd.h"
#include "session/Memory.h"
#include "views/DisplayTranslation.h"

void (*g_pfnCheckPlaybackReply)(CMidwireDoc& doc, ERelaySide side, HistoryEvent* pEvent) = nullptr;
void (*g_pfnPlaybackSendStep)(CMidwireDoc& doc, ERelaySide side) = nullptr;
std::int32_t g_nMaxPieceLength = 0x7FFFFFFF;

namespace {

// Events queued for one send are gathered into one sendmsg, up to these
// bounds; the bytes on the wire are the same as one send per event.
constexpr int SEND_BATCH_EVENTS = 256;
constexpr std::int64_t SEND_BATCH_BYTES = 1 << 20;
// Receive blocks kept ready for a worker whose chunks go into the history
// whole: 4 MiB, some milliseconds of a fast stream.
constexpr std::size_t RECEIVE_POOL_DEPTH = 64;
// Received bytes whose pieces are sent straight through in one call.
constexpr int THROUGH_BATCH_BYTES = 4 * RELAY_RECEIVE_BUFFER;
// Further receive buffers a streaming worker fills in the same call: one
// receive into four buffers gives the same pieces as four receives in a row.
constexpr int RECEIVE_EXTRA_BLOCKS = 3;
// The bytes a worker receives, or sends, in one pass before it turns to the
// other phase: a peer that keeps the socket full, or a queue that the other
// worker keeps filling, must not hold up the other direction of the side.
constexpr std::int64_t PHASE_TURN_BYTES = 4 << 20;

// What tells the two workers apart.
struct WorkerSide {
    ERelaySide side;
    unsigned char*& pPending;
    std::int32_t& nPending;
    HistoryEvent* (CMidwireDoc::*pfnTake)();
    std::uint32_t nVerboseKind;
    BOOL& bReplaying;
    std::uint32_t nReplayKind;  // replayed data queued by the playback's send step
    // The peer's host and port as they were when the worker started: once
    // End has given up waiting for a worker, the window thread may already
    // write the next session's into the document while this one still
    // names its own in its last messages.
    std::string strHost;
    std::string strPort;
    std::uint32_t nClosingKind;
    UINT nClosingText;
    const char* pszPieceSuffix;     // a piece cannot be assembled at a break character
    const char* pszRestSuffix;      // the rest of a chunk cannot be kept
    const char* pszChunkSuffix;     // a chunk cannot be copied
    const char* pszSendDataSuffix;  // sending a queued event's bytes fails
    const char* pszSendTextSuffix;  // sending the bytes made from its text fails
    const char* pszNoBytesSuffix;   // its text gives no bytes
};

WorkerSide MakeWorkerSide(CMidwireDoc& doc, ERelaySide side)
{
    if (side == SERVER_SIDE)
        return WorkerSide{side,
                          doc.m_pServerPending,
                          doc.m_nServerPending,
                          &CMidwireDoc::TakeToServer,
                          EK_SENT_TO_SERVER,
                          doc.m_bPlayAsClient,
                          EK_PLAYBACK_SENT_TO_SERVER,
                          doc.m_strServerHost,
                          doc.m_strServerPort,
                          EK_DISCONNECT_SERVER,
                          IDS_SERVER_CONNECTION_CLOSED,
                          " 2",
                          " 3",
                          " 8",
                          " 1",
                          " 2",
                          " 4"};
    return WorkerSide{side,
                      doc.m_pClientPending,
                      doc.m_nClientPending,
                      &CMidwireDoc::TakeToClient,
                      EK_SENT_TO_CLIENT,
                      doc.m_bPlayAsServer,
                      EK_PLAYBACK_SENT_TO_CLIENT,
                      doc.m_strClientHost,
                      doc.m_strListenPort,
                      EK_DISCONNECT_CLIENT,
                      IDS_CLIENT_CONNECTION_CLOSED,
                      " 5",
                      " 6",
                      " 9",
                      " 3",
                      " 4",
                      " 7"};
}

// The C++ parts of recording (a history entry, a row, an event's text)
// report a lack of memory by exception, which must not leave a worker's
// thread: it would end the whole program. Out of memory, a step is given up
// with what it could not hold, as a piece whose block cannot be allocated
// is, and the failure is noted for whoever ends the session.
template <class Fn>
void OutOfMemoryContained(Fn&& fn) noexcept
{
    try {
        fn();
    } catch (const std::bad_alloc&) {
        NoteOutOfMemory();
    }
}

HistoryEvent* NewEvent()
{
    return new (std::nothrow) HistoryEvent;
}

void RecordError(CMidwireDoc& doc, const std::string& strText)
{
    if (HistoryEvent* p = NewEvent()) {
        p->m_kind = EK_ERROR;
        p->m_strText = strText;
        doc.RecordEvent(p, LoadFlag(doc.m_bQuiet));
    }
}

void RecordAllocError(CMidwireDoc& doc, const char* pszSuffix)
{
    NoteOutOfMemory();
    RecordError(doc, std::string(LoadStringText(IDS_ALLOC_FAILED)) + pszSuffix);
}

// Routes a block as a new event, which takes it.
void RouteBlock(CMidwireDoc& doc, ERelaySide side, unsigned char* pBlock, std::int32_t nLength)
{
    HistoryEvent* p = NewEvent();
    if (!p) {
        NoteOutOfMemory();
        std::free(pBlock);
        return;
    }
    p->AdoptData(pBlock, nLength);
    RouteReceivedData(doc, side, p);
}

// Routes the pending piece as it stands when n more bytes would make it
// longer than a piece can be.
void RoutePendingAtLimit(CMidwireDoc& doc, WorkerSide& w, std::size_t n)
{
    if (w.nPending <= 0 || static_cast<std::int64_t>(w.nPending) + static_cast<std::int64_t>(n) <= g_nMaxPieceLength)
        return;
    unsigned char* pBlock = w.pPending;
    const std::int32_t nLength = w.nPending;
    w.pPending = nullptr;
    w.nPending = 0;
    RouteBlock(doc, w.side, pBlock, nLength);
}

// A chunk with the break character: every run up to and including a break
// character completes the pending piece, which is routed; the rest stays
// pending.
void HandleChunkWithBreak(CMidwireDoc& doc, WorkerSide& w, const unsigned char* pChunk, int n)
{
    const auto b = static_cast<unsigned char>(std::atomic_ref<char>(doc.m_chBreakChar).load(std::memory_order_relaxed));
    const unsigned char* pEnd = pChunk + n;
    const unsigned char* pRun = pChunk;
    while (pRun < pEnd) {
        const auto* pHit = static_cast<const unsigned char*>(std::memchr(pRun, b, static_cast<size_t>(pEnd - pRun)));
        if (!pHit)
            break;
        const auto nRun = static_cast<std::int32_t>(pHit - pRun + 1);
        RoutePendingAtLimit(doc, w, static_cast<std::size_t>(nRun));
        if (AppendBytes(w.pPending, w.nPending, pRun, nRun)) {
            unsigned char* pBlock = w.pPending;
            const std::int32_t nLength = w.nPending;
            w.pPending = nullptr;
            w.nPending = 0;
            RouteBlock(doc, w.side, pBlock, nLength);
        } else {
            RecordAllocError(doc, w.pszPieceSuffix);
            std::free(w.pPending);
            w.pPending = nullptr;
            w.nPending = 0;
        }
        pRun = pHit + 1;
    }
    if (pRun < pEnd) {
        RoutePendingAtLimit(doc, w, static_cast<std::size_t>(pEnd - pRun));
        if (!AppendBytes(w.pPending, w.nPending, pRun, static_cast<std::int32_t>(pEnd - pRun)))
            RecordAllocError(doc, w.pszRestSuffix);
    }
}

// A receive block that goes into the history gives back what its piece
// does not use, when that is more than a page or so.
unsigned char* ShrinkReceiveBlock(unsigned char* pBlock, int n)
{
    if (n < RELAY_RECEIVE_BUFFER - 4096) {
        if (auto* pShrunk = static_cast<unsigned char*>(std::realloc(pBlock, static_cast<size_t>(n))))
            return pShrunk;
    }
    return pBlock;
}

// A chunk without the break character becomes one event. The receive block
// itself is handed to the event when a fresh one can be had, which saves a
// copy; otherwise the bytes are copied as usual.
void HandleChunkWhole(CMidwireDoc& doc, WorkerSide& w, MallocPtr<unsigned char>& buffer, int n,
                      std::optional<CBlockPool>& pool)
{
    HistoryEvent* p = NewEvent();
    if (!p) {
        RecordAllocError(doc, w.pszChunkSuffix);
        return;
    }
    if (!pool)
        pool.emplace(RELAY_RECEIVE_BUFFER, RECEIVE_POOL_DEPTH);
    if (unsigned char* pFresh = pool->Take()) {
        unsigned char* pBlock = buffer.release();
        buffer.reset(pFresh);
        p->AdoptData(ShrinkReceiveBlock(pBlock, n), n);
        RouteReceivedData(doc, w.side, p);
        return;
    }
    if (AppendBytes(p->m_pData, p->m_nLength, buffer.get(), n)) {
        RouteReceivedData(doc, w.side, p);
        return;
    }
    NoteOutOfMemory();
    p->m_kind = EK_ERROR;
    p->m_strText = std::string(LoadStringText(IDS_ALLOC_FAILED)) + w.pszChunkSuffix;
    doc.RecordEvent(p, LoadFlag(doc.m_bQuiet));
}

// Fresh receive blocks a streaming worker reads into after its own buffer,
// each handed whole to the event of its piece.
class CReceiveStash {
public:
    CReceiveStash() = default;
    ~CReceiveStash()
    {
        for (unsigned char* p : m_blocks)
            std::free(p);
    }
    CReceiveStash(const CReceiveStash&) = delete;
    CReceiveStash& operator=(const CReceiveStash&) = delete;

    // Receives into buffer and then into the stash's blocks, as one receive
    // into each would. The result as SockReceive gives it.
    int Receive(SOCKET s, unsigned char* pBuffer, CBlockPool& pool)
    {
        iovec iov[1 + RECEIVE_EXTRA_BLOCKS];
        iov[0] = {pBuffer, RELAY_RECEIVE_BUFFER};
        int nIov = 1;
        for (unsigned char*& p : m_blocks) {
            if (!p)
                p = pool.Take();
            if (!p)
                break;
            iov[nIov++] = {p, RELAY_RECEIVE_BUFFER};
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(nIov);
        for (;;) {
            const ssize_t n = ::recvmsg(s, &msg, 0);
            if (n > 0)
                return static_cast<int>(n);
            if (n == 0)
                return -1;
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
        }
    }

    // The block that received the bytes after the first k buffers; the
    // stash no longer owns it.
    unsigned char* Release(int k)
    {
        unsigned char* p = m_blocks[static_cast<size_t>(k)];
        m_blocks[static_cast<size_t>(k)] = nullptr;
        return p;
    }

private:
    std::array<unsigned char*, RECEIVE_EXTRA_BLOCKS> m_blocks{};
};

// A send that failed, or that a stop cut short: the piece did not reach the
// peer whole, whatever the history says of it so far.
void RecordSendError(CMidwireDoc& doc, const WorkerSide& w, const char* pszSuffix)
{
    RecordError(doc, FormatMessageText(IDS_SEND_FAILED, w.strHost, w.strPort) + pszSuffix);
}

// The pause after a wait that failed for another reason than a signal.
void PauseAfterFailedWait()
{
    const timespec ts{0, 10 * 1000 * 1000};
    ::nanosleep(&ts, nullptr);
}

// Waits until the socket takes data again or a stop is requested. False
// when the worker is to stop.
// A worker that waits for its peer to take data goes on receiving from that
// peer meanwhile (below, with the receive phase): a peer that answers before
// it reads on, an early error reply to a large upload, would otherwise wait
// for ever for its answer to get through.
struct CBlockedReceiver;
thread_local CBlockedReceiver* t_pBlockedReceiver = nullptr;
bool ReceivesWhileBlocked(const CBlockedReceiver& rx, SOCKET s);
bool ReceiveWhileBlocked(CBlockedReceiver& rx);

bool WaitWritable(SOCKET s, CEvent& evStop, CRelaySideState& st)
{
    for (;;) {
        if (st.bStopRequested.load(std::memory_order_acquire)) {
            evStop.TryWait();
            return false;
        }
        CBlockedReceiver* pReceiver = t_pBlockedReceiver;
        const bool bReceive = pReceiver && ReceivesWhileBlocked(*pReceiver, s);
        pollfd fds[2] = {{s, static_cast<short>(bReceive ? POLLOUT | POLLIN : POLLOUT), 0},
                         {evStop.GetFd(), POLLIN, 0}};
        const int rc = ::poll(fds, 2, -1);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            // A wait that keeps failing (no memory for it) would otherwise
            // have the send retried at full speed.
            PauseAfterFailedWait();
            return true;  // let the next send report the failure
        }
        if (fds[1].revents & POLLIN) {
            if (evStop.TryWait())
                return false;
            continue;
        }
        if (fds[0].revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL))
            return true;
        if (bReceive && (fds[0].revents & POLLIN) && !ReceiveWhileBlocked(*pReceiver))
            return false;
    }
}

enum class ESendResult { Sent, Failed, Stopped };

// Sends all bytes, waiting while the socket is full.
ESendResult SendAll(SOCKET s, const unsigned char* pData, std::int32_t nLength, CEvent& evStop, CRelaySideState& st)
{
    std::int32_t nDone = 0;
    for (;;) {
        const int r = SockSend(s, pData + nDone, nLength - nDone);
        if (r < 0)
            return ESendResult::Failed;
        st.nBytesSent.fetch_add(static_cast<std::uint64_t>(r), std::memory_order_relaxed);
        nDone += r;
        if (nDone >= nLength)
            return ESendResult::Sent;
        if (!WaitWritable(s, evStop, st))
            return ESendResult::Stopped;
    }
}

bool StopFound(CEvent& evStop, CRelaySideState& st)
{
    return evStop.TryWait() || st.bStopRequested.load(std::memory_order_acquire);
}

// A place in a run of events whose bytes go out together: the event next to
// send and how much of it has gone already. Every event carries bytes.
class CGatherCursor {
public:
    explicit CGatherCursor(const std::vector<HistoryEvent*>& events) : m_events(events) {}

    bool Done() const { return m_nIndex >= m_events.size(); }
    std::size_t Index() const { return m_nIndex; }
    std::int32_t Offset() const { return m_nOffset; }
    // Steps past the current event, sent or not.
    void Skip()
    {
        ++m_nIndex;
        m_nOffset = 0;
    }

    // Sends what is left, up to SEND_BATCH_EVENTS events, in one call, and
    // steps past what went out. The call's result; nOffered is what it was
    // offered.
    ssize_t SendSome(SOCKET s, std::size_t& nOffered)
    {
        iovec iov[SEND_BATCH_EVENTS];
        int nIov = 0;
        nOffered = 0;
        for (std::size_t i = m_nIndex; i < m_events.size() && nIov < SEND_BATCH_EVENTS; ++i, ++nIov) {
            const std::int32_t nSkip = i == m_nIndex ? m_nOffset : 0;
            iov[nIov].iov_base = m_events[i]->m_pData + nSkip;
            iov[nIov].iov_len = static_cast<size_t>(m_events[i]->m_nLength - nSkip);
            nOffered += iov[nIov].iov_len;
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(nIov);
        const ssize_t r = ::sendmsg(s, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        for (auto nLeft = static_cast<std::int64_t>(std::max<ssize_t>(r, 0)); nLeft > 0 && !Done();) {
            const std::int64_t nRest = m_events[m_nIndex]->m_nLength - m_nOffset;
            if (nLeft < nRest) {
                m_nOffset += static_cast<std::int32_t>(nLeft);
                break;
            }
            nLeft -= nRest;
            Skip();
        }
        return r;
    }

private:
    const std::vector<HistoryEvent*>& m_events;
    std::size_t m_nIndex = 0;
    std::int32_t m_nOffset = 0;
};

// Sends a batch of events that all carry bytes with as few calls as the
// socket allows. A failure belongs to the event whose bytes were going out;
// it is recorded and the batch goes on with the next event. False when the
// worker is to stop.
bool SendBatch(CMidwireDoc& doc, WorkerSide& w, SOCKET s, std::vector<HistoryEvent*>& batch, CEvent& evStop,
               CRelaySideState& st)
{
    CGatherCursor cursor(batch);
    while (!cursor.Done()) {
        std::size_t nOffered = 0;
        const ssize_t r = cursor.SendSome(s, nOffered);
        if (r >= 0) {
            st.nBytesSent.fetch_add(static_cast<std::uint64_t>(r), std::memory_order_relaxed);
            continue;  // what remains is tried again at once; a full socket answers would-block
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!WaitWritable(s, evStop, st)) {
                if (cursor.Offset() > 0)
                    RecordSendError(doc, w, w.pszSendDataSuffix);
                return false;
            }
            continue;
        }
        RecordSendError(doc, w, w.pszSendDataSuffix);
        if (StopFound(evStop, st))
            return false;
        cursor.Skip();
    }
    return true;
}

// The send phase: everything queued for this worker's peer, oldest first.
// False when the worker is to stop.
bool SendPhase(CMidwireDoc& doc, WorkerSide& w, SOCKET s, CEvent& evStop, CRelaySideState& st)
{
    // Held for the whole phase: the other worker then sends nothing straight
    // through to this side, which keeps the order of the queue on the wire.
    std::lock_guard<std::mutex> sendLock(st.sendLock);
    if (HistoryEvent* pRest = st.pCarry) {
        // The rest of a piece that the other worker began to send.
        const std::int32_t nOffset = st.nCarryOffset;
        st.pCarry = nullptr;
        st.nCarryOffset = 0;
        const ESendResult result = SendAll(s, pRest->m_pData + nOffset, pRest->m_nLength - nOffset, evStop, st);
        if (result != ESendResult::Sent)
            RecordSendError(doc, w, w.pszSendDataSuffix);
        if (result == ESendResult::Stopped || (result == ESendResult::Failed && StopFound(evStop, st)))
            return false;
    }

    const BOOL bVerbose = LoadFlag(doc.m_bVerbose);
    const BOOL bQuiet = LoadFlag(doc.m_bQuiet);
    const BOOL bReplaying = LoadFlag(w.bReplaying);
    std::vector<HistoryEvent*> batch;
    HistoryEvent* pCarry = nullptr;
    std::int64_t nPhaseBytes = 0;
    for (;;) {
        if (!pCarry && nPhaseBytes >= PHASE_TURN_BYTES) {
            // The receive phase's turn; the rest of the queue is the next
            // pass's, which the work event starts without a wait.
            SideWorkEvent(doc, w.side).SetEvent();
            return true;
        }
        HistoryEvent* pEvent = pCarry ? pCarry : (doc.*w.pfnTake)();
        pCarry = nullptr;
        if (!pEvent)
            return true;

        if (!bVerbose && !bReplaying && pEvent->m_pData && pEvent->m_nLength > 0) {
            // Nothing is recorded per event on this path, so several events
            // can go out together.
            batch.clear();
            batch.push_back(pEvent);
            std::int64_t nBytes = pEvent->m_nLength;
            while (batch.size() < SEND_BATCH_EVENTS && nBytes < SEND_BATCH_BYTES) {
                HistoryEvent* pNext = (doc.*w.pfnTake)();
                if (!pNext)
                    break;
                if (!pNext->m_pData || pNext->m_nLength <= 0) {
                    pCarry = pNext;
                    break;
                }
                batch.push_back(pNext);
                nBytes += pNext->m_nLength;
            }
            if (!SendBatch(doc, w, s, batch, evStop, st))
                return false;
            nPhaseBytes += nBytes;
            continue;
        }

        if (bVerbose) {
            if (auto* pCopy = new (std::nothrow) HistoryEvent(*pEvent)) {
                pCopy->m_kind = w.nVerboseKind;
                doc.RecordEvent(pCopy, bQuiet);
            }
        }
        // Replayed data is recorded as it goes out. What the user sends by
        // hand meanwhile was recorded by its command already, and the
        // history holds each event once.
        if (bReplaying && pEvent->m_kind == w.nReplayKind)
            doc.RecordEvent(pEvent, bQuiet);
        const char* pszSuffix = w.pszSendDataSuffix;
        if (!pEvent->m_pData || pEvent->m_nLength <= 0) {
            std::int32_t nLength = 0;
            MallocPtr<unsigned char> bytes = DisplayTextToBytes(pEvent->m_strText, nLength);
            if (!bytes || nLength <= 0) {
                RecordAllocError(doc, w.pszNoBytesSuffix);
                continue;
            }
            pEvent->AdoptData(bytes.release(), nLength);
            pszSuffix = w.pszSendTextSuffix;
        }
        // A Verbose copy or a replay has been recorded as sent, so a send
        // that a stop cuts short is recorded like a failed one.
        const ESendResult result = SendAll(s, pEvent->m_pData, pEvent->m_nLength, evStop, st);
        if (result != ESendResult::Sent)
            RecordSendError(doc, w, pszSuffix);
        if (result == ESendResult::Stopped || (result == ESendResult::Failed && StopFound(evStop, st)))
            return false;
        nPhaseBytes += pEvent->m_nLength;
    }
}

// Pieces that the worker running on this thread routed to the other side
// while it handles one received chunk, to be sent straight through when the
// chunk is done (FlushThrough). Null on every other thread.
thread_local std::vector<HistoryEvent*>* t_pThrough = nullptr;

// Whether a piece routed to dest may go straight out on its socket: only
// where dest's worker would record nothing for the send (neither Verbose nor
// a replay on its side) and the piece carries bytes.
bool MayPassThrough(CMidwireDoc& doc, ERelaySide dest, const HistoryEvent* pEvent)
{
    BOOL& bReplaying = dest == SERVER_SIDE ? doc.m_bPlayAsClient : doc.m_bPlayAsServer;
    return !LoadFlag(doc.m_bVerbose) && !LoadFlag(bReplaying) && pEvent->m_pData && pEvent->m_nLength > 0;
}

// Sends the pieces of a chunk, already recorded, straight out on the other
// side's socket when nothing waits before them there: their bytes leave while
// they are still in this core's cache, with one call for many pieces, and the
// other worker need not wake for them. It never waits: a busy send lock or a
// queue or carried rest ahead of them leave the pieces to the other worker as
// before; of a socket that takes only part of them, the other worker sends
// the rest.
void FlushThrough(CMidwireDoc& doc, ERelaySide dest, std::vector<HistoryEvent*>& pieces)
{
    if (pieces.empty())
        return;
    CRelaySideState& st = RelayState().side[dest];
    EventQueue& queue = dest == SERVER_SIDE ? doc.m_toServer : doc.m_toClient;
    CGatherCursor cursor(pieces);
    bool bCarried = false;
    std::unique_lock<std::mutex> sendLock(st.sendLock, std::try_to_lock);
    const SOCKET s = LoadSocket(SideSocket(doc, dest));
    if (sendLock.owns_lock() && st.bSendOpen && !st.pCarry && !st.bStopRequested.load(std::memory_order_acquire) &&
        queue.IsEmpty() && s != INVALID_SOCKET) {
        while (!cursor.Done()) {
            std::size_t nOffered = 0;
            const ssize_t r = cursor.SendSome(s, nOffered);
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                break;  // full, or failing: the other worker sends (and records a failure)
            }
            st.nBytesSent.fetch_add(static_cast<std::uint64_t>(r), std::memory_order_relaxed);
            if (static_cast<size_t>(r) < nOffered)
                break;  // the socket is full
        }
        if (!cursor.Done() && cursor.Offset() > 0) {
            st.pCarry = pieces[cursor.Index()];
            st.nCarryOffset = cursor.Offset();
            cursor.Skip();
            bCarried = true;
        }
    }
    const std::size_t nIndex = cursor.Index();
    const bool bHandedOver = bCarried || nIndex < pieces.size();
    for (size_t i = nIndex; i < pieces.size(); ++i)
        queue.Add(pieces[i]);
    pieces.clear();
    if (sendLock.owns_lock())
        sendLock.unlock();
    if (bHandedOver)
        WakeWorker(doc, dest);
}

// Sleeps until there is work: the work event, or data (or the close) on the
// worker's own socket, which it then reads without waiting for a
// notification. Once the peer has closed, the socket would poll readable for
// good and is left out.
void SleepUntilWork(SOCKET s, bool bWatchSocket, CEvent& evWork, CRelaySideState& st)
{
    pollfd fds[2] = {{evWork.GetFd(), POLLIN, 0}, {bWatchSocket ? s : -1, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) >= 0)
            break;
        if (errno != EINTR) {
            // The wait itself failed (no memory for it): the worker makes a
            // pass as if woken, after a pause, rather than spinning on a
            // wait that fails at once each time.
            PauseAfterFailedWait();
            return;
        }
    }
    if (fds[0].revents != 0) {
        evWork.TryWait();
        st.bWakePending.exchange(false, std::memory_order_acq_rel);
    }
}

// What a worker keeps from one receive phase to the next.
struct CReceiveState {
    MallocPtr<unsigned char> buffer;
    std::optional<CBlockPool> pool;
    CReceiveStash stash;
    // A receive that filled every buffer says the peer streams: the next one
    // also fills the stash's blocks.
    bool bStreaming = false;
    // Pieces of the chunk at hand that may pass straight through.
    std::vector<HistoryEvent*> through;
};

enum class EReceiveEnd { Drained, PeerClosed, Stop };

// The receive phase: everything the peer has sent so far, cut into pieces
// and routed; pieces that may pass straight through to the other side go
// out a few chunks at a time.
EReceiveEnd ReceivePhase(CMidwireDoc& doc, WorkerSide& w, SOCKET s, CRelaySideState& st, CReceiveState& rs)
{
    const ERelaySide other = w.side == SERVER_SIDE ? CLIENT_SIDE : SERVER_SIDE;
    EReceiveEnd end = EReceiveEnd::Drained;
    int nThroughBytes = 0;
    std::int64_t nPhaseBytes = 0;
    while (rs.buffer) {
        if (st.bStopRequested.load(std::memory_order_acquire)) {
            end = EReceiveEnd::Stop;
            break;
        }
        const bool bBreak = LoadFlag(doc.m_bUseBreakChar);
        const bool bMulti = rs.bStreaming && !bBreak && rs.pool;
        const int n = bMulti ? rs.stash.Receive(s, rs.buffer.get(), *rs.pool)
                             : SockReceive(s, rs.buffer.get(), RELAY_RECEIVE_BUFFER);
        if (n == 0)
            break;
        if (n < 0) {
            end = EReceiveEnd::PeerClosed;
            break;
        }
        const int nFirst = std::min(n, RELAY_RECEIVE_BUFFER);
        if (bBreak)
            HandleChunkWithBreak(doc, w, rs.buffer.get(), nFirst);
        else
            HandleChunkWhole(doc, w, rs.buffer, nFirst, rs.pool);
        for (int nDone = nFirst, k = 0; nDone < n; ++k) {
            const int nPiece = std::min(n - nDone, RELAY_RECEIVE_BUFFER);
            RouteBlock(doc, w.side, ShrinkReceiveBlock(rs.stash.Release(k), nPiece), nPiece);
            nDone += nPiece;
        }
        // A full chunk says more is waiting: a few chunks' pieces then go
        // out together, which saves calls while they are still cached.
        const int nOffered = bMulti ? RELAY_RECEIVE_BUFFER * (1 + RECEIVE_EXTRA_BLOCKS) : RELAY_RECEIVE_BUFFER;
        rs.bStreaming = n >= RELAY_RECEIVE_BUFFER;
        nThroughBytes += n;
        if (n < nOffered || nThroughBytes >= THROUGH_BATCH_BYTES) {
            FlushThrough(doc, other, rs.through);
            nThroughBytes = 0;
        }
        if (!rs.buffer)
            rs.buffer.reset(static_cast<unsigned char*>(std::malloc(RELAY_RECEIVE_BUFFER)));
        // A short read emptied the socket: the sleep's poll tells of
        // more, which saves a receive that would find nothing.
        if (n < nOffered)
            break;
        // The send phase's turn; the socket, still readable, wakes the next
        // pass at once.
        nPhaseBytes += n;
        if (nPhaseBytes >= PHASE_TURN_BYTES)
            break;
    }
    FlushThrough(doc, other, rs.through);
    return end;
}

// The peer is gone: what waits after the last break character is a piece
// of its own.
void RoutePendingAtClose(CMidwireDoc& doc, WorkerSide& w, CReceiveState& rs)
{
    unsigned char* pBlock = w.pPending;
    const std::int32_t nLength = w.nPending;
    w.pPending = nullptr;
    w.nPending = 0;
    if (nLength <= 0) {
        std::free(pBlock);
        return;
    }
    RouteBlock(doc, w.side, pBlock, nLength);
    FlushThrough(doc, w.side == SERVER_SIDE ? CLIENT_SIDE : SERVER_SIDE, rs.through);
}

// The peer's end has been received: the piece pending at a break character
// goes on, and the close handlers may go on too.
void NotePeerClosed(CMidwireDoc& doc, WorkerSide& w, CRelaySideState& st, CReceiveState& rs, bool& bPeerClosed)
{
    bPeerClosed = true;
    RoutePendingAtClose(doc, w, rs);
    st.bPeerCloseRouted.store(true, std::memory_order_release);
}

// What a worker needs to receive while it waits to send (WaitWritable).
struct CBlockedReceiver {
    CMidwireDoc& doc;
    WorkerSide& w;
    SOCKET s;
    CRelaySideState& st;
    CReceiveState& rs;
    bool& bPeerClosed;
};

bool ReceivesWhileBlocked(const CBlockedReceiver& rx, SOCKET s)
{
    // Once the peer has closed, its socket would poll readable for good.
    return rx.s == s && !rx.bPeerClosed && rx.rs.buffer;
}

bool ReceiveWhileBlocked(CBlockedReceiver& rx)
{
    const EReceiveEnd end = ReceivePhase(rx.doc, rx.w, rx.s, rx.st, rx.rs);
    if (end == EReceiveEnd::PeerClosed)
        NotePeerClosed(rx.doc, rx.w, rx.st, rx.rs, rx.bPeerClosed);
    return end != EReceiveEnd::Stop;
}

// Bytes after the last break character that the end of the session leaves
// unrouted were received all the same: the history keeps them as received,
// and they go to no peer, least of all to the next session's.
void RecordUnroutedPending(CMidwireDoc& doc, WorkerSide& w)
{
    if (w.nPending > 0) {
        if (HistoryEvent* p = NewEvent()) {
            p->m_kind = w.side == SERVER_SIDE ? EK_RECEIVED_FROM_SERVER : EK_RECEIVED_FROM_CLIENT;
            p->AdoptData(w.pPending, w.nPending);
            w.pPending = nullptr;
            doc.RecordEvent(p, LoadFlag(doc.m_bQuiet));
        } else {
            RecordAllocError(doc, w.pszPieceSuffix);
        }
    }
    std::free(w.pPending);
    w.pPending = nullptr;
    w.nPending = 0;
}

// Closes a connection so that the peer still gets what its socket holds
// for it. A close that leaves received bytes unread resets the connection,
// and a reset throws away what the socket had yet to deliver, although the
// history records it as sent. So the sending side is shut first (the peer
// gets everything, then the end), and what the peer still sends is read
// and dropped, until it closes too or has been quiet for a moment. A peer
// that keeps sending is cut off once it has taken nothing of what the
// socket holds for it for a quarter of a second (it has stopped reading, and
// the rest could not reach it anyway), and a slow reader after two seconds.
void CloseConnectionOrderly(SOCKET s)
{
    constexpr auto STALL_LIMIT = std::chrono::milliseconds(250);
    constexpr auto DRAIN_LIMIT = std::chrono::seconds(2);
    constexpr int QUIET_MS = 20;
    if (::shutdown(s, SHUT_WR) == 0) {
        const auto start = std::chrono::steady_clock::now();
        auto lastTaken = start;
        int nLastUnsent = SockUnsentBytes(s);
        unsigned char scratch[16384];
        for (;;) {
            const ssize_t n = ::recv(s, scratch, sizeof scratch, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                break;  // the peer closed too, or the connection is gone
            if (n < 0) {
                pollfd pfd{s, POLLIN, 0};
                if (::poll(&pfd, 1, QUIET_MS) == 0)
                    break;  // nothing unread: the close is an orderly one
            }
            const auto now = std::chrono::steady_clock::now();
            const int nUnsent = SockUnsentBytes(s);
            if (nUnsent < nLastUnsent)
                lastTaken = now;
            nLastUnsent = nUnsent;
            if (now - lastTaken >= STALL_LIMIT || now - start >= DRAIN_LIMIT)
                break;
        }
    }
    SockClose(s);
}

// The worker's exit: closes the connection (and, without keep-alive, the
// listening socket) and records the disconnection, shown whatever Quiet
// says.
void CloseWorkerSide(CMidwireDoc& doc, WorkerSide& w, CRelaySideState& st, SOCKET& socketField, SOCKET s)
{
    bool bCarryCut = false;
    {
        std::lock_guard<std::mutex> sendLock(st.sendLock);
        st.bSendOpen = false;
        // The rest of a piece that the other worker began to send straight
        // through and this worker was stopped before sending: the peer got
        // that piece only in part, which the history must say.
        bCarryCut = st.pCarry != nullptr;
        st.pCarry = nullptr;
        st.nCarryOffset = 0;
        StoreSocket(socketField, INVALID_SOCKET);
    }
    // Nothing is sent on the socket any more: it closes without the lock.
    CloseConnectionOrderly(s);
    if (bCarryCut)
        OutOfMemoryContained([&] { RecordSendError(doc, w, w.pszSendDataSuffix); });
    if (w.side == CLIENT_SIDE && !doc.m_bKeepAlive) {
        const SOCKET hListen = ExchangeSocket(doc.m_hListenSocket, INVALID_SOCKET);
        if (hListen != INVALID_SOCKET)
            SockClose(hListen);
    }
    // (An event that the history cannot take is left, not freed: a row
    // may refer to it already.)
    OutOfMemoryContained([&] {
        if (HistoryEvent* p = NewEvent()) {
            p->m_kind = w.nClosingKind;
            p->m_strText = FormatMessageText(w.nClosingText, w.strHost, w.strPort);
            doc.ShowThenRecord(p);
        }
    });
}

int RunWorker(CMidwireDoc& doc, ERelaySide side)
{
    WorkerSide w = MakeWorkerSide(doc, side);
    CRelaySideState& st = RelayState().side[side];
    CEvent& evWork = SideWorkEvent(doc, side);
    CEvent& evStop = SideStopEvent(doc, side);
    SOCKET& socketField = SideSocket(doc, side);
    const SOCKET s = LoadSocket(socketField);
    CReceiveState rs;
    rs.buffer.reset(static_cast<unsigned char*>(std::malloc(RELAY_RECEIVE_BUFFER)));
    rs.through.reserve(SEND_BATCH_EVENTS);
    {
        std::lock_guard<std::mutex> sendLock(st.sendLock);
        st.bSendOpen = true;
        st.pCarry = nullptr;
        st.nCarryOffset = 0;
    }
    t_pThrough = &rs.through;

    bool bPeerClosed = false;
    CBlockedReceiver receiver{doc, w, s, st, rs, bPeerClosed};
    t_pBlockedReceiver = &receiver;
    // The first pass comes without a wake: the other worker may have routed
    // data to this side before this one ran, and its wake was cleared when
    // this worker was started.
    bool bFirstPass = true;
    // Memory ran out: the worker takes in nothing more from its peer (which
    // then waits, held by the connection's flow control) and goes on
    // sending what is queued until the session ends.
    bool bMemoryOut = false;
    for (;;) {
        if (st.bStopRequested.load(std::memory_order_acquire))
            break;
        // The close of the peer may be notified again from here on.
        RearmSocketNotification(s);
        // Without a receive buffer the socket cannot be read: it is not
        // watched then, or its data would wake the worker in a loop.
        if (!rs.buffer && !bMemoryOut)
            rs.buffer.reset(static_cast<unsigned char*>(std::malloc(RELAY_RECEIVE_BUFFER)));
        if (!bFirstPass)
            SleepUntilWork(s, !bPeerClosed && rs.buffer, evWork, st);
        bFirstPass = false;
        if (st.bStopRequested.load(std::memory_order_acquire))
            break;

        try {
            const EReceiveEnd end = ReceivePhase(doc, w, s, st, rs);
            if (end == EReceiveEnd::Stop)
                break;
            if (end == EReceiveEnd::PeerClosed)
                NotePeerClosed(doc, w, st, rs, bPeerClosed);

            if (LoadFlag(w.bReplaying) && g_pfnPlaybackSendStep)
                g_pfnPlaybackSendStep(doc, side);

            if (!SendPhase(doc, w, s, evStop, st))
                break;
        } catch (const std::bad_alloc&) {
            // The pass is given up where memory ran out, with the pieces it
            // held (each is in the history or lost with its event), and
            // receiving ends. Pieces
            // gathered to pass straight through may have gone out in part:
            // none of them is sent again. A close already seen still counts
            // as routed, so that the close handler does not wait for it.
            NoteOutOfMemory();
            rs.through.clear();
            if (bPeerClosed)
                st.bPeerCloseRouted.store(true, std::memory_order_release);
            bMemoryOut = true;
            rs.buffer.reset();
        }
    }
    t_pThrough = nullptr;
    t_pBlockedReceiver = nullptr;

    OutOfMemoryContained([&] { RecordUnroutedPending(doc, w); });
    std::free(w.pPending);  // (left only when recording it ran out of memory)
    w.pPending = nullptr;
    w.nPending = 0;
    CloseWorkerSide(doc, w, st, socketField, s);
    SideDoneFlag(doc, side).store(TRUE);
    st.evDone.SetEvent();
    return 0;
}

}  // namespace

int ServerWorker(CMidwireDoc* pDoc)
{
    return RunWorker(*pDoc, SERVER_SIDE);
}

int ClientWorker(CMidwireDoc* pDoc)
{
    return RunWorker(*pDoc, CLIENT_SIDE);
}

void WakeWorker(CMidwireDoc& doc, ERelaySide side)
{
    if (!RelayState().side[side].bWakePending.exchange(true, std::memory_order_acq_rel))
        SideWorkEvent(doc, side).SetEvent();
}

void RouteReceivedData(CMidwireDoc& doc, ERelaySide side, HistoryEvent* pEvent)
{
    const BOOL bQuiet = LoadFlag(doc.m_bQuiet);
    // Each side's data is forwarded only when the other side belongs to the
    // session; otherwise it is held for the Get commands.
    const bool bServer = side == SERVER_SIDE;
    const BOOL bOtherSide = bServer ? doc.m_bAcceptConnections : doc.m_bConnectToHost;
    BOOL& bHold = bServer ? doc.m_bHoldServerData : doc.m_bHoldClientData;
    const std::uint32_t nReceivedKind = bServer ? EK_RECEIVED_FROM_SERVER : EK_RECEIVED_FROM_CLIENT;
    if (bOtherSide) {
        if (LoadFlag(bHold)) {
            pEvent->m_kind = nReceivedKind;
            bServer ? doc.AddHeldFromServer(pEvent) : doc.AddHeldFromClient(pEvent);
        } else {
            if (LoadFlag(doc.m_bVerbose)) {
                if (auto* pCopy = new (std::nothrow) HistoryEvent(*pEvent)) {
                    pCopy->m_kind = nReceivedKind;
                    doc.RecordEvent(pCopy, bQuiet);
                }
            }
            // Recorded before it is queued: once the other worker has it,
            // the peer's answer can arrive and be recorded at once, and the
            // history must never show that answer ahead of this piece (a
            // replay of the history depends on that order).
            pEvent->m_kind = bServer ? EK_MOVED_TO_CLIENT : EK_MOVED_TO_SERVER;
            doc.RecordEvent(pEvent, bQuiet);
            if (t_pThrough) {
                const ERelaySide dest = bServer ? CLIENT_SIDE : SERVER_SIDE;
                if (MayPassThrough(doc, dest, pEvent)) {
                    t_pThrough->push_back(pEvent);
                    return;
                }
                // Pieces waiting to pass straight through go first.
                FlushThrough(doc, dest, *t_pThrough);
            }
            if (bServer) {
                doc.AddToClient(pEvent);
                WakeWorker(doc, CLIENT_SIDE);
            } else {
                doc.AddToServer(pEvent);
                WakeWorker(doc, SERVER_SIDE);
            }
            return;
        }
    } else if (!(bServer ? doc.m_bPlayAsClient : doc.m_bPlayAsServer)) {
        pEvent->m_kind = nReceivedKind;
        bServer ? doc.AddHeldFromServer(pEvent) : doc.AddHeldFromClient(pEvent);
    } else {
        if (g_pfnCheckPlaybackReply)
            g_pfnCheckPlaybackReply(doc, side, pEvent);
        pEvent->m_kind = bServer ? EK_PLAYBACK_RECEIVED_FROM_SERVER : EK_PLAYBACK_RECEIVED_FROM_CLIENT;
        bServer ? doc.AddHeldFromServer(pEvent) : doc.AddHeldFromClient(pEvent);
    }
    doc.RecordEvent(pEvent, bQuiet);
}
