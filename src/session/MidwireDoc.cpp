#include "session/MidwireDoc.h"

#include <cstdlib>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <vector>

#include "session/FrontEnd.h"
#include "session/ProgressWalk.h"

CMidwireDoc* g_pDoc = nullptr;
void (*g_pfnJoinWorkers)(CMidwireDoc& doc) = nullptr;
CFrontEnd* g_pMainFrame = nullptr;

int AfxMessageBox(UINT nIDPrompt, UINT nType)
{
    return AfxMessageBox(std::string(LoadStringText(nIDPrompt)), nType);
}

int AfxMessageBox(const std::string& strText, UINT nType)
{
    return g_pMainFrame ? g_pMainFrame->MessageBox(strText, nType) : IDCANCEL;
}

CMidwireDoc::CMidwireDoc()
    : m_hServerSocket(INVALID_SOCKET), m_hListenSocket(INVALID_SOCKET), m_hClientSocket(INVALID_SOCKET),
      m_hDatagramSocket(INVALID_SOCKET), m_bClientWorkerDone(0), m_bServerWorkerDone(0), m_pServerPending(nullptr),
      m_nServerPending(0), m_pClientPending(nullptr), m_nClientPending(0), m_bPlaybackOwnsEvents(0)
{
    // Settings get their values from OnNewDocument, which runs before the
    // document is used; ResetSettings here keeps no member undefined.
    ResetSettings();
    g_pDoc = this;
}

CMidwireDoc::~CMidwireDoc()
{
    JoinWorkers();
    ReleaseUnsentReplays();
    FreePendingBuffers();
    EmptyPlaybackList();
    m_heldFromClient.RemoveAll(false);
    m_toClient.RemoveAll(false);
    m_heldFromServer.RemoveAll(false);
    m_toServer.RemoveAll(false);
    m_history.RemoveAll(true);
    if (g_pDoc == this)
        g_pDoc = nullptr;
}

void CMidwireDoc::ResetSettings()
{
    m_bConnected = 0;
    m_bDatagramActive = 0;
    m_bConnectToHost = 0;
    m_strServerHost.clear();
    m_strServerPort.clear();
    m_bHoldServerData = 0;
    m_bAcceptConnections = 0;
    m_strListenPort.clear();
    m_strDgramPort.clear();
    m_strSendPort.clear();
    m_bHoldClientData = 0;
    m_hServerSocket = INVALID_SOCKET;
    m_hListenSocket = INVALID_SOCKET;
    m_hClientSocket = INVALID_SOCKET;
    m_hDatagramSocket = INVALID_SOCKET;
    m_strClientHost.clear();

    m_bSendBroadcast = 1;
    m_strSendHost.clear();
    m_nSendAddr = 0;
    m_nSendPort = 0;
    m_nDgramPort = 0;
    m_bMove1 = m_bMove2 = 0;
    m_strMoveFromHost1.clear();
    m_strMoveFromHost2.clear();
    m_nMoveFromAddr1 = m_nMoveFromAddr2 = 0;
    m_bMoveBroadcast1 = m_bMoveBroadcast2 = 0;
    m_bMoveEveryone1 = m_bMoveEveryone2 = 0;
    m_strMoveToPort1.clear();
    m_strMoveToPort2.clear();
    m_nMoveToPort1 = m_nMoveToPort2 = 0;
    m_strMoveToHost1.clear();
    m_strMoveToHost2.clear();
    m_nMoveToAddr1 = m_nMoveToAddr2 = 0;
    m_bResolveNames = 1;

    m_bPlayAsServer = 0;
    m_bPlayAsClient = 0;
    m_bServerCheckReply = m_bClientCheckReply = 0;
    m_nServerControlledChars = m_nClientControlledChars = 0;
    m_bServerWaitAllResponses = m_bClientWaitAllResponses = 1;
    m_bServerEndConnection = m_bClientEndConnection = 0;
    m_bEraseHistory = 1;
    m_bSavedAcceptConnections = 0;
    m_bSavedConnectToHost = 0;

    m_bVisibleScroll = 1;
    m_bVerbose = 0;
    m_bDgramVerbose = 0;
    m_bQuiet = 0;
    m_bDgramQuiet = 0;
    m_bKeepAlive = 0;
    m_bUseBreakChar = 1;
    m_chBreakChar = '\n';

    m_nServerWaitRetries = 1000000;
    m_nClientWaitRetries = 1000000;
    m_nServerTimeWait = 300;
    m_nClientTimeWait = 300;
}

void CMidwireDoc::FreePendingBuffers()
{
    std::free(m_pServerPending);
    m_pServerPending = nullptr;
    m_nServerPending = 0;
    std::free(m_pClientPending);
    m_pClientPending = nullptr;
    m_nClientPending = 0;
}

