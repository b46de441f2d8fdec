#include "export/HistoryExport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "app/CliSupport.h"
#include "app/CommandTable.h"
#include "export/ExportOutput.h"
#include "mime/MimeDecode.h"
#include "session/FrontEnd.h"
#include "session/HistoryEvent.h"
#include "session/MidwireDoc.h"
#include "session/ProgressWalk.h"
#include "views/DisplayTranslation.h"

const char* const kSaveSpecialFilter = " Text (*.txt) | *.txt | Binary (*.bin) | *.bin | Mime (*.*) | *.* ||";

namespace {

const char* const kTextProgress = "Please wait while saving text";
const char* const kBinaryProgress = "Please wait while saving binary";
const char* const kMimeProgress = "Please wait whail saving mime";

constexpr std::size_t kActionWidth = 20;

// Events a side filter leaves out: the other side's data and connection
// events. Playback and datagram kinds belong to neither side.
constexpr std::uint32_t kClientSideKinds = 0x1 | 0x2 | 0x4 | 0x800 | 0x1000 | 0x4000;
constexpr std::uint32_t kServerSideKinds = 0x8 | 0x10 | 0x20 | 0x200 | 0x400 | 0x2000;
// Events the Data filter leaves out. The text form keeps datagram data and
// drops the bind and unbind events; the byte forms do the opposite, so that
// what they write is the TCP exchange with its datagram status lines.
constexpr std::uint32_t kStatusKinds = 0x40 | 0x80 | 0x100 | 0x200 | 0x400 | 0x800 | 0x1000;
constexpr std::uint32_t kTextNonData = kStatusKinds | EK_DGRAM_BIND | EK_DGRAM_UNBIND;
constexpr std::uint32_t kByteNonData = kStatusKinds | EK_DGRAM_SENT | EK_DGRAM_RECEIVED | EK_DGRAM_MOVED;

// Kinds whose host column names the session's server or client host.
constexpr std::uint32_t kServerHostKinds = 0x2 | 0x4 | 0x8 | 0x200 | 0x400 | 0x2000;
constexpr std::uint32_t kClientHostKinds = 0x1 | 0x10 | 0x20 | 0x800 | 0x1000 | 0x4000;

// A kind value is one bit; unknown values (no bit or several) match no set.
bool KindIn(std::uint32_t kind, std::uint32_t set)
{
    return IsKnownEventKind(kind) && (kind & set) != 0;
}

const char* DirectionText(std::uint32_t kind)
{
    switch (kind) {
    case EK_RECEIVED_FROM_CLIENT:
    case EK_MOVED_TO_SERVER:
    case EK_SENT_TO_SERVER:
    case EK_EDITED_TO_SERVER:
        return ">> ";
    case EK_SENT_TO_CLIENT:
    case EK_RECEIVED_FROM_SERVER:
    case EK_MOVED_TO_CLIENT:
    case EK_EDITED_TO_CLIENT:
        return "<< ";
    case EK_DGRAM_RECEIVED: return "\\/ ";
    case EK_DGRAM_SENT:
    case EK_DGRAM_MOVED:
        return "/\\ ";
    default: return "== ";
    }
}

// The action column's label. It follows the list's labels except for the
// accepted client connection, which reads like the server's, and for the
// playback data kinds, which have none.
const char* ActionText(std::uint32_t kind)
{
    switch (kind) {
    case EK_SENT_TO_CLIENT:
    case EK_SENT_TO_SERVER:
    case EK_DGRAM_SENT:
        return "Sent to:";
    case EK_RECEIVED_FROM_CLIENT:
    case EK_RECEIVED_FROM_SERVER:
    case EK_DGRAM_RECEIVED:
        return "Received from:";
    case EK_MOVED_TO_SERVER:
    case EK_MOVED_TO_CLIENT:
    case EK_DGRAM_MOVED:
        return "Moved to:";
    case EK_ERROR: return "Error";
    case EK_WARNING: return "Warning";
    case EK_MESSAGE: return "Message";
    case EK_CONNECT_SERVER:
    case EK_CONNECT_CLIENT:
        return "Connect to:";
    case EK_DISCONNECT_SERVER:
    case EK_DISCONNECT_CLIENT:
        return "Disconnect to:";
    case EK_EDITED_TO_SERVER:
    case EK_EDITED_TO_CLIENT:
        return "Edited & sent to:";
    case EK_PLAYBACK_START: return "Start PlayBack";
    case EK_DGRAM_BIND: return "Bind dgram socket";
    case EK_DGRAM_UNBIND: return "Unbind dgram socket";
    default: return "";
    }
}

void AppendPadded(std::string& strOut, std::string_view text, std::size_t nWidth)
{
    strOut.append(text);
    if (text.size() < nWidth)
        strOut.append(nWidth - text.size(), ' ');
}

std::string AllocFailedText()
{
    return std::string(LoadStringText(IDS_ALLOC_FAILED)) + " Save Text";
}

constexpr std::size_t kPrefetchEvents = 16;
constexpr std::size_t kPrefetchData = 6;
// Written content after which messages are dispatched even before the 16th
// event.
constexpr std::size_t kDispatchBytes = 1 << 20;

// The walk over the chosen events, shared by the three forms. fnWrite writes
// one event that passed the filters and returns false to stop the walk (a
// write that failed). Returns false when the walk was stopped that way.
template <class Fn>
bool WalkEvents(CMidwireDoc& doc, const SaveSpecialOptions& options, EExportForm form, CProgressWalk& progress,
                Fn&& fnWrite)
{
    const std::size_t nTotal = doc.m_history.GetCount();
    std::vector<HistoryEvent*> selected;
    const bool bSelected = options.nSelection == SAVE_SEL_SELECTED;
    if (bSelected && g_pMainFrame)
        selected = g_pMainFrame->GetSelectedEvents();
    const std::size_t nCount = bSelected ? std::min(selected.size(), nTotal) : nTotal;
    std::size_t nWritten = 0;
    std::size_t nSinceDispatch = 0;  // bytes of the events written since the last dispatch
    for (std::size_t i = 1; i <= nCount; ++i) {
        const HistoryEvent* pEvent = bSelected ? selected[i - 1] : doc.m_history.GetAt(i - 1);
        // Events and their data blocks lie apart on the heap; asking for the
        // ones a few steps ahead keeps a long walk from waiting on memory.
        if (i + kPrefetchEvents <= nCount) {
            const HistoryEvent* pAhead = bSelected ? selected[i + kPrefetchEvents - 1]
                                                   : doc.m_history.GetAt(i + kPrefetchEvents - 1);
            __builtin_prefetch(pAhead);
        }
        if (i + kPrefetchData <= nCount) {
            const HistoryEvent* pNear = bSelected ? selected[i + kPrefetchData - 1]
                                                  : doc.m_history.GetAt(i + kPrefetchData - 1);
            if (pNear)
                __builtin_prefetch(pNear->m_pData);
        }
        progress.Before(static_cast<std::int64_t>(i));
        if (!pEvent || ExportSkipsKind(pEvent->m_kind, options, form))
            continue;
        if (!fnWrite(*pEvent))
            return false;
        // Cancel is looked for after every event; the messages that carry it
        // are dispatched every 16 events (and then only when some time has
        // passed), which keeps a walk over a million events off the clock.
        // Large events count by their size as well: a few pieces of many
        // megabytes each take long enough that the window must be served
        // after each of them.
        nSinceDispatch += static_cast<std::size_t>(std::max(pEvent->m_nLength, 0)) + pEvent->m_strText.size();
        const bool bDispatch = ++nWritten % 16 == 0 || nSinceDispatch >= kDispatchBytes;
        if (bDispatch)
            nSinceDispatch = 0;
        const bool bOpen = bDispatch ? progress.After() : progress.IsOpen();
        if (!bOpen)
            break;
    }
    return true;
}

void ReportOpenFailed(const std::string& strPath, int nErrno)
{
    AfxMessageBox(FormatMessageText(IDS_OPEN_FILE_FAILED, strPath, FileErrorText(nErrno)));
}

// A file that was opened but could not be written completely (a full disk, a
// lost network share) is reported like a failed open, with its cause, as the
// session file does: the export is then not taken for done.
void ReportWriteFailed(const std::string& strPath, const CExportOutput& out)
{
    AfxMessageBox(FormatMessageText(IDS_OPEN_FILE_FAILED, strPath, out.GetErrorText()));
}

BOOL WriteText(CMidwireDoc& doc, const SaveSpecialOptions& options, CExportOutput& out)
{
    CMidwireDoc::CWalkGuard guard(doc);
    CProgressWalk progress(EProgressKind::PleaseWait, kTextProgress, 0,
                           static_cast<std::int64_t>(doc.m_history.GetCount()));
    CTextLineWriter writer(doc, options);
    std::string strLine;
    return WalkEvents(doc, options, EExportForm::Text, progress, [&](const HistoryEvent& event) {
        strLine.clear();
        if (!writer.AppendLine(strLine, event))
            AfxMessageBox(AllocFailedText());
        return out.Write(strLine);
    });
}

// The directory and the name in it of the MIME form: the chosen path without
// trailing separators, and its last component.
void SplitMimePath(const std::string& strPath, std::string& strDirectory, std::string& strName)
{
    strDirectory = strPath;
    while (strDirectory.size() > 1 && strDirectory.back() == '/')
        strDirectory.pop_back();
    const std::size_t nSlash = strDirectory.rfind('/');
    strName = nSlash == std::string::npos ? strDirectory : strDirectory.substr(nSlash + 1);
}

}  // namespace

