#include "relay/RelayDialogs.h"

#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <cctype>
#include <climits>

#include "session/FrontEnd.h"
#include "session/MidwireDoc.h"
#include "relay/Relay.h"
#include "relay/RelayState.h"
#include "views/DisplayTranslation.h"

CWaitAcceptDlg* g_pWaitAcceptDlg = nullptr;

void CConnectDlgData::LoadFrom(const CMidwireDoc& doc)
{
    m_bAcceptConnections = doc.m_bAcceptConnections;
    m_strListenPort = doc.m_strListenPort;
    m_bHoldClientData = doc.m_bHoldClientData;
    m_bKeepAlive = doc.m_bKeepAlive;
    m_bConnectToHost = doc.m_bConnectToHost;
    m_strServerHost = doc.m_strServerHost;
    m_strServerPort = doc.m_strServerPort;
    m_bHoldServerData = doc.m_bHoldServerData;
}

namespace {

// How much of a host text the document keeps: CONNECT_HOST_MAX bytes, less
// the start of a UTF-8 character that the limit would cut in two. The edit
// counts characters, so a long host typed outside ASCII runs past the byte
// limit, and half a character would be stored (and saved) as a stray byte.
std::size_t HostCutLength(const std::string& strHost)
{
    const std::size_t nMax = CONNECT_HOST_MAX;
    if (strHost.size() <= nMax)
        return strHost.size();
    auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(strHost[i]); };
    auto isContinuation = [&](std::size_t i) { return (byteAt(i) & 0xC0) == 0x80; };
    if (!isContinuation(nMax))
        return nMax;
    // Look back over at most three continuation bytes for the lead byte of
    // the character that crosses the limit.
    for (std::size_t k = nMax; k > 0 && nMax - k < 4;) {
        --k;
        const unsigned char b = byteAt(k);
        if ((b & 0xC0) == 0x80)
            continue;
        const std::size_t nLength = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
        // Bytes that are not UTF-8 (a Latin-1 host from a session file) are
        // cut at the limit as they are.
        return nLength != 0 && k + nLength > nMax ? k : nMax;
    }
    return nMax;
}

}  // namespace

void CConnectDlgData::StoreTo(CMidwireDoc& doc) const
{
    doc.m_bAcceptConnections = m_bAcceptConnections;
    doc.m_strListenPort = m_strListenPort;
    doc.m_bHoldClientData = m_bHoldClientData;
    doc.m_bKeepAlive = m_bKeepAlive;
    doc.m_bConnectToHost = m_bConnectToHost;
    doc.m_strServerHost = m_strServerHost.substr(0, HostCutLength(m_strServerHost));
    doc.m_strServerPort = m_strServerPort;
    doc.m_bHoldServerData = m_bHoldServerData;
}

CConnectEnableState ConnectEnableRules(BOOL bAcceptConnections, BOOL bConnectToHost)
{
    const bool bAccept = bAcceptConnections != 0;
    const bool bConnect = bConnectToHost != 0;
    CConnectEnableState state{};
    state.bServerHost = state.bServerPort = bConnect;
    state.bListenPort = state.bKeepAlive = bAccept;
    state.bHoldClient = state.bHoldServer = bAccept && bConnect;
    state.bConnect = bAccept || bConnect;
    return state;
}

namespace {

// The display form of one byte under the current translation settings.
std::string ByteText(char ch)
{
    return BytesToDisplayString(&ch, 1);
}

// The first byte a break character text gives; false (after message 61470)
// when it gives none.
bool BreakCharFromText(const std::string& strText, char& ch)
{
    std::int32_t nLength = 0;
    MallocPtr<unsigned char> bytes = DisplayTextToBytes(strText, nLength);
    if (bytes && nLength > 0) {
        ch = static_cast<char>(bytes.get()[0]);
        return true;
    }
    AfxMessageBox(FormatMessageText(IDS_BAD_BREAK_CHAR, strText));
    return false;
}

}  // namespace

