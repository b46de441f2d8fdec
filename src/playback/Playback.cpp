#include "playback/Playback.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <new>
#include <string_view>
#include <vector>

#include "app/CommandTable.h"
#include "relay/Relay.h"
#include "relay/SocketNotifier.h"
#include "session/FrontEnd.h"
#include "session/HistoryEvent.h"
#include "session/MidwireDoc.h"
#include "session/ProgressWalk.h"

const char* const kWrongReplyText = "Wrong received message content";
const char* const kUnexpectedReplyText = "Unexpected received message";

namespace {

constexpr std::uint32_t kStatusKinds =
    EK_ERROR | EK_WARNING | EK_MESSAGE | EK_CONNECT_SERVER | EK_DISCONNECT_SERVER | EK_CONNECT_CLIENT |
    EK_DISCONNECT_CLIENT;

// What playback does on one side. Side server: the program replaces the
// client (the Client group of settings) and talks to the server; side
// client: it replaces the server and talks to the client.
struct SideRules {
    BOOL bCheckReply;
    int nControlledChars;
    BOOL bWaitAllResponses;
    BOOL bEndConnection;
    std::uint32_t nFromPeerKinds;  // the peer's data in the recording: checked against what arrives
    std::uint32_t nToPeerKinds;    // data that went to the peer in the recording: sent again
    std::uint32_t nClosingKind;    // the recorded end of this side's connection
    UINT nCloseMessage;            // the notification that closes this side
    std::uint32_t nSentKind;       // the kind of replayed data
    std::uint32_t nCopyKind;       // Verbose copy of a piece as it was sent to the peer
    std::uint32_t nReceivedKind;   // the peer's piece as received (held, or the Verbose copy)
    std::uint32_t nMovedKind;      // the peer's piece as forwarded
    std::uint32_t nForwardedKind;  // Verbose copy of the peer's piece as it was sent on
    void (CMidwireDoc::*pfnQueue)(HistoryEvent*);
};

SideRules GetSideRules(const CMidwireDoc& doc, ERelaySide side)
{
    if (side == SERVER_SIDE)
        return SideRules{doc.m_bClientCheckReply,
                         doc.m_nClientControlledChars,
                         doc.m_bClientWaitAllResponses,
                         doc.m_bClientEndConnection,
                         EK_RECEIVED_FROM_SERVER | EK_MOVED_TO_CLIENT,
                         EK_MOVED_TO_SERVER | EK_SENT_TO_SERVER | EK_EDITED_TO_SERVER,
                         EK_DISCONNECT_SERVER,
                         WM_SERVER_SOCKET_EVENT,
                         EK_PLAYBACK_SENT_TO_SERVER,
                         EK_SENT_TO_SERVER,
                         EK_RECEIVED_FROM_SERVER,
                         EK_MOVED_TO_CLIENT,
                         EK_SENT_TO_CLIENT,
                         &CMidwireDoc::AddToServer};
    return SideRules{doc.m_bServerCheckReply,
                     doc.m_nServerControlledChars,
                     doc.m_bServerWaitAllResponses,
                     doc.m_bServerEndConnection,
                     EK_RECEIVED_FROM_CLIENT | EK_MOVED_TO_SERVER,
                     EK_SENT_TO_CLIENT | EK_MOVED_TO_CLIENT | EK_EDITED_TO_CLIENT,
                     EK_DISCONNECT_CLIENT,
                     WM_CLIENT_SOCKET_EVENT,
                     EK_PLAYBACK_SENT_TO_CLIENT,
                     EK_SENT_TO_CLIENT,
                     EK_RECEIVED_FROM_CLIENT,
                     EK_MOVED_TO_SERVER,
                     EK_SENT_TO_SERVER,
                     &CMidwireDoc::AddToClient};
}

// Whether a kind is one of a set of kinds. A kind is compared whole: a value
// from a session file that combines bits (or that is no kind at all) belongs
// to no set.
bool IsKindIn(std::uint32_t nKind, std::uint32_t nKinds)
{
    return IsKnownEventKind(nKind) && (nKind & nKinds) != 0;
}

// The oldest step of the script, left in place. Only the replaying worker
// takes from the script while a playback runs, so the entry stays valid
// until that same thread takes it.
HistoryEvent* PeekScript(CMidwireDoc& doc)
{
    EventQueue& script = doc.m_playbackList;
    if (script.IsEmpty())
        return nullptr;
    std::lock_guard<CCriticalSection> lock(script.GetLock());
    return script.IsEmpty() ? nullptr : script.GetAt(0);
}

// A step taken from the script and not used further: destroyed when the
// script owns it, otherwise the history still does.
void DropScriptEvent(const CMidwireDoc& doc, HistoryEvent* pEvent)
{
    if (doc.m_bPlaybackOwnsEvents)
        delete pEvent;
}

// A step taken from the script that goes on living elsewhere: the event
// itself when the script owns it, otherwise a copy (null when none can be
// made), so that the history's own event is never handed on twice.
HistoryEvent* TakeOverScriptEvent(const CMidwireDoc& doc, HistoryEvent* pEvent)
{
    if (doc.m_bPlaybackOwnsEvents)
        return pEvent;
    return new (std::nothrow) HistoryEvent(*pEvent);
}

void RecordMismatch(CMidwireDoc& doc, const char* pszText)
{
    if (auto* p = new (std::nothrow) HistoryEvent) {
        p->m_kind = EK_ERROR;
        p->m_strText = pszText;
        doc.RecordEvent(p, doc.m_bQuiet);
    }
}

// True when the first bytes of the two pieces that are compared agree: at
// most nMax of them and no more than the shorter piece holds.
bool LeadingBytesAgree(const HistoryEvent& expected, const HistoryEvent& received, int nMax)
{
    const std::int32_t n = std::min({static_cast<std::int32_t>(nMax), expected.m_nLength, received.m_nLength});
    if (n <= 0)
        return true;
    if (!expected.m_pData || !received.m_pData)
        return true;
    return std::memcmp(expected.m_pData, received.m_pData, static_cast<size_t>(n)) == 0;
}

bool SameBytes(const HistoryEvent& a, const HistoryEvent& b)
{
    if (a.m_nLength != b.m_nLength)
        return false;
    if (a.m_nLength <= 0 || !a.m_pData || !b.m_pData)
        return a.m_nLength <= 0 || (!a.m_pData && !b.m_pData);
    return std::memcmp(a.m_pData, b.m_pData, static_cast<size_t>(a.m_nLength)) == 0;
}

// A recording made with Verbose on holds each piece that went to a peer
// twice: as moved or edited when it was queued, and as "Sent to:" when the
// worker sent it, in the same order. Only the first is sent again; the
// pieces replayed so far whose "Sent to:" copy has not come up yet are kept
// here by length and hash, per side, from the building of the script on.
// The peer's pieces that the reply check has met are kept the same way: in
// the recording each was also recorded as "Sent to:" the other party, and
// that record can lie ahead of the peer's next piece in the script.
struct SentPiece {
    std::int32_t nLength;
    std::size_t nHash;
};
std::deque<SentPiece> g_awaitingCopy[2];
std::deque<SentPiece> g_awaitingForwardedCopy[2];
std::mutex g_awaitingCopyLock;
// How far a copy may trail its piece: only the newest pieces replayed are
// kept, so pieces that no copy followed (sent while Verbose was off) are
// passed over and forgotten, however many there were.
constexpr std::size_t kCopySearchReach = 256;

SentPiece DescribePiece(const HistoryEvent& e)
{
    const std::size_t nHash =
        e.m_pData && e.m_nLength > 0
            ? std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(e.m_pData),
                                                             static_cast<size_t>(e.m_nLength)))
            : 0;
    return SentPiece{e.m_nLength, nHash};
}