EExportForm ExportFormOfPath(const std::string& strPath)
{
    // The extension is what follows the last dot of the last component.
    const std::size_t nSlash = strPath.rfind('/');
    const std::size_t nStart = nSlash == std::string::npos ? 0 : nSlash + 1;
    const std::size_t nDot = strPath.rfind('.');
    if (nDot == std::string::npos || nDot < nStart)
        return EExportForm::Mime;
    const std::string_view ext = std::string_view(strPath).substr(nDot + 1);
    if (ext == "txt" || ext == "TXT")
        return EExportForm::Text;
    if (ext == "bin" || ext == "BIN")
        return EExportForm::Binary;
    return EExportForm::Mime;
}

bool ExportSkipsKind(std::uint32_t kind, const SaveSpecialOptions& options, EExportForm form)
{
    if (options.nSide == SAVE_SIDE_SERVER && KindIn(kind, kClientSideKinds))
        return true;
    if (options.nSide == SAVE_SIDE_CLIENT && KindIn(kind, kServerSideKinds))
        return true;
    if (options.nEvents == SAVE_EVENTS_DATA && KindIn(kind, form == EExportForm::Text ? kTextNonData : kByteNonData))
        return true;
    return false;
}

CTextLineWriter::CTextLineWriter(const CMidwireDoc& doc, const SaveSpecialOptions& options)
    : m_doc(doc), m_options(options),
      m_nHostWidth(std::max<std::size_t>({10, doc.m_strServerHost.size(), doc.m_strClientHost.size()}))
{
}