void CMidwireDoc::EmptyPlaybackList()
{
    m_playbackList.RemoveAll(m_bPlaybackOwnsEvents != 0);
    m_bPlaybackOwnsEvents = 0;
}

void CMidwireDoc::RecordEvent(HistoryEvent* pEvent, BOOL bQuiet)
{
    if (bQuiet || !g_pMainFrame) {
        AddToHistory(pEvent);
        return;
    }
    // No front end waits for another recording thread while it adds a row,
    // so the lock is held only briefly.
    std::lock_guard<std::mutex> lock(m_recordLock);
    AddToHistory(pEvent);
    g_pMainFrame->AddEventRow(pEvent);
}

void CMidwireDoc::ShowThenRecord(HistoryEvent* pEvent)
{
    std::lock_guard<std::mutex> lock(m_recordLock);
    if (g_pMainFrame)
        g_pMainFrame->AddEventRow(pEvent);
    AddToHistory(pEvent);
}

BOOL CMidwireDoc::OnNewDocument()
{
    JoinWorkers();
    if (g_pMainFrame) {
        g_pMainFrame->DeleteAllRows();
        g_pMainFrame->SetEditorText(std::string());
    }
    g_nMaxLineLength = 0;
    g_chDisplayBreak = '\n';
    g_bKeepBreaks = 0;
    ResetSettings();
    m_strPathName.clear();
    EmptyEventStores();
    m_bConnected = 0;
    m_bDatagramActive = 0;
    return TRUE;
}

void CMidwireDoc::JoinWorkers()
{
    if (g_pfnJoinWorkers)
        g_pfnJoinWorkers(*this);
}

void CMidwireDoc::EmptyEventStores()
{
    ReleaseUnsentReplays();
    FreePendingBuffers();
    m_history.RemoveAll(true);
    EmptyPlaybackList();
    // The queues and held lists hold history events, freed just above.
    m_heldFromClient.RemoveAll(false);
    m_toClient.RemoveAll(false);
    m_heldFromServer.RemoveAll(false);
    m_toServer.RemoveAll(false);
    if (!m_bRefilling)
        GiveBackFreedMemory();
}

void CMidwireDoc::GiveBackFreedMemory()
{
#if defined(__GLIBC__)
    // Event blocks below the allocator's mapping threshold come from its
    // heap, and a heap whose top is held by any later allocation keeps the
    // freed pages resident: without this a session of a gigabyte, once
    // replaced by New, Open or Erase All, would go on holding a gigabyte.
    ::malloc_trim(0);
#endif
}

namespace {

void ReleaseUnsentFromQueue(EventQueue& queue, std::uint32_t nReplayKind)
{
    if (queue.IsEmpty())
        return;
    std::vector<HistoryEvent*> keep;
    while (HistoryEvent* p = queue.Take()) {
        if (p->m_kind == nReplayKind)
            delete p;
        else
            keep.push_back(p);
    }
    for (HistoryEvent* p : keep)
        queue.Add(p);
}

}  // namespace

void CMidwireDoc::ReleaseUnsentReplays()
{
    ReleaseUnsentFromQueue(m_toServer, EK_PLAYBACK_SENT_TO_SERVER);
    ReleaseUnsentFromQueue(m_toClient, EK_PLAYBACK_SENT_TO_CLIENT);
}

void CMidwireDoc::OnEraseAll()
{
    if (!CanEraseAll())
        return;
    JoinWorkers();
    if (g_pMainFrame)
        g_pMainFrame->DeleteAllRows();
    // No connection runs while the command is enabled: the handles are
    // forgotten, not closed.
    m_hServerSocket = INVALID_SOCKET;
    m_hClientSocket = INVALID_SOCKET;
    m_hListenSocket = INVALID_SOCKET;
    EmptyEventStores();
    m_bConnected = 0;
}

void CMidwireDoc::ReloadEventList()
{
    if (!g_pMainFrame)
        return;
    CWalkGuard guard(*this);
    CProgressWalk walk(EProgressKind::LoadingEventList, "Please wait reloading event list", 0,
                       static_cast<std::int64_t>(m_history.GetCount()));
    g_pMainFrame->DeleteAllRows();
    const std::size_t nCount = m_history.GetCount();
    if (nCount == 0)
        return;
    std::size_t i = 0;
    for (HistoryEvent* pEvent : m_history) {
        walk.Before(static_cast<std::int64_t>(i));
        g_pMainFrame->AddReloadedRow(pEvent);
        if (++i == nCount)
            break;
        if (!walk.After())
            break;
    }
}

std::string CMidwireDoc::GetTitle() const
{
    if (m_strPathName.empty())
        return "Untitled";
    const std::size_t nSlash = m_strPathName.find_last_of('/');
    return nSlash == std::string::npos ? m_strPathName : m_strPathName.substr(nSlash + 1);
}