// Whether a "Sent to:" step is the Verbose copy of a piece met before (one
// replayed, from g_awaitingCopy, or one of the peer's, from
// g_awaitingForwardedCopy); the piece's entry is then used up.
bool TakeAwaitedCopy(std::deque<SentPiece> (&awaiting)[2], ERelaySide side, const HistoryEvent& e)
{
    const SentPiece piece = DescribePiece(e);
    std::lock_guard<std::mutex> lock(g_awaitingCopyLock);
    std::deque<SentPiece>& q = awaiting[side];
    for (std::size_t i = 0; i < q.size(); ++i) {
        if (q[i].nLength == piece.nLength && q[i].nHash == piece.nHash) {
            q.erase(q.begin(), q.begin() + static_cast<std::ptrdiff_t>(i) + 1);
            return true;
        }
    }
    return false;
}

void AwaitCopy(std::deque<SentPiece> (&awaiting)[2], ERelaySide side, const HistoryEvent& e)
{
    std::lock_guard<std::mutex> lock(g_awaitingCopyLock);
    std::deque<SentPiece>& q = awaiting[side];
    q.push_back(DescribePiece(e));
    if (q.size() > kCopySearchReach)
        q.pop_front();
}

// How many steps may lie between a Verbose copy and its forwarded piece.
constexpr std::size_t kMovedSearchReach = 64;