bool CTextLineWriter::AppendLine(std::string& strLine, const HistoryEvent& event)
{
    const std::uint32_t kind = event.m_kind;
    if (m_options.bDirection)
        strLine.append(DirectionText(kind));
    if (m_options.bDate) {
        // Neighbouring events mostly share their second.
        if (!m_bDateCached || m_cachedTime != event.m_time) {
            m_cachedTime = event.m_time;
            m_strCachedDate = FormatEventTime(event.m_time);
            m_strCachedDate += ' ';
            m_bDateCached = true;
        }
        strLine.append(m_strCachedDate);
    }
    if (m_options.bAction)
        AppendPadded(strLine, ActionText(kind), kActionWidth);
    if (m_options.bHost) {
        std::string_view host;
        if (KindIn(kind, kServerHostKinds))
            host = m_doc.m_strServerHost;
        else if (KindIn(kind, kClientHostKinds))
            host = m_doc.m_strClientHost;
        else
            host = std::string_view(event.m_strHost).substr(0, m_nHostWidth);
        AppendPadded(strLine, host, m_nHostWidth + 1);
    }
    // The file is text: a line break inside the text column (a maximum line
    // length, kept breaks) is written as CR LF like the line's own end.
    bool bOk = true;
    if (!event.m_strText.empty()) {
        AppendWithCrLf(strLine, event.m_strText);
    } else if (event.m_pData && event.m_nLength > 0) {
        MallocPtr<char> text = BytesToDisplayText(event.m_pData, event.m_nLength);
        if (text) {
            AppendWithCrLf(strLine, text.get());
        } else {
            strLine.append(AllocFailedText());
            bOk = false;
        }
    }
    strLine.append("\r\n");
    return bOk;
}

