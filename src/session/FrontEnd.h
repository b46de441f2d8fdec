// The narrow interface through which the session reaches the window side:
// the history list, the data editor, message boxes, progress windows and
// modal dialogs. The desktop main window implements it with widgets; the
// headless front end implements it for the command line and the tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/resource.h"
#include "session/FileInput.h"

class HistoryEvent;

// A progress window of a long walk over the history ("Please Wait", or the
// list's own "Loading Event List"). It is open from creation until its
// Cancel is pressed or its owner closes it.
class CProgressWindow {
public:
    virtual ~CProgressWindow() = default;
    virtual void SetPos(std::int64_t nPos) = 0;
    virtual bool IsOpen() const = 0;
    virtual void Close() = 0;
};

enum class EProgressKind {
    PleaseWait,        // the shared "Please Wait" window with its text line
    LoadingEventList,  // the reload window of the history list
};

class CFrontEnd {
public:
    virtual ~CFrontEnd() = default;

    // History list. AddEventRow is called from any thread, rows keep the call
    // order, and a worker never waits for the window thread. The row refers
    // to the event; the history owns it.
    virtual BOOL AddEventRow(HistoryEvent* pEvent) = 0;
    // A row for an event that the list has shown before, as the list is
    // built anew from the history: the headless front end, which prints each
    // row as it comes, does not print it again.
    virtual BOOL AddReloadedRow(HistoryEvent* pEvent) { return AddEventRow(pEvent); }
    virtual void DeleteAllRows() = 0;
    // The events of the selected rows, in row order.
    virtual std::vector<HistoryEvent*> GetSelectedEvents() = 0;

    // Data editor: the whole text only.
    virtual std::string GetEditorText() = 0;
    // False, with the editor unchanged, for a text longer than it can hold.
    virtual bool SetEditorText(const std::string& strText) = 0;
    virtual std::size_t GetEditorTextLength() = 0;

    // A message box owned by the main window; returns IDOK, IDCANCEL, IDYES or IDNO.
    virtual int MessageBox(const std::string& strText, UINT nType = MB_OK) = 0;
    // The socket layer's own box without an owner, titled "Warning".
    virtual void WarningBox(const std::string& strText) = 0;

    virtual std::unique_ptr<CProgressWindow> CreateProgress(EProgressKind kind, const std::string& strText,
                                                            std::int64_t nLow, std::int64_t nHigh) = 0;
    // Dispatches every pending window message of the thread, without waiting.
    virtual void PumpMessages() = 0;

    // How the window thread waits for a pipe that is not ready while it
    // reads or writes a file the user named (strText says which, for a
    // window that shows the wait): a window side that must stay responsive
    // waits through the object it returns. Null, the default, waits by
    // blocking (the command line, whose pipes are read and written by the
    // script that gave them).
    virtual std::unique_ptr<CStreamWait> CreateStreamWait(const std::string& strText)
    {
        (void)strText;
        return nullptr;
    }

    // Runs modal dialog nIDD, bound to the document's members (and to the
    // dialog-specific data pData where the dialog needs more). Returns IDOK
    // or IDCANCEL.
    virtual int DoModal(UINT nIDD, void* pData = nullptr) = 0;

    // The file open or save dialog. Returns false when cancelled.
    virtual bool PromptFileName(std::string& strPath, bool bOpenFileDialog, const std::string& strFilter,
                                const std::string& strDefaultExt = std::string()) = 0;
};

// The one window side of the process: the main window or the headless front end.
extern CFrontEnd* g_pMainFrame;

// The window side's wait for a pipe (CFrontEnd::CreateStreamWait), or null
// without a window side.
inline std::unique_ptr<CStreamWait> CreateStreamWait(const std::string& strText)
{
    return g_pMainFrame ? g_pMainFrame->CreateStreamWait(strText) : nullptr;
}

// Message box by string-table id, owned by the main window.
int AfxMessageBox(UINT nIDPrompt, UINT nType = MB_OK);
int AfxMessageBox(const std::string& strText, UINT nType = MB_OK);