// Whether the script's oldest step X, the peer's piece as received, is the
// Verbose copy of the forwarded piece recorded right after it by the same
// worker: the two are one reply of the peer. Status events that another
// thread recorded meanwhile (the peer's close, seen by the window thread
// while the worker routed its last reply, is the usual one) may lie between
// the two; the reply check takes them as it meets them.
bool IsReceivedCopy(CMidwireDoc& doc, const SideRules& rules, const HistoryEvent& x)
{
    if (x.m_kind != rules.nReceivedKind)
        return false;
    EventQueue& script = doc.m_playbackList;
    std::lock_guard<CCriticalSection> lock(script.GetLock());
    const std::size_t nEnd = std::min(script.GetCount(), kMovedSearchReach + 1);
    for (std::size_t i = 1; i < nEnd; ++i) {
        const HistoryEvent* pNext = script.GetAt(i);
        if (!pNext)
            return false;
        if (IsKindIn(pNext->m_kind, kStatusKinds) && pNext->m_kind != rules.nClosingKind)
            continue;
        return pNext->m_kind == rules.nMovedKind && SameBytes(x, *pNext);
    }
    return false;
}

// Puts the events taken out of the history back at its oldest end, in their
// order, ahead of those it still holds: the history is drained and refilled.
void RestoreHistory(CMidwireDoc& doc, const std::vector<HistoryEvent*>& taken)
{
    std::vector<HistoryEvent*> rest;
    rest.reserve(doc.m_history.GetCount());
    while (HistoryEvent* p = doc.TakeOldestHistory())
        rest.push_back(p);
    for (HistoryEvent* p : taken)
        doc.AddToHistory(p);
    for (HistoryEvent* p : rest)
        doc.AddToHistory(p);
}

// A start that failed (the server not there yet, the port taken) keeps
// the recording. Taken out of the history into the script, it would be lost
// to a Save, which writes the history, and to the next Start, which empties
// the script first and builds the new one from the history. The script goes
// back into the history ahead of the marker, so that the next Start builds
// it again.
void GiveScriptBackToHistory(CMidwireDoc& doc)
{
    if (!doc.m_bPlaybackOwnsEvents)
        return;
    std::vector<HistoryEvent*> script;
    script.reserve(doc.m_playbackList.GetCount());
    while (!doc.m_playbackList.IsEmpty()) {
        if (HistoryEvent* p = doc.TakeFromPlayback())
            script.push_back(p);
    }
    doc.m_bPlaybackOwnsEvents = FALSE;
    RestoreHistory(doc, script);
    doc.ReloadEventList();
}

}  // namespace