void AppendEventContent(std::string& strOut, const HistoryEvent& event)
{
    // A length without a block (or a negative one) is no data: the event is
    // written as its text rather than read through a null pointer.
    if (event.m_nLength > 0 && event.m_pData) {
        strOut.append(reinterpret_cast<const char*>(event.m_pData), static_cast<std::size_t>(event.m_nLength));
    } else {
        strOut.append(event.m_strText);
        strOut.push_back('\n');
    }
}

namespace {

BOOL WriteBinary(CMidwireDoc& doc, const SaveSpecialOptions& options, CExportOutput& out)
{
    CMidwireDoc::CWalkGuard guard(doc);
    CProgressWalk progress(EProgressKind::PleaseWait, kBinaryProgress, 0,
                           static_cast<std::int64_t>(doc.m_history.GetCount()));
    std::string strText;
    return WalkEvents(doc, options, EExportForm::Binary, progress, [&](const HistoryEvent& event) {
        if (event.m_nLength > 0 && event.m_pData)
            return out.Write(event.m_pData, static_cast<std::size_t>(event.m_nLength));
        strText.clear();
        AppendEventContent(strText, event);
        return out.Write(strText);
    });
}

// One of the stream forms into an open stream.
template <typename Fn>
BOOL WriteSpecialToStream(std::FILE* pStream, std::string& strError, Fn fnWrite)
{
    if (std::fflush(pStream) != 0) {
        strError = std::strerror(errno);
        return FALSE;
    }
    CExportOutput out;
    out.Attach(fileno(pStream));
    const BOOL bWalked = fnWrite(out);
    if (!out.Close() || !bWalked) {
        strError = out.GetErrorText();
        return FALSE;
    }
    return TRUE;
}

}  // namespace

BOOL WriteSpecialText(CMidwireDoc& doc, const SaveSpecialOptions& options, std::FILE* pStream,
                      std::string& strError)
{
    return WriteSpecialToStream(pStream, strError, [&](CExportOutput& out) { return WriteText(doc, options, out); });
}

BOOL SaveSpecialText(CMidwireDoc& doc, const SaveSpecialOptions& options)
{
    CExportOutput out;
    if (!out.Create(options.strPath, options.bNoWaitForReader)) {
        ReportOpenFailed(options.strPath, errno);
        return FALSE;
    }
    out.SetStreamWait(CreateStreamWait(kTextProgress));
    const BOOL bWalked = WriteText(doc, options, out);
    // A wait for a pipe that the user cancelled ends the export as Cancel
    // does: what was written stays, without a message.
    if ((!out.Close() || !bWalked) && !out.Cancelled()) {
        ReportWriteFailed(options.strPath, out);
        return FALSE;
    }
    return TRUE;
}

