// The window side without windows: for the command line and the tests.
//
// Rows are kept as event pointers in call order (and optionally printed as
// lines), the editor is a string, message boxes and warnings go to standard
// error and are remembered, progress windows record their positions, and
// dialogs and file prompts answer from handlers that a caller installs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "session/FrontEnd.h"

class CHeadlessProgress;
class CRowLineWriter;

class CHeadlessFrontEnd : public CFrontEnd {
public:
    CHeadlessFrontEnd();
    ~CHeadlessFrontEnd() override;

    BOOL AddEventRow(HistoryEvent* pEvent) override;
    BOOL AddReloadedRow(HistoryEvent* pEvent) override;
    void DeleteAllRows() override;
    std::vector<HistoryEvent*> GetSelectedEvents() override;

    std::string GetEditorText() override;
    bool SetEditorText(const std::string& strText) override;
    std::size_t GetEditorTextLength() override;

    int MessageBox(const std::string& strText, UINT nType = MB_OK) override;
    void WarningBox(const std::string& strText) override;

    std::unique_ptr<CProgressWindow> CreateProgress(EProgressKind kind, const std::string& strText,
                                                    std::int64_t nLow, std::int64_t nHigh) override;
    void PumpMessages() override;

    int DoModal(UINT nIDD, void* pData = nullptr) override;
    bool PromptFileName(std::string& strPath, bool bOpenFileDialog, const std::string& strFilter,
                        const std::string& strDefaultExt = std::string()) override;

    // --- Settings and inspection for callers and tests ---

    // Prints every row as one line to the stream as it is added (null: off,
    // once the lines before are out, as for the destructor). The lines go
    // out through a writer thread of their own, so that no thread that
    // records an event waits for a slow output.
    void SetRowPrinter(std::FILE* pStream);
    // Writes out the lines still on their way and ends the printing. With
    // bGiveUpIfStuck, an output that takes nothing for a while is given up.
    // False, with the reason noted as a standard output failure, when lines
    // could not be written. The destructor finishes too, giving up only
    // after a termination signal.
    bool FinishRowPrinting(bool bGiveUpIfStuck);
    // Whether message boxes and warnings are echoed to standard error.
    void SetEcho(bool bEcho) { m_bEcho = bEcho; }
    // Answers of modal dialogs; without a handler every dialog is cancelled.
    std::function<int(UINT nIDD, void* pData)> m_onDoModal;
    // Answers of file prompts; without a handler every prompt is cancelled.
    std::function<bool(std::string& strPath, bool bOpen)> m_onPromptFileName;
    // Answers of message boxes that ask; IDOK (or IDYES) when unset.
    std::function<int(const std::string& strText, UINT nType)> m_onMessageBox;
    // Cancels a progress window at its n-th IsOpen test (0: never), so a
    // test can press Cancel after a given item.
    int m_nCancelProgressAtCheck = 0;
    // Cancels the progress windows open now: a command that is asked to end
    // stops the load or walk it is in. Windows opened later are not touched.
    void CancelProgress() { m_nCancelBelow = m_nProgressSerial; }

    std::vector<HistoryEvent*> GetRows() const;
    std::size_t GetRowCount() const;
    void SetSelection(std::vector<HistoryEvent*> selection) { m_selection = std::move(selection); }
    std::vector<std::string> m_messages;  // texts of message boxes, in order
    std::vector<std::string> m_warnings;  // texts of "Warning" boxes, in order
    struct ProgressRecord {
        EProgressKind kind;
        std::string strText;
        std::int64_t nLow, nHigh;
        std::vector<std::int64_t> positions;
        bool bCancelled = false;
    };
    std::vector<ProgressRecord> m_progress;  // every progress window shown
    std::uint64_t m_nPumps = 0;  // message pumps so far (a relay pumps every millisecond it waits)

private:
    friend class CHeadlessProgress;
    mutable std::mutex m_rowLock;
    std::vector<HistoryEvent*> m_rows;
    std::vector<HistoryEvent*> m_selection;
    std::string m_strEditor;
    std::unique_ptr<CRowLineWriter> m_pRowWriter;  // set before rows come, ended after them
    bool m_bEcho = true;
    std::uint64_t m_nProgressSerial = 0;  // progress windows created so far
    std::uint64_t m_nCancelBelow = 0;     // windows with a lower serial are cancelled
    CFrontEnd* m_pPrevious;
};

// One line for a row: action, host, time and data, separated by tabs.
std::string FormatRowLine(const HistoryEvent& event);