// --- The PlayBack dialog ---

void CPlayBackDlgData::LoadFrom(const CMidwireDoc& doc)
{
    m_bClientCheckReply = doc.m_bClientCheckReply;
    m_bServerCheckReply = doc.m_bServerCheckReply;
    m_nClientControlledChars = doc.m_nClientControlledChars;
    m_nServerControlledChars = doc.m_nServerControlledChars;
    m_bClientWaitAllResponses = doc.m_bClientWaitAllResponses;
    m_bServerWaitAllResponses = doc.m_bServerWaitAllResponses;
    m_bClientEndConnection = doc.m_bClientEndConnection;
    m_bServerEndConnection = doc.m_bServerEndConnection;
    m_bEraseHistory = doc.m_bEraseHistory;
    m_bClientAvailable = doc.m_bConnectToHost;
    m_bServerAvailable = doc.m_bAcceptConnections;
    m_bClientChosen = FALSE;
    m_bServerChosen = FALSE;
}

void CPlayBackDlgData::StoreTo(CMidwireDoc& doc) const
{
    doc.m_bClientCheckReply = m_bClientCheckReply;
    doc.m_bServerCheckReply = m_bServerCheckReply;
    doc.m_nClientControlledChars = m_nClientControlledChars;
    doc.m_nServerControlledChars = m_nServerControlledChars;
    doc.m_bClientWaitAllResponses = m_bClientWaitAllResponses;
    doc.m_bServerWaitAllResponses = m_bServerWaitAllResponses;
    doc.m_bClientEndConnection = m_bClientEndConnection;
    doc.m_bServerEndConnection = m_bServerEndConnection;
    doc.m_bEraseHistory = m_bEraseHistory;
}

CPlayBackDlgState::CPlayBackDlgState(CPlayBackDlgData& data)
    : m_data(data), m_bClientRadio(data.m_bClientAvailable != 0), m_bServerRadio(data.m_bServerAvailable != 0)
{
    m_data.m_bClientChosen = FALSE;
    m_data.m_bServerChosen = FALSE;
}

void CPlayBackDlgState::OnClientRadio()
{
    m_data.m_bClientChosen = TRUE;
    m_data.m_bServerChosen = FALSE;
    m_bClientGroup = true;
    m_bServerGroup = false;
}

void CPlayBackDlgState::OnServerRadio()
{
    m_data.m_bServerChosen = TRUE;
    m_data.m_bClientChosen = FALSE;
    m_bServerGroup = true;
    m_bClientGroup = false;
}

bool CPlayBackDlgState::IsEnabled(UINT nID) const
{
    switch (nID) {
    case IDC_PLAY_CLIENT: return m_bClientRadio;
    case IDC_PLAY_SERVER: return m_bServerRadio;
    case IDC_CLIENT_CHECK_REPLY:
    case IDC_CLIENT_WAIT_ALL:
    case IDC_CLIENT_END_CONNECTION:
        return m_bClientGroup;
    case IDC_CLIENT_CONTROLLED_CHARS: return m_bClientGroup && m_data.m_bClientCheckReply;
    case IDC_SERVER_CHECK_REPLY:
    case IDC_SERVER_WAIT_ALL:
    case IDC_SERVER_END_CONNECTION:
        return m_bServerGroup;
    case IDC_SERVER_CONTROLLED_CHARS: return m_bServerGroup && m_data.m_bServerCheckReply;
    case IDOK: return m_bClientGroup || m_bServerGroup;
    case IDC_ERASE_HISTORY:
    case IDCANCEL:
        return true;
    default: return false;
    }
}

// --- The command ---

void EndPlaybackMode(CMidwireDoc& doc)
{
    if (doc.m_bPlayAsServer) {
        doc.m_bPlayAsServer = FALSE;
        doc.m_bConnectToHost = doc.m_bSavedConnectToHost;
    }
    if (doc.m_bPlayAsClient) {
        doc.m_bPlayAsClient = FALSE;
        doc.m_bAcceptConnections = doc.m_bSavedAcceptConnections;
    }
    if (!doc.m_bConnected)
        doc.ReleaseUnsentReplays();
}

