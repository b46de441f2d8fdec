#include "views/Print.h"

#include <QList>
#include <QString>
#include <algorithm>
#include <cstdlib>

#include "app/CliSupport.h"
#include "app/resource.h"
#include "session/FrontEnd.h"
#include "session/HistoryEvent.h"
#include "session/MidwireDoc.h"
#include "session/ProgressWalk.h"
#include "views/DisplayTranslation.h"

PageGeometry ComputePageGeometry(const PrintMetrics& m, const std::string& strJobTitle)
{
    PageGeometry g{};
    g.x0 = m.nLogPixelsX;
    g.y0 = m.nLogPixelsY;
    g.nBottom = m.nVertRes - m.nLogPixelsY;
    g.h = m.nLineHeight;
    // A page narrower than one character (or a font without width) would cut
    // blocks into empty pieces for ever: such a page prints one character a line.
    int w = m.nAveCharWidth > 0 ? std::abs(m.nHorzRes - 2 * m.nLogPixelsX) / m.nAveCharWidth : 1;
    g.nCharsPerLine = std::max(w, 1);
    g.nTitleY = m.nLogPixelsY / 2;
    // The title is local text: a UTF-8 sequence is drawn as one character.
    const long long titleWidth = static_cast<long long>(DisplayText(strJobTitle).toUcs4().size()) * m.nAveCharWidth;
    g.nTitleX = static_cast<int>(std::max<long long>(m.nHorzRes / 2 - titleWidth / 2, g.x0));
    g.nPageNoY = m.nVertRes - m.nLogPixelsY / 2;
    g.nPageNoX = m.nHorzRes / 2;
    return g;
}

CPageWriter::CPageWriter(CPrintDevice& device, const PageGeometry& geometry, std::string strJobTitle)
    : m_device(device), m_geo(geometry), m_strTitle(std::move(strJobTitle)), m_y(geometry.y0)
{
}

void CPageWriter::Footer(int nPage)
{
    m_device.TitleOut(m_geo.nTitleX, m_geo.nTitleY, m_strTitle);
    m_device.TextOut(m_geo.nPageNoX, m_geo.nPageNoY, FormatString("%d", nPage));
}

void CPageWriter::BreakPage()
{
    Footer(++m_nPage);
    m_device.EndPage();
    m_device.StartPage();
    m_y = m_geo.y0;
}

void CPageWriter::PrintPiece(const std::string& strPiece, bool bLocalText)
{
    if (bLocalText)
        m_device.LocalTextOut(m_geo.x0, m_y, strPiece);
    else
        m_device.TextOut(m_geo.x0, m_y, strPiece);
    if (m_onPiece && !m_onPiece())
        m_bCancelled = true;
}

void CPageWriter::PrintBlock(const std::string& strBlock, int nAdvanceLines, bool bLocalText)
{
    if (m_bCancelled)
        return;
    // A line holds W characters: bytes of 8-bit text, UTF-8 sequences of
    // local text (which a cut must not split).
    const std::size_t w = static_cast<std::size_t>(m_geo.nCharsPerLine);
    auto lineBytes = [&](std::size_t nFrom) {
        return bLocalText ? LocalTextPrefixBytes(std::string_view(strBlock).substr(nFrom), w)
                          : std::min(w, strBlock.size() - nFrom);
    };
    std::size_t nPos = 0;
    for (std::size_t n = lineBytes(0); nPos + n < strBlock.size(); n = lineBytes(nPos)) {
        // One block may fill thousands of pages: Cancel is seen inside it.
        PrintPiece(strBlock.substr(nPos, n), bLocalText);
        if (m_bCancelled)
            return;
        nPos += n;
        m_y += m_geo.h;
        if (m_y > m_geo.nBottom)
            BreakPage();
    }
    PrintPiece(strBlock.substr(nPos), bLocalText);
    m_y += m_geo.h * nAdvanceLines;
    if (m_y > m_geo.nBottom)
        BreakPage();
}