void CConnectionOptionsData::LoadFrom(const CMidwireDoc& doc)
{
    m_strDisplayBreak = ByteText(g_chDisplayBreak);
    m_strBreakChar = ByteText(doc.m_chBreakChar);
    m_bUseBreakChar = doc.m_bUseBreakChar;
    m_nServerWaitRetries = doc.m_nServerWaitRetries;
    m_nClientWaitRetries = doc.m_nClientWaitRetries;
    m_nServerTimeWait = doc.m_nServerTimeWait;
    m_nClientTimeWait = doc.m_nClientTimeWait;
    m_nMaxLineLength = g_nMaxLineLength;
    m_bKeepBreaks = g_bKeepBreaks;
    m_bQuiet = doc.m_bQuiet;
    m_bVerbose = doc.m_bVerbose;
    m_bVisibleScroll = doc.m_bVisibleScroll;
}

void ApplyConnectionOptions(CMidwireDoc& doc, const CConnectionOptionsData& data)
{
    // The relay workers read these while a session runs.
    StoreFlag(doc.m_bVerbose, data.m_bVerbose);
    StoreFlag(doc.m_bQuiet, data.m_bQuiet);
    doc.m_bVisibleScroll = data.m_bVisibleScroll;
    char ch;
    if (BreakCharFromText(data.m_strDisplayBreak, ch))
        g_chDisplayBreak = ch;
    if (BreakCharFromText(data.m_strBreakChar, ch))
        std::atomic_ref<char>(doc.m_chBreakChar).store(ch, std::memory_order_relaxed);
    g_nMaxLineLength = data.m_nMaxLineLength;
    doc.m_nServerWaitRetries = data.m_nServerWaitRetries;
    doc.m_nClientWaitRetries = data.m_nClientWaitRetries;
    g_bKeepBreaks = data.m_bKeepBreaks;
    StoreFlag(doc.m_bUseBreakChar, data.m_bUseBreakChar);
    doc.m_nServerTimeWait = data.m_nServerTimeWait;
    doc.m_nClientTimeWait = data.m_nClientTimeWait;
}

bool ParseDialogInt(const std::string& strText, int& nValue)
{
    size_t i = 0;
    const size_t n = strText.size();
    while (i < n && std::isspace(static_cast<unsigned char>(strText[i])))
        ++i;
    bool bNegative = false;
    if (i < n && (strText[i] == '+' || strText[i] == '-'))
        bNegative = strText[i++] == '-';
    const size_t nDigitsStart = i;
    long long v = 0;
    for (; i < n && std::isdigit(static_cast<unsigned char>(strText[i])); ++i) {
        v = v * 10 + (strText[i] - '0');
        if (v > INT_MAX)
            return false;
    }
    if (i == nDigitsStart)
        return false;
    while (i < n && std::isspace(static_cast<unsigned char>(strText[i])))
        ++i;
    if (i != n)
        return false;
    if (bNegative && v != 0)
        return false;
    nValue = static_cast<int>(v);
    return true;
}

const char* DialogIntPrompt()
{
    return "Please enter an integer between 0 and 2147483647.";
}

CWaitAcceptDlg::CWaitAcceptDlg(CMidwireDoc& doc) : m_doc(doc)
{
    g_pWaitAcceptDlg = this;
}

CWaitAcceptDlg::~CWaitAcceptDlg()
{
    if (g_pWaitAcceptDlg == this)
        g_pWaitAcceptDlg = nullptr;
}

void CWaitAcceptDlg::OnTimer()
{
    SetProgressPos(m_nCounter);
    if (++m_nCounter > 100)
        m_nCounter = 0;
    if (m_doc.m_bKeepAlive && !m_doc.m_pendingAccepts.empty()) {
        TakePendingClient(m_doc, " (From accept dialog)");
        if (m_doc.m_hClientSocket != INVALID_SOCKET)
            EndDialog(IDOK);
    }
}

namespace {

class CHeadlessWaitAccept : public CWaitAcceptDlg {
public:
    explicit CHeadlessWaitAccept(CMidwireDoc& doc) : CWaitAcceptDlg(doc) {}
    void EndDialog(int nResult) override
    {
        m_nResult = nResult;
        m_bEnded = true;
        m_loop.exit(nResult);
    }
    int Run()
    {
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [this] { OnTimer(); });
        timer.start(TIMER_PERIOD_MS);
        if (!m_bEnded)
            m_loop.exec();
        return m_nResult;
    }

private:
    QEventLoop m_loop;
    int m_nResult = IDCANCEL;
    bool m_bEnded = false;
};

}  // namespace

int RunHeadlessWaitAccept(CMidwireDoc& doc)
{
    CHeadlessWaitAccept dlg(doc);
    return dlg.Run();
}