bool BuildPlaybackScript(CMidwireDoc& doc)
{
    CMidwireDoc::CWalkGuard guard(doc);
    const auto nTotal = static_cast<std::int64_t>(doc.m_history.GetCount());
    CProgressWalk walk(EProgressKind::PleaseWait, "Please wait while moving history list", 0, nTotal);

    // Entries of an earlier playback go first, released by the ownership
    // they were built with.
    doc.EmptyPlaybackList();
    const bool bMove = doc.m_bEraseHistory != 0;
    doc.m_bPlaybackOwnsEvents = bMove ? TRUE : FALSE;
    {
        std::lock_guard<std::mutex> lock(g_awaitingCopyLock);
        for (std::deque<SentPiece>* pAwaiting : {g_awaitingCopy, g_awaitingForwardedCopy}) {
            pAwaiting[SERVER_SIDE].clear();
            pAwaiting[CLIENT_SIDE].clear();
        }
    }

    std::int64_t nCount = 0;
    bool bComplete = false;
    std::vector<HistoryEvent*> taken;  // with bMove: every event taken out, in history order
    std::size_t nScript = 0;           // with bMove: how many of them went to the script
    if (bMove) {
        taken.reserve(static_cast<std::size_t>(nTotal));
        bool bMarkerSeen = false;
        bool bOpen = true;
        while (bOpen) {
            HistoryEvent* p = doc.TakeOldestHistory();
            if (!p)
                break;
            walk.Before(nCount);
            taken.push_back(p);
            if (p->m_kind == EK_PLAYBACK_START)
                bMarkerSeen = true;
            if (!bMarkerSeen) {
                doc.AddToPlayback(p);
                ++nScript;
            }
            ++nCount;
            bOpen = walk.After();
        }
        bComplete = nCount >= nTotal;
    } else {
        // Index access: a message handled between steps may add to the
        // history, which must not disturb the walk.
        for (std::int64_t i = 0; i < nTotal; ++i) {
            walk.Before(i);
            HistoryEvent* p = doc.m_history.GetAt(static_cast<std::size_t>(i));
            if (p->m_kind == EK_PLAYBACK_START) {
                bComplete = true;
                break;
            }
            doc.AddToPlayback(p);
            ++nCount;
            if (!walk.After())
                break;
        }
        if (nCount >= nTotal)
            bComplete = true;
    }
    walk.Close();

    if (!bComplete) {
        // Cancelled: the script goes, the history comes back as it was.
        doc.m_playbackList.RemoveAll(false);
        doc.m_bPlaybackOwnsEvents = FALSE;
        if (bMove)
            RestoreHistory(doc, taken);
        return false;
    }
    if (bMove) {
        // The marker and what followed it are gone; no row may keep
        // pointing at them.
        if (g_pMainFrame)
            g_pMainFrame->DeleteAllRows();
        // Data still held from an earlier session has left the history with
        // the rest: the script owns it now or it is destroyed below, so the
        // held queues (which only refer to history events) let go of it.
        doc.m_heldFromClient.RemoveAll(false);
        doc.m_heldFromServer.RemoveAll(false);
        // So does what an earlier session left queued for sending, which the
        // coming connection would drop anyway: replayed events owned by their
        // queue are freed first (their kinds are read), then the queues let
        // go of the history's events before any of them is destroyed.
        doc.ReleaseUnsentReplays();
        doc.m_toServer.RemoveAll(false);
        doc.m_toClient.RemoveAll(false);
        for (std::size_t i = nScript; i < taken.size(); ++i)
            delete taken[i];
        doc.ReloadEventList();
    }
    return true;
}