bool CPageWriter::Finish()
{
    if (m_bCancelled) {
        m_device.AbortDoc();
        return false;
    }
    if (m_y <= m_geo.nBottom && m_y != m_geo.y0) {
        Footer(m_nPage + 1);
        ++m_nPage;
        m_device.EndPage();
    }
    return m_device.EndDoc();
}

std::string PrintJobTitle(const CMidwireDoc& doc)
{
    return std::string(LoadStringText(IDS_APP_TITLE)) + " - " + doc.GetTitle();
}

const char* PrintedKindLabel(std::uint32_t kind)
{
    switch (kind) {
    case EK_SENT_TO_CLIENT: return "Sent to:";
    case EK_RECEIVED_FROM_CLIENT: return "Received from:";
    case EK_MOVED_TO_SERVER: return "Moved to:";
    case EK_SENT_TO_SERVER: return "Sent to:";
    case EK_RECEIVED_FROM_SERVER: return "Received from:";
    case EK_MOVED_TO_CLIENT: return "Moved to:";
    case EK_ERROR: return "Error";
    case EK_WARNING: return "Warning";
    case EK_MESSAGE: return "Message";
    case EK_CONNECT_SERVER: return "Connect to:";
    case EK_DISCONNECT_SERVER: return "Disconnect to:";
    case EK_CONNECT_CLIENT: return "Connect to:";
    case EK_DISCONNECT_CLIENT: return "Disconnect to:";
    case EK_EDITED_TO_SERVER: return "Edited & sent to:";
    case EK_EDITED_TO_CLIENT: return "Edited & sent to:";
    case EK_PLAYBACK_START: return "Start PlayBack";
    case EK_DGRAM_SENT: return "Sent to:";
    case EK_DGRAM_RECEIVED: return "Received from:";
    case EK_DGRAM_BIND: return "Bind dgram socket";
    case EK_DGRAM_UNBIND: return "Unbind dgram socket";
    case EK_DGRAM_MOVED: return "Moved to:";
    default: return "";  // the playback data kinds and unknown values
    }
}

std::string PrintedHostText(const CMidwireDoc& doc, const HistoryEvent& event)
{
    // The printout names the host the data travels towards (or comes from,
    // for the connection kinds): data from the client names the server.
    switch (event.m_kind) {
    case EK_SENT_TO_CLIENT:
    case EK_RECEIVED_FROM_SERVER:
    case EK_MOVED_TO_CLIENT:
    case EK_CONNECT_CLIENT:
    case EK_DISCONNECT_CLIENT:
    case EK_EDITED_TO_CLIENT:
        return doc.m_strClientHost;
    case EK_RECEIVED_FROM_CLIENT:
    case EK_MOVED_TO_SERVER:
    case EK_SENT_TO_SERVER:
    case EK_CONNECT_SERVER:
    case EK_DISCONNECT_SERVER:
    case EK_EDITED_TO_SERVER:
        return doc.m_strServerHost;
    default:
        return event.m_strHost;
    }
}

std::string PrintedHeader(const CMidwireDoc& doc, const HistoryEvent& event)
{
    return FormatEventTime(event.m_time) + ' ' + PrintedKindLabel(event.m_kind) + ' ' +
           PrintedHostText(doc, event);
}

namespace {

void TabsToBlanks(std::string& str)
{
    std::replace(str.begin(), str.end(), '\t', ' ');
}

// Starts the job and the first page; the writer then owns the layout.
PageGeometry StartJob(CPrintDevice& device, const std::string& strTitle)
{
    const PageGeometry geo = ComputePageGeometry(device.GetMetrics(), strTitle);
    device.StartPage();
    return geo;
}

}  // namespace

