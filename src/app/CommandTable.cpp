#include "app/CommandTable.h"

#include "datagram/DatagramRelay.h"
#include "editor/Codecs.h"
#include "editor/EditorCommands.h"
#include "export/HistoryExport.h"
#include "mime/MimeCommands.h"
#include "playback/Playback.h"
#include "relay/Relay.h"
#include "session/FrontEnd.h"
#include "session/MidwireDoc.h"

void CCommandTable::Register(UINT nID, Handler handler, EnableRule rule)
{
    m_commands[nID] = Entry{std::move(handler), std::move(rule)};
}

bool CCommandTable::IsEnabled(UINT nID) const
{
    const auto it = m_commands.find(nID);
    if (it == m_commands.end() || !it->second.handler)
        return false;
    return !it->second.rule || it->second.rule();
}

bool CCommandTable::Run(UINT nID)
{
    if (!IsEnabled(nID))
        return false;
    // Copy the handler: a command may re-register commands while it runs.
    const Handler handler = m_commands[nID].handler;
    handler();
    return true;
}

CCommandTable& GetCommandTable()
{
    static CCommandTable table;
    return table;
}

bool IsIdle(const CMidwireDoc& doc)
{
    return !doc.m_bConnected && !doc.m_bDatagramActive;
}

namespace {

const char* const kSessionFilter = "Midwir Files (*.mwx)";

void OnFileOpen(CMidwireDoc& doc)
{
    std::string strPath;
    if (g_pMainFrame && g_pMainFrame->PromptFileName(strPath, true, kSessionFilter, "mwx"))
        doc.OnOpenDocument(strPath);
}

void OnFileSaveAs(CMidwireDoc& doc)
{
    std::string strPath = doc.m_strPathName;
    if (g_pMainFrame && g_pMainFrame->PromptFileName(strPath, false, kSessionFilter, "mwx"))
        doc.OnSaveDocument(strPath, true);
}

}  // namespace

void RegisterSessionCommands(CCommandTable& table, CMidwireDoc& doc)
{
    // Commands that change or walk the history wait until no walk runs.
    auto idle = [&doc] { return IsIdle(doc) && !doc.IsWalking(); };
    table.Register(ID_FILE_NEW, [&doc] { doc.OnNewDocument(); }, idle);
    table.Register(ID_FILE_OPEN, [&doc] { OnFileOpen(doc); }, idle);
    table.Register(ID_FILE_SAVE,
                   [&doc] {
                       if (doc.m_strPathName.empty())
                           OnFileSaveAs(doc);
                       else
                           doc.OnSaveDocument(doc.m_strPathName, true);
                   },
                   idle);
    table.Register(ID_FILE_SAVE_AS, [&doc] { OnFileSaveAs(doc); }, idle);
    table.Register(ID_EDIT_ERASE_ALL, [&doc] { doc.OnEraseAll(); }, idle);
    table.Register(ID_VIEW_RELOAD, [&doc] { doc.ReloadEventList(); }, idle);
}

void RegisterAllCommands(CMidwireDoc& doc)
{
    CCommandTable& table = GetCommandTable();
    table.Clear();
    RegisterSessionCommands(table, doc);
    RegisterEditorCommands(table, doc);
    // Each subsystem registers its commands below.
    RegisterDatagramCommands(table, doc);
    RegisterExportCommands(table, doc);
    RegisterMimeCommands(table, doc);
    RegisterCodecCommands(table, doc);
    RegisterRelayCommands(table, doc);
    RegisterPlaybackCommands(table, doc);
}