void OnStartPlayback(CMidwireDoc& doc)
{
    // Workers of an earlier session that End gave up waiting for end first:
    // the script and the queues they use are about to change.
    JoinRelayWorkers(doc);
    EndPlaybackMode(doc);

    CPlayBackDlgData data;
    data.LoadFrom(doc);
    if (!g_pMainFrame || g_pMainFrame->DoModal(IDD_PLAYBACK, &data) != IDOK)
        return;
    data.StoreTo(doc);
    // OK needs a chosen side; an answer without one starts nothing.
    const BOOL bAsClient = data.m_bClientChosen && data.m_bClientAvailable;
    const BOOL bAsServer = !bAsClient && data.m_bServerChosen && data.m_bServerAvailable;
    if (!bAsClient && !bAsServer)
        return;
    doc.m_bPlayAsServer = bAsServer;
    doc.m_bPlayAsClient = bAsClient;

    if (!BuildPlaybackScript(doc)) {
        // Cancelled: the playback never came into force and switched no side
        // off, so nothing may bring a side back from the value kept aside
        // (that belongs to some earlier playback, if any).
        doc.m_bPlayAsServer = FALSE;
        doc.m_bPlayAsClient = FALSE;
        return;
    }

    // The side whose party the program replaces is switched off for the
    // coming connection.
    if (doc.m_bPlayAsServer) {
        doc.m_bSavedConnectToHost = doc.m_bConnectToHost;
        doc.m_bConnectToHost = FALSE;
    }
    if (doc.m_bPlayAsClient) {
        doc.m_bSavedAcceptConnections = doc.m_bAcceptConnections;
        doc.m_bAcceptConnections = FALSE;
    }

    // The marker is shown whatever Quiet says.
    if (auto* pMarker = new (std::nothrow) HistoryEvent) {
        pMarker->m_kind = EK_PLAYBACK_START;
        pMarker->m_strText = FormatMessageText(IDS_START_PLAYBACK, doc.m_bPlayAsClient ? "Client" : "Server");
        doc.RecordEvent(pMarker, FALSE);
    }

    if (!StartConnection(doc)) {
        GiveScriptBackToHistory(doc);
        return;
    }
    // The replaying worker sends the script's opening data at once.
    if (doc.m_bConnectToHost)
        doc.m_evServerWork.SetEvent();
    if (doc.m_bAcceptConnections)
        doc.m_evClientWork.SetEvent();
}

// --- What the replaying worker runs ---

void CheckPlaybackReply(CMidwireDoc& doc, ERelaySide side, HistoryEvent* pReceived)
{
    const SideRules rules = GetSideRules(doc, side);
    for (;;) {
        HistoryEvent* pExpected = PeekScript(doc);
        if (!pExpected)
            return;
        const std::uint32_t nKind = pExpected->m_kind;
        // A Verbose "Sent to:" record of a piece already met, the program's
        // own replayed one or the peer's last: several pieces received at
        // once meet it before the send step, which passes over it, has run.
        if ((nKind == rules.nCopyKind && TakeAwaitedCopy(g_awaitingCopy, side, *pExpected)) ||
            (nKind == rules.nForwardedKind && TakeAwaitedCopy(g_awaitingForwardedCopy, side, *pExpected))) {
            DropScriptEvent(doc, doc.TakeFromPlayback());
            continue;
        }
        if (IsKindIn(nKind, rules.nFromPeerKinds) && IsReceivedCopy(doc, rules, *pExpected)) {
            // One reply recorded twice (Verbose): the copy is kept in the
            // history, the forwarded piece after it is what the reply meets.
            HistoryEvent* pTaken = doc.TakeFromPlayback();
            if (HistoryEvent* pRecord = TakeOverScriptEvent(doc, pTaken))
                doc.RecordEvent(pRecord, doc.m_bQuiet);
            continue;
        }
        if (IsKindIn(nKind, rules.nFromPeerKinds)) {
            if (rules.bCheckReply && rules.nControlledChars != 0 &&
                !LeadingBytesAgree(*pExpected, *pReceived, rules.nControlledChars))
                RecordMismatch(doc, kWrongReplyText);
            if (nKind == rules.nMovedKind)
                AwaitCopy(g_awaitingForwardedCopy, side, *pExpected);
            HistoryEvent* pTaken = doc.TakeFromPlayback();
            if (HistoryEvent* pRecord = TakeOverScriptEvent(doc, pTaken))
                doc.RecordEvent(pRecord, doc.m_bQuiet);
            if (rules.bWaitAllResponses)
                return;
            continue;
        }
        if (IsKindIn(nKind, kStatusKinds)) {
            if (rules.bEndConnection && nKind == rules.nClosingKind)
                PostSocketNotification(rules.nCloseMessage, FD_CLOSE);
            DropScriptEvent(doc, doc.TakeFromPlayback());
            continue;
        }
        // The script expects the program to speak next (or holds something
        // that is no reply): the piece was not expected here.
        if (rules.bCheckReply)
            RecordMismatch(doc, kUnexpectedReplyText);
        return;
    }
}