BOOL WriteSpecialBinary(CMidwireDoc& doc, const SaveSpecialOptions& options, std::FILE* pStream,
                        std::string& strError)
{
    return WriteSpecialToStream(pStream, strError,
                                [&](CExportOutput& out) { return WriteBinary(doc, options, out); });
}

BOOL SaveSpecialBinary(CMidwireDoc& doc, const SaveSpecialOptions& options)
{
    CExportOutput out;
    if (!out.Create(options.strPath, options.bNoWaitForReader)) {
        ReportOpenFailed(options.strPath, errno);
        return FALSE;
    }
    out.SetStreamWait(CreateStreamWait(kBinaryProgress));
    const BOOL bWalked = WriteBinary(doc, options, out);
    // A wait for a pipe that the user cancelled ends the export as Cancel
    // does: what was written stays, without a message.
    if ((!out.Close() || !bWalked) && !out.Cancelled()) {
        ReportWriteFailed(options.strPath, out);
        return FALSE;
    }
    return TRUE;
}

BOOL SaveSpecialMime(CMidwireDoc& doc, const SaveSpecialOptions& options)
{
    std::string strDirectory, strName;
    SplitMimePath(options.strPath, strDirectory, strName);
    if (strDirectory.empty() || ::mkdir(strDirectory.c_str(), 0777) != 0) {
        AfxMessageBox(FormatMessageText(IDS_MKDIR_FAILED, options.strPath));
        return FALSE;
    }
    CMidwireDoc::CWalkGuard guard(doc);
    CProgressWalk progress(EProgressKind::PleaseWait, kMimeProgress, 0,
                           static_cast<std::int64_t>(doc.m_history.GetCount()));
    std::string strMessage;
    WalkEvents(doc, options, EExportForm::Mime, progress, [&](const HistoryEvent& event) {
        AppendEventContent(strMessage, event);
        return true;
    });
    // Cancel stops only the collection: what was collected is still stored
    // and reported. The progress window stays up, unmoved, meanwhile.
    std::string strWriteError;
    const bool bWritten = DecodeToDirectory(strMessage, strDirectory, strName, strWriteError);
    progress.Close();
    if (!bWritten) {
        AfxMessageBox(FormatMessageText(IDS_WRITE_FILE_FAILED, strWriteError));
        return FALSE;
    }
    return TRUE;
}

BOOL RunSaveSpecial(CMidwireDoc& doc, const SaveSpecialOptions& options)
{
    switch (ExportFormOfPath(options.strPath)) {
    case EExportForm::Text: return SaveSpecialText(doc, options);
    case EExportForm::Binary: return SaveSpecialBinary(doc, options);
    case EExportForm::Mime: break;
    }
    return SaveSpecialMime(doc, options);
}

bool CanSaveSpecial(const CMidwireDoc& doc)
{
    return IsIdle(doc) && !doc.IsWalking() && !doc.m_history.IsEmpty();
}

void OnFileSaveSpecial(CMidwireDoc& doc)
{
    SaveSpecialOptions options;
    if (!g_pMainFrame || g_pMainFrame->DoModal(IDD_SAVE_SPECIAL, &options) != IDOK || options.strPath.empty())
        return;
    options.bNoWaitForReader = true;
    // A pipe whose reader goes away fails the write, which is reported,
    // instead of killing the program and the unsaved session it holds.
    CBrokenPipeGuard brokenPipeGuard;
    RunSaveSpecial(doc, options);
}

void RegisterExportCommands(CCommandTable& table, CMidwireDoc& doc)
{
    table.Register(ID_FILE_SAVE_SPECIAL, [&doc] { OnFileSaveSpecial(doc); }, [&doc] { return CanSaveSpecial(doc); });
}
