#include "app/HeadlessFrontEnd.h"

#include <QCoreApplication>
#include <algorithm>

#include "app/CliSupport.h"
#include "app/RowLineWriter.h"
#include "app/resource.h"

#include "session/HistoryEvent.h"
#include "session/MidwireDoc.h"
#include "views/DisplayTranslation.h"
#include "views/EventRow.h"

class CHeadlessProgress : public CProgressWindow {
public:
    CHeadlessProgress(CHeadlessFrontEnd& owner, std::size_t nRecord)
        : m_owner(owner), m_nRecord(nRecord), m_nSerial(owner.m_nProgressSerial++)
    {
    }
    void SetPos(std::int64_t nPos) override { m_owner.m_progress[m_nRecord].positions.push_back(nPos); }
    bool IsOpen() const override
    {
        if (!m_bOpen)
            return false;
        ++m_nChecks;
        if (m_nSerial < m_owner.m_nCancelBelow ||
            (m_owner.m_nCancelProgressAtCheck > 0 && m_nChecks >= m_owner.m_nCancelProgressAtCheck)) {
            m_bOpen = false;
            m_owner.m_progress[m_nRecord].bCancelled = true;
        }
        return m_bOpen;
    }
    void Close() override { m_bOpen = false; }

private:
    CHeadlessFrontEnd& m_owner;
    std::size_t m_nRecord;
    std::uint64_t m_nSerial;
    mutable bool m_bOpen = true;
    mutable int m_nChecks = 0;
};

CHeadlessFrontEnd::CHeadlessFrontEnd() : m_pPrevious(g_pMainFrame)
{
    g_pMainFrame = this;
}

CHeadlessFrontEnd::~CHeadlessFrontEnd()
{
    FinishRowPrinting(TerminationSignalSeen());
    if (g_pMainFrame == this)
        g_pMainFrame = m_pPrevious;
}

void CHeadlessFrontEnd::SetRowPrinter(std::FILE* pStream)
{
    FinishRowPrinting(TerminationSignalSeen());
    if (pStream) {
        std::fflush(pStream);  // what was printed before comes first
        m_pRowWriter = std::make_unique<CRowLineWriter>(::fileno(pStream));
    }
}

bool CHeadlessFrontEnd::FinishRowPrinting(bool bGiveUpIfStuck)
{
    std::unique_ptr<CRowLineWriter> pWriter;
    {
        std::lock_guard<std::mutex> lock(m_rowLock);
        pWriter = std::move(m_pRowWriter);
    }
    if (!pWriter || pWriter->Finish(bGiveUpIfStuck))
        return true;
    NoteStandardOutputFailure(pWriter->GetErrorText());
    return false;
}

namespace {

// A column of a printed line: a control character (a line feed or tab in an
// event's text or in a host name) is written in the display form's brackets,
// as data bytes are, since a raw one would split the line or shift its
// columns for whoever reads the lines.
std::string OneLineColumn(std::string strText)
{
    const auto isControl = [](char c) { return static_cast<unsigned char>(c) < 0x20; };
    if (std::none_of(strText.begin(), strText.end(), isControl))
        return strText;
    std::string strOut;
    for (const char c : strText) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20)
            strOut += '[' + std::to_string(b) + ']';
        else
            strOut += c;
    }
    return strOut;
}

}  // namespace

std::string FormatRowLine(const HistoryEvent& event)
{
    if (!g_pDoc)
        return std::string();
    // The columns of the list's row, but the data without the line breaks
    // that the session's display settings (line length, kept breaks) put
    // into the list: one line per event, whatever the session.
    std::string strData;
    if (!event.m_strText.empty() || event.m_nLength <= 0 || !event.m_pData) {
        strData = EventDataText(event);
    } else if (MallocPtr<char> text = BytesToOneLineDisplayText(event.m_pData, event.m_nLength)) {
        strData = text.get();
    } else {
        strData = std::string(LoadStringText(IDS_ALLOC_FAILED)) + " 1";
    }
    return std::string(RenderKind(event.m_kind).pszLabel) + '\t' + OneLineColumn(EventHostText(*g_pDoc, event)) +
           '\t' + EventTimeText(event) + '\t' + OneLineColumn(std::move(strData));
}

BOOL CHeadlessFrontEnd::AddEventRow(HistoryEvent* pEvent)
{
    std::lock_guard<std::mutex> lock(m_rowLock);
    m_rows.push_back(pEvent);
    if (m_pRowWriter)
        m_pRowWriter->Append(FormatRowLine(*pEvent));
    return TRUE;
}

BOOL CHeadlessFrontEnd::AddReloadedRow(HistoryEvent* pEvent)
{
    std::lock_guard<std::mutex> lock(m_rowLock);
    m_rows.push_back(pEvent);
    return TRUE;
}

void CHeadlessFrontEnd::DeleteAllRows()
{
    std::lock_guard<std::mutex> lock(m_rowLock);
    m_rows.clear();
    m_selection.clear();
}

std::vector<HistoryEvent*> CHeadlessFrontEnd::GetSelectedEvents()
{
    return m_selection;
}

std::vector<HistoryEvent*> CHeadlessFrontEnd::GetRows() const
{
    std::lock_guard<std::mutex> lock(m_rowLock);
    return m_rows;
}

std::size_t CHeadlessFrontEnd::GetRowCount() const
{
    std::lock_guard<std::mutex> lock(m_rowLock);
    return m_rows.size();
}

std::string CHeadlessFrontEnd::GetEditorText()
{
    return m_strEditor;
}

bool CHeadlessFrontEnd::SetEditorText(const std::string& strText)
{
    m_strEditor = strText;
    return true;
}

std::size_t CHeadlessFrontEnd::GetEditorTextLength()
{
    return m_strEditor.size();
}

int CHeadlessFrontEnd::MessageBox(const std::string& strText, UINT nType)
{
    m_messages.push_back(strText);
    if (m_bEcho)
        std::fprintf(stderr, "midwire: %s\n", strText.c_str());
    if (m_onMessageBox)
        return m_onMessageBox(strText, nType);
    return (nType & 0xF) == MB_YESNO ? IDYES : IDOK;
}

void CHeadlessFrontEnd::WarningBox(const std::string& strText)
{
    m_warnings.push_back(strText);
    if (m_bEcho)
        std::fprintf(stderr, "Warning: %s\n", strText.c_str());
}

std::unique_ptr<CProgressWindow> CHeadlessFrontEnd::CreateProgress(EProgressKind kind, const std::string& strText,
                                                                   std::int64_t nLow, std::int64_t nHigh)
{
    m_progress.push_back(ProgressRecord{kind, strText, nLow, nHigh, {}, false});
    return std::make_unique<CHeadlessProgress>(*this, m_progress.size() - 1);
}

void CHeadlessFrontEnd::PumpMessages()
{
    ++m_nPumps;
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
}

int CHeadlessFrontEnd::DoModal(UINT nIDD, void* pData)
{
    return m_onDoModal ? m_onDoModal(nIDD, pData) : IDCANCEL;
}

bool CHeadlessFrontEnd::PromptFileName(std::string& strPath, bool bOpenFileDialog, const std::string&,
                                       const std::string&)
{
    return m_onPromptFileName ? m_onPromptFileName(strPath, bOpenFileDialog) : false;
}