bool PrintHistoryList(CPrintDevice& device, CMidwireDoc& doc, bool bSelection,
                      const std::vector<HistoryEvent*>& selection)
{
    // An empty history is said before the job starts: a job started and
    // abandoned prints nothing on paper, but a print to a file has already
    // replaced the file by then.
    const std::size_t nCount = doc.m_history.GetCount();
    if (nCount == 0) {
        AfxMessageBox(IDS_HISTORY_EMPTY);
        return false;
    }
    // Selection with no row selected has nothing to print either: a job
    // started for it would put out one blank page.
    if (bSelection && selection.empty()) {
        AfxMessageBox(IDS_PRINT_NO_SELECTION);
        return false;
    }
    const std::string strTitle = PrintJobTitle(doc);
    if (!device.StartDoc(strTitle)) {
        AfxMessageBox(IDS_PRINT_START_FAILED);
        return false;
    }
    CMidwireDoc::CWalkGuard guard(doc);
    CPageWriter writer(device, StartJob(device, strTitle), strTitle);
    CProgressWalk walk(EProgressKind::PleaseWait, "Printing... " + strTitle, 1, static_cast<std::int64_t>(nCount));

    std::vector<HistoryEvent*> events;
    if (bSelection) {
        events.assign(selection.begin(), selection.begin() + static_cast<std::ptrdiff_t>(std::min(selection.size(), nCount)));
    } else {
        events.assign(doc.m_history.begin(), doc.m_history.end());
    }
    // The window is serviced between printed lines, so that its Cancel stops
    // even a print of a single huge event.
    writer.m_onPiece = [&walk] { return walk.After(); };
    std::int64_t i = 0;
    for (HistoryEvent* pEvent : events) {
        if (writer.IsCancelled())
            break;
        walk.Before(++i);
        // The header names a host as typed, in UTF-8 like the list view shows it.
        writer.PrintBlock(PrintedHeader(doc, *pEvent), 1, true);
        std::string strData = pEvent->m_strText;
        if (strData.empty() && pEvent->m_nLength > 0 && pEvent->m_pData) {
            MallocPtr<char> text = BytesToDisplayText(pEvent->m_pData, pEvent->m_nLength);
            if (text) {
                strData = text.get();
            } else {
                strData = std::string(LoadStringText(IDS_ALLOC_FAILED)) + " Print Text";
                AfxMessageBox(strData);
            }
        }
        TabsToBlanks(strData);
        // Data is 8-bit text; the message of a state change names hosts and
        // ports as typed (in UTF-8), as the header does.
        const bool bMessage = !pEvent->m_strText.empty() && (pEvent->m_kind & EK_DATA_KINDS) == 0;
        writer.PrintBlock(strData, 2, bMessage);
    }
    // The window goes before the job ends, so that a printout that cannot be
    // written is not said with "Printing..." still up.
    walk.Close();
    return writer.Finish();
}

bool PrintEditorText(CPrintDevice& device, CMidwireDoc& doc, const std::string& strEditor)
{
    if (strEditor.empty()) {
        AfxMessageBox(IDS_EDITOR_EMPTY);
        return false;
    }
    const std::string strTitle = PrintJobTitle(doc);
    // The bar of this job goes round every 100 printed lines.
    CProgressWalk walk(EProgressKind::PleaseWait, "Printing... " + strTitle, 1, 100);
    if (!device.StartDoc(strTitle)) {
        walk.Close();
        AfxMessageBox(IDS_PRINT_START_FAILED);
        return false;
    }
    CPageWriter writer(device, StartJob(device, strTitle), strTitle);
    std::int64_t nPieces = 0;
    writer.m_onPiece = [&] {
        ++nPieces;
        walk.SetPos(nPieces % 100);
        return walk.After();
    };

    std::string strText = strEditor;
    TabsToBlanks(strText);
    std::size_t nStart = 0;
    while (!writer.IsCancelled()) {
        const std::size_t nBreak = strText.find('\n', nStart);
        if (nBreak == std::string::npos)
            break;
        // A line ends with a carriage return and a line feed; only the
        // carriage return is dropped, a line ending in a bare line feed
        // keeps its last character.
        std::size_t nEnd = nBreak;
        if (nEnd > nStart && strText[nEnd - 1] == '\r')
            --nEnd;
        writer.PrintBlock(strText.substr(nStart, nEnd - nStart));
        nStart = nBreak + 1;
    }
    if (nStart < strText.size())
        writer.PrintBlock(strText.substr(nStart));
    // The window goes before the job ends, so that a printout that cannot be
    // written is not said with "Printing..." still up.
    walk.Close();
    return writer.Finish();
}