void PlaybackSendStep(CMidwireDoc& doc, ERelaySide side)
{
    const SideRules rules = GetSideRules(doc, side);
    for (;;) {
        HistoryEvent* pNext = PeekScript(doc);
        if (!pNext)
            return;
        const std::uint32_t nKind = pNext->m_kind;
        if (nKind == rules.nCopyKind && TakeAwaitedCopy(g_awaitingCopy, side, *pNext)) {
            // The Verbose record of a piece already sent again: its bytes
            // went out with that piece.
            DropScriptEvent(doc, doc.TakeFromPlayback());
            continue;
        }
        if (IsKindIn(nKind, rules.nToPeerKinds)) {
            if (nKind != rules.nCopyKind)
                AwaitCopy(g_awaitingCopy, side, *pNext);
            HistoryEvent* pTaken = doc.TakeFromPlayback();
            if (HistoryEvent* pSend = TakeOverScriptEvent(doc, pTaken)) {
                pSend->m_kind = rules.nSentKind;
                (doc.*rules.pfnQueue)(pSend);
            }
            continue;
        }
        if (IsKindIn(nKind, rules.nFromPeerKinds))
            return;  // the peer speaks next
        if (rules.bEndConnection && nKind == rules.nClosingKind)
            PostSocketNotification(rules.nCloseMessage, FD_CLOSE);
        DropScriptEvent(doc, doc.TakeFromPlayback());
    }
}

std::size_t CountScriptDataSteps(const CMidwireDoc& doc, ERelaySide side)
{
    const SideRules rules = GetSideRules(doc, side);
    std::size_t n = 0;
    for (const HistoryEvent* p : doc.m_playbackList)
        if (p && IsKindIn(p->m_kind, rules.nFromPeerKinds | rules.nToPeerKinds))
            ++n;
    return n;
}

std::size_t CountRecordedDataSteps(const CMidwireDoc& doc, ERelaySide side)
{
    const SideRules rules = GetSideRules(doc, side);
    std::size_t n = 0;
    for (const HistoryEvent* p : doc.m_history) {
        if (p->m_kind == EK_PLAYBACK_START)
            break;
        if (IsKindIn(p->m_kind, rules.nFromPeerKinds | rules.nToPeerKinds))
            ++n;
    }
    return n;
}

void InstallPlaybackHooks()
{
    g_pfnCheckPlaybackReply = CheckPlaybackReply;
    g_pfnPlaybackSendStep = PlaybackSendStep;
}

void RegisterPlaybackCommands(CCommandTable& table, CMidwireDoc& doc)
{
    InstallPlaybackHooks();
    table.Register(ID_CONNECTION_START_PLAYBACK, [&doc] { OnStartPlayback(doc); },
                   [&doc] { return IsIdle(doc) && !doc.IsWalking(); });
}
