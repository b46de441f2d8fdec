// The relay's commands: Start, End, the manual transfer commands and
// Connection Options. Window thread only.

#include <new>

#include "app/CommandTable.h"
#include "editor/EditorAccess.h"
#include "playback/Playback.h"
#include "relay/RelayDialogs.h"
#include "relay/RelayState.h"
#include "session/FrontEnd.h"
#include "views/DisplayTranslation.h"

namespace {

// Get: the oldest held event into the editor, as its text or as the display
// translation of its bytes. The event stays in the history.
void GetHeld(HistoryEvent* pEvent)
{
    if (!pEvent)
        return;
    // Data whose text is more than the editor can hold is refused as data
    // that cannot be translated: never shown cut short.
    if (!pEvent->m_strText.empty()) {
        if (!SetEditorText(pEvent->m_strText))
            AfxMessageBox(IDS_ALLOC_FAILED);
        return;
    }
    MallocPtr<char> text = BytesToDisplayText(pEvent->m_pData, pEvent->m_nLength);
    if (!text || !SetEditorText(text.get()))
        AfxMessageBox(IDS_ALLOC_FAILED);
}

// Send: the editor's text as bytes, recorded and queued for the side's worker.
void SendEditor(CMidwireDoc& doc, ERelaySide side)
{
    std::int32_t nLength = 0;
    MallocPtr<unsigned char> bytes = GetEditorBytes(nLength);
    if (nLength < 0) {
        // The text gives more bytes than one event can hold, or memory ran
        // out: nothing is sent, and the user is told so.
        AfxMessageBox(IDS_ALLOC_FAILED);
        return;
    }
    if (!bytes || nLength <= 0)
        return;
    auto* p = new (std::nothrow) HistoryEvent;
    if (!p)
        return;
    p->m_kind = side == SERVER_SIDE ? EK_EDITED_TO_SERVER : EK_EDITED_TO_CLIENT;
    p->AdoptData(bytes.release(), nLength);
    doc.RecordEvent(p, doc.m_bQuiet);
    if (side == SERVER_SIDE) {
        doc.AddToServer(p);
        doc.m_evServerWork.SetEvent();
    } else {
        doc.AddToClient(p);
        doc.m_evClientWork.SetEvent();
    }
}

// Stop Wait: a message naming where the released data goes, shown whatever
// Quiet says; then the hold option is cleared for the rest of the session.
void StopHolding(CMidwireDoc& doc, BOOL& bHold, const std::string& strDestination)
{
    if (auto* p = new (std::nothrow) HistoryEvent) {
        p->m_kind = EK_MESSAGE;
        p->m_strText = FormatMessageText(IDS_STOP_WAITING, strDestination);
        doc.RecordEvent(p, FALSE);
    }
    StoreFlag(bHold, FALSE);
}

}  // namespace

void OnGetFromClient(CMidwireDoc& doc)
{
    GetHeld(doc.TakeHeldFromClient());
}

void OnGetFromServer(CMidwireDoc& doc)
{
    GetHeld(doc.TakeHeldFromServer());
}

void OnSendToClient(CMidwireDoc& doc)
{
    SendEditor(doc, CLIENT_SIDE);
}

void OnSendToServer(CMidwireDoc& doc)
{
    SendEditor(doc, SERVER_SIDE);
}

void OnStopWaitClient(CMidwireDoc& doc)
{
    StopHolding(doc, doc.m_bHoldClientData, doc.m_strServerHost);
}

void OnStopWaitingServer(CMidwireDoc& doc)
{
    StopHolding(doc, doc.m_bHoldServerData, doc.m_strClientHost);
}

void OnConnectionStart(CMidwireDoc& doc)
{
    JoinRelayWorkers(doc);
    CConnectDlgData data;
    data.LoadFrom(doc);
    if (!g_pMainFrame || g_pMainFrame->DoModal(IDD_CONNECT, &data) != IDOK)
        return;
    data.StoreTo(doc);
    // A playback still in force ends here: the side it switched off comes
    // back, and replayed events it queued but never sent are released.
    EndPlaybackMode(doc);
    StartConnection(doc);
}

void OnConnectionOptions(CMidwireDoc& doc)
{
    JoinRelayWorkers(doc);
    CConnectionOptionsData data;
    data.LoadFrom(doc);
    if (g_pMainFrame && g_pMainFrame->DoModal(IDD_CONNECTION_OPTIONS, &data) == IDOK)
        ApplyConnectionOptions(doc, data);
}

void RegisterRelayCommands(CCommandTable& table, CMidwireDoc& doc)
{
    auto idle = [&doc] { return IsIdle(doc) && !doc.IsWalking(); };
    auto connected = [&doc] { return doc.m_bConnected != 0; };
    // A side whose worker has been told to stop (its peer closed, or End is
    // under way) sends nothing more, though the session may run on a while:
    // what Send queued for it would be recorded as sent and never go out.
    // Nor does a side whose peer has been told that no more data comes.
    auto sending = [](ERelaySide side) {
        const CRelaySideState& st = RelayState().side[side];
        return !st.bStopRequested.load(std::memory_order_acquire) && !st.bSendShut.load(std::memory_order_acquire);
    };
    table.Register(ID_CONNECTION_START, [&doc] { OnConnectionStart(doc); }, idle);
    table.Register(
        ID_CONNECTION_END, [&doc] { EndConnection(doc); },
        [&doc] { return doc.m_bConnected && !doc.m_bDatagramActive; });
    table.Register(
        ID_CONNECTION_GET_FROM_CLIENT, [&doc] { OnGetFromClient(doc); },
        [&doc] { return doc.m_bConnected && doc.m_bAcceptConnections && !doc.m_heldFromClient.IsEmpty(); });
    table.Register(
        ID_CONNECTION_GET_FROM_SERVER, [&doc] { OnGetFromServer(doc); },
        [&doc] { return doc.m_bConnected && doc.m_bConnectToHost && !doc.m_heldFromServer.IsEmpty(); });
    table.Register(
        ID_CONNECTION_SEND_TO_CLIENT, [&doc] { OnSendToClient(doc); },
        [&doc, sending] {
            return doc.m_bConnected && doc.m_bAcceptConnections && sending(CLIENT_SIDE) && EditorHasText();
        });
    table.Register(
        ID_CONNECTION_SEND_TO_SERVER, [&doc] { OnSendToServer(doc); },
        [&doc, sending] {
            return doc.m_bConnected && doc.m_bConnectToHost && sending(SERVER_SIDE) && EditorHasText();
        });
    table.Register(
        ID_CONNECTION_STOP_WAIT_CLIENT, [&doc] { OnStopWaitClient(doc); },
        [&doc, connected] { return connected() && doc.m_bAcceptConnections && LoadFlag(doc.m_bHoldClientData); });
    table.Register(
        ID_CONNECTION_STOP_WAITING_SERVER, [&doc] { OnStopWaitingServer(doc); },
        [&doc, connected] { return connected() && doc.m_bConnectToHost && LoadFlag(doc.m_bHoldServerData); });
    table.Register(ID_CONNECTION_OPTIONS, [&doc] { OnConnectionOptions(doc); }, idle);
}
