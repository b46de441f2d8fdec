#include "datagram/DatagramRelay.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <cstring>
#include <memory>

#include "app/CommandTable.h"
#include "editor/EditorAccess.h"
#include "net/Sock.h"
#include "session/Memory.h"
#include "session/FrontEnd.h"
#include "session/HistoryEvent.h"
#include "session/MidwireDoc.h"
#include "views/DisplayTranslation.h"

namespace {

// The two buffers live as long as the program and are used only by the
// notification handler on the window thread.
unsigned char g_dgramReceiveBuffer[DGRAM_BUFFER_SIZE];
char g_dgramNameBuffer[DGRAM_NAME_SIZE];

// The notifier of the bound socket. It is a child of the application object,
// so it never outlives the event loop; the guarded pointer turns null if the
// application goes first.
QPointer<QSocketNotifier> g_pDgramNotifier;
// Set while the handler runs: a message box shown from inside it (the socket
// layer's warning) runs a nested event loop, which must neither re-enter the
// handler nor delete the notifier under it.
bool g_bInDatagramEvent = false;
std::uint64_t g_nDgramReceived = 0;
// Address and port the socket is bound to (host order): a datagram from there
// is one the relay sent to itself.
std::uint32_t g_nOwnAddr = 0;
std::uint16_t g_nOwnPort = 0;

// Receive queue asked for on the bound socket.
constexpr int DGRAM_RECEIVE_QUEUE_BYTES = 4 << 20;
// Datagrams handled per notification. While datagrams keep coming (a busy
// sender, or a move rule that leads back to the bound port) the socket never
// runs dry; after a batch the event loop runs timers, signals and the stop
// command before the notifier, still readable, calls again.
constexpr int DGRAM_DRAIN_BATCH = 256;

const char* const kSuffixReceived = " Datagram Received";
const char* const kSuffixMoved1 = " Datagram Moved 1";
const char* const kSuffixMoved2 = " Datagram Moved 2";
const char* const kSuffixSend = " Datagram Send";

// Records an event of the datagram relay, shown unless datagram Quiet is set.
void RecordDgram(CMidwireDoc& doc, HistoryEvent* pEvent)
{
    doc.RecordEvent(pEvent, doc.m_bDgramQuiet);
}

void RecordText(CMidwireDoc& doc, std::uint32_t nKind, const std::string& strText, const std::string& strHost)
{
    auto* pEvent = new HistoryEvent;
    pEvent->m_kind = nKind;
    pEvent->m_strText = strText;
    pEvent->m_strHost = strHost;
    RecordDgram(doc, pEvent);
}

// The text that stands for what could not be allocated; the lack is noted
// for the run as well.
std::string AllocFailedText(const char* pszSuffix)
{
    NoteOutOfMemory();
    return std::string(LoadStringText(IDS_ALLOC_FAILED)) + pszSuffix;
}

// Records a copy of n bytes as an event of the kind; when the copy cannot be
// made the event records the out-of-memory text with the suffix instead. An
// empty datagram gives an event without data.
void RecordCopy(CMidwireDoc& doc, std::uint32_t nKind, const unsigned char* pBytes, int n, const std::string& strHost,
                const char* pszAllocSuffix)
{
    auto* pEvent = new HistoryEvent;
    pEvent->m_strHost = strHost;
    if (n > 0) {
        auto* pCopy = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(n)));
        if (!pCopy) {
            pEvent->m_kind = EK_ERROR;
            pEvent->m_strText = AllocFailedText(pszAllocSuffix);
            RecordDgram(doc, pEvent);
            return;
        }
        std::memcpy(pCopy, pBytes, static_cast<std::size_t>(n));
        pEvent->AdoptData(pCopy, n);
    }
    pEvent->m_kind = nKind;
    RecordDgram(doc, pEvent);
}

std::string BytesSentText(int nSent, int nTotal)
{
    return FormatString(LoadStringText(IDS_BYTES_SENT), nSent, nTotal);
}

// The sender's name into the name buffer: its reverse name with Resolve on,
// else its dotted address; empty when neither can be had.
const char* NameSender(const CMidwireDoc& doc, std::uint32_t nAddr)
{
    const int rc = doc.m_bResolveNames ? SockAddressToName(nAddr, g_dgramNameBuffer, sizeof g_dgramNameBuffer)
                                       : SockAddressToText(nAddr, g_dgramNameBuffer, sizeof g_dgramNameBuffer);
    if (rc != 0)
        g_dgramNameBuffer[0] = '\0';
    return g_dgramNameBuffer;
}

// Whether a destination has no address of its own: a name that did not
// resolve, or an empty host where broadcast was not asked for. Either would
// otherwise stand for the broadcast address and send the datagram to the
// whole network.
bool DestinationUnknown(const std::string& strHost, std::uint32_t nAddr, BOOL bBroadcast)
{
    return (strHost.empty() && !bBroadcast) || SockHostUnresolved(strHost, nAddr);
}

// Forwards the datagram in the receive buffer by one move rule.
void MoveDatagram(CMidwireDoc& doc, SOCKET s, int n, std::uint32_t nAddr, std::uint16_t nPort,
                  const std::string& strHost, BOOL bBroadcast, const char* pszSuffix)
{
    if (DestinationUnknown(strHost, nAddr, bBroadcast)) {
        RecordText(doc, EK_ERROR, LoadStringText(IDS_DGRAM_UNKNOWN_HOST), strHost);
        return;
    }
    bool bTaken = false;
    const int v = SockSendTo(s, g_dgramReceiveBuffer, n, nAddr, nPort, &bTaken);
    // An empty datagram that the socket would not take gives 0 as well, which
    // is its full length: only one the platform took counts as moved.
    if (v == n && bTaken) {
        if (doc.m_bDgramVerbose)
            RecordText(doc, EK_MESSAGE, BytesSentText(v, n), strHost);
        RecordCopy(doc, EK_DGRAM_MOVED, g_dgramReceiveBuffer, n, strHost, pszSuffix);
    } else if (v > 0) {
        RecordText(doc, EK_WARNING, BytesSentText(v, n), strHost);
        RecordCopy(doc, EK_DGRAM_MOVED, g_dgramReceiveBuffer, n, strHost, pszSuffix);
    } else if (v == 0) {
        RecordText(doc, EK_ERROR, LoadStringText(IDS_DGRAM_BUSY), strHost);
    } else if (v == -2) {
        RecordText(doc, EK_ERROR, LoadStringText(IDS_DGRAM_TOO_LARGE), strHost);
    } else {
        RecordText(doc, EK_ERROR, LoadStringText(IDS_DGRAM_SEND_FAILED), strHost);
    }
}

// Sends the editor's text, turned into bytes, to the stored destination.
void SendText(CMidwireDoc& doc, const std::string& strText)
{
    std::int32_t n = 0;
    MallocPtr<unsigned char> pBytes = DisplayTextToBytes(strText, n);
    if (!pBytes) {
        RecordText(doc, EK_ERROR, AllocFailedText(kSuffixSend), std::string());
        return;
    }
    if (DestinationUnknown(doc.m_strSendHost, doc.m_nSendAddr, doc.m_bSendBroadcast)) {
        RecordText(doc, EK_ERROR, LoadStringText(IDS_DGRAM_UNKNOWN_HOST), doc.m_strSendHost);
        return;
    }
    const int v = SockSendTo(doc.m_hDatagramSocket, pBytes.get(), n, doc.m_nSendAddr, doc.m_nSendPort);
    if (v == n || v > 0) {
        if (v != n)
            RecordText(doc, EK_WARNING, BytesSentText(v, n), std::string());
        else if (doc.m_bDgramVerbose)
            RecordText(doc, EK_MESSAGE, BytesSentText(v, n), std::string());
        auto* pEvent = new HistoryEvent;
        pEvent->m_kind = EK_DGRAM_SENT;
        pEvent->m_strHost = doc.m_strSendHost;
        pEvent->AdoptData(pBytes.release(), n);
        RecordDgram(doc, pEvent);
    } else if (v == 0) {
        RecordText(doc, EK_ERROR, LoadStringText(IDS_DGRAM_BUSY), std::string());
    } else if (v == -2) {
        RecordText(doc, EK_ERROR, LoadStringText(IDS_DGRAM_TOO_LARGE), std::string());
    } else {
        RecordText(doc, EK_ERROR, LoadStringText(IDS_DGRAM_SEND_FAILED), std::string());
    }
}

// The editor's whole text, or empty after telling the user there is none.
bool ReadEditorForSend(std::string& strText)
{
    strText = GetEditorText();
    if (strText.empty()) {
        AfxMessageBox(IDS_EDITOR_EMPTY);
        return false;
    }
    return true;
}

// Registers the bound socket for the datagram notification. Fails where the
// calling thread runs no event loop that could deliver it.
bool RegisterNotifier(CMidwireDoc& doc, SOCKET s)
{
    QCoreApplication* pApp = QCoreApplication::instance();
    if (!pApp || QThread::currentThread() != pApp->thread() || !QAbstractEventDispatcher::instance())
        return false;
    auto* pNotifier = new QSocketNotifier(static_cast<qintptr>(s), QSocketNotifier::Read, pApp);
    QObject::connect(pNotifier, &QSocketNotifier::activated, pNotifier,
                     [&doc] { OnDatagramEvent(doc, DGRAM_FD_READ); });
    if (!pNotifier->isEnabled()) {
        delete pNotifier;
        return false;
    }
    g_pDgramNotifier = pNotifier;
    return true;
}

// Switches the notification off before its socket is closed.
void UnregisterNotifier()
{
    QSocketNotifier* pNotifier = g_pDgramNotifier.data();
    g_pDgramNotifier.clear();
    if (!pNotifier)
        return;
    pNotifier->setEnabled(false);
    // The handler may be on the stack below a nested event loop (a warning
    // box); the notifier must then outlive it.
    if (g_bInDatagramEvent)
        pNotifier->deleteLater();
    else
        delete pNotifier;
}

}  // namespace

void OnDatagramStart(CMidwireDoc& doc)
{
    if (!g_pMainFrame || g_pMainFrame->DoModal(IDD_BIND) != IDOK)
        return;
    if (doc.m_bMoveBroadcast1)
        doc.m_strMoveToHost1.clear();
    if (doc.m_bMoveBroadcast2)
        doc.m_strMoveToHost2.clear();
    doc.m_nMoveFromAddr1 = SockResolveHost(doc.m_strMoveFromHost1);
    doc.m_nMoveFromAddr2 = SockResolveHost(doc.m_strMoveFromHost2);
    doc.m_nMoveToAddr1 = SockResolveHost(doc.m_strMoveToHost1);
    doc.m_nMoveToAddr2 = SockResolveHost(doc.m_strMoveToHost2);
    doc.m_nMoveToPort1 = SockResolveUdpPort(doc.m_strMoveToPort1);
    doc.m_nMoveToPort2 = SockResolveUdpPort(doc.m_strMoveToPort2);
    doc.m_nDgramPort = SockResolveUdpPort(doc.m_strDgramPort);

    const SOCKET s = SockOpenDatagram(doc.m_strDgramPort);
    doc.m_hDatagramSocket = s;
    if (s == INVALID_SOCKET) {
        AfxMessageBox(FormatMessageText(IDS_DGRAM_BIND_FAILED, doc.m_strDgramPort));
        return;
    }
    // A deep receive queue rides out bursts that arrive while the window
    // thread is busy (the kernel caps it at its own limit); a failure here
    // only leaves the default depth.
    const int nQueue = DGRAM_RECEIVE_QUEUE_BYTES;
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &nQueue, sizeof nQueue);
    if (!RegisterNotifier(doc, s)) {
        AfxMessageBox(FormatMessageText(IDS_SELECT_DGRAM_FAILED, doc.m_strDgramPort));
        SockClose(s);
        doc.m_hDatagramSocket = INVALID_SOCKET;
        return;
    }
    g_nDgramReceived = 0;
    g_nOwnAddr = 0;
    g_nOwnPort = 0;
    sockaddr_in own{};
    socklen_t nOwnLen = sizeof own;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&own), &nOwnLen) == 0) {
        g_nOwnAddr = ntohl(own.sin_addr.s_addr);
        g_nOwnPort = ntohs(own.sin_port);
    }

    auto* pEvent = new HistoryEvent;
    pEvent->m_kind = EK_DGRAM_BIND;
    pEvent->m_strText = FormatMessageText(IDS_DGRAM_BOUND, doc.m_strDgramPort);
    doc.RecordEvent(pEvent, FALSE);
    doc.m_bDatagramActive = TRUE;
}

void OnDatagramStop(CMidwireDoc& doc)
{
    UnregisterNotifier();
    if (doc.m_hDatagramSocket != INVALID_SOCKET)
        SockClose(doc.m_hDatagramSocket);
    doc.m_hDatagramSocket = INVALID_SOCKET;

    auto* pEvent = new HistoryEvent;
    pEvent->m_kind = EK_DGRAM_UNBIND;
    pEvent->m_strText = FormatMessageText(IDS_DGRAM_UNBOUND, doc.m_strDgramPort);
    doc.RecordEvent(pEvent, FALSE);
    doc.m_bDatagramActive = FALSE;
}

void OnDatagramOptions(CMidwireDoc& doc)
{
    if (g_pMainFrame)
        g_pMainFrame->DoModal(IDD_DATAGRAM_OPTIONS);
}

void OnDatagramSend(CMidwireDoc& doc)
{
    std::string strText;
    if (!ReadEditorForSend(strText))
        return;
    SendText(doc, strText);
}

void OnDatagramSendTo(CMidwireDoc& doc)
{
    std::string strText;
    if (!ReadEditorForSend(strText))
        return;
    if (!g_pMainFrame || g_pMainFrame->DoModal(IDD_SEND) != IDOK)
        return;
    if (doc.m_bSendBroadcast)
        doc.m_strSendHost.clear();
    doc.m_nSendAddr = SockResolveHost(doc.m_strSendHost);
    doc.m_nSendPort = SockResolveUdpPort(doc.m_strSendPort);
    SendText(doc, strText);
}

void OnDatagramEvent(CMidwireDoc& doc, int nEvent)
{
    if (nEvent != DGRAM_FD_READ || g_bInDatagramEvent)
        return;
    const SOCKET s = doc.m_hDatagramSocket;
    if (s == INVALID_SOCKET)
        return;
    g_bInDatagramEvent = true;
    for (int nHandled = 0; nHandled < DGRAM_DRAIN_BATCH; ++nHandled) {
        std::uint32_t nSender = 0;
        std::uint16_t nSenderPort = 0;
        bool bTaken = false;
        const int n =
            SockReceiveFrom(s, g_dgramReceiveBuffer, DGRAM_BUFFER_SIZE, &nSender, &nSenderPort, &bTaken);
        if (n > 0 || (n == 0 && bTaken)) {
            ++g_nDgramReceived;
            const std::string strSender = NameSender(doc, nSender);
            RecordCopy(doc, EK_DGRAM_RECEIVED, g_dgramReceiveBuffer, n, strSender, kSuffixReceived);
            // A warning box while naming the sender runs a nested event loop,
            // in which the user may have stopped the relay.
            if (doc.m_hDatagramSocket != s)
                break;
            // A datagram the relay sent to its own port (a rule, or a send,
            // aimed at it) is recorded but not moved again: moving it would
            // bring it back once more, without end, and with both rules on
            // in ever more copies.
            const bool bRule1 = doc.m_bMove1 && (doc.m_bMoveEveryone1 || nSender == doc.m_nMoveFromAddr1);
            const bool bRule2 = doc.m_bMove2 && (doc.m_bMoveEveryone2 || nSender == doc.m_nMoveFromAddr2);
            if (g_nOwnPort != 0 && nSenderPort == g_nOwnPort && nSender == g_nOwnAddr) {
                if (bRule1 || bRule2)
                    RecordText(doc, EK_WARNING, LoadStringText(IDS_DGRAM_OWN_NOT_MOVED), strSender);
                continue;
            }
            if (bRule1)
                MoveDatagram(doc, s, n, doc.m_nMoveToAddr1, doc.m_nMoveToPort1, doc.m_strMoveToHost1,
                             doc.m_bMoveBroadcast1, kSuffixMoved1);
            if (bRule2)
                MoveDatagram(doc, s, n, doc.m_nMoveToAddr2, doc.m_nMoveToPort2, doc.m_strMoveToHost2,
                             doc.m_bMoveBroadcast2, kSuffixMoved2);
            continue;
        }
        if (n == -2) {
            ++g_nDgramReceived;
            RecordText(doc, EK_ERROR, FormatString(LoadStringText(IDS_DGRAM_TRUNCATED), DGRAM_BUFFER_SIZE),
                       std::string());
            const std::string strSender = NameSender(doc, nSender);
            RecordCopy(doc, EK_DGRAM_RECEIVED, g_dgramReceiveBuffer, DGRAM_BUFFER_SIZE, strSender, kSuffixReceived);
        } else if (n < 0) {
            RecordText(doc, EK_ERROR, LoadStringText(IDS_DGRAM_RECEIVE_FAILED), std::string());
        }
        break;
    }
    g_bInDatagramEvent = false;
}

bool IsDatagramNotifierActive()
{
    return !g_pDgramNotifier.isNull() && g_pDgramNotifier->isEnabled();
}

std::uint64_t GetDatagramReceivedCount()
{
    return g_nDgramReceived;
}

bool CanDatagramSend(const CMidwireDoc& doc)
{
    return doc.m_bDatagramActive && !doc.m_strSendPort.empty();
}

bool CanDatagramSendTo(const CMidwireDoc& doc)
{
    return doc.m_bDatagramActive && !doc.m_bConnected;
}

bool CanDatagramStart(const CMidwireDoc& doc)
{
    return !doc.m_bConnected && !doc.m_bDatagramActive;
}

bool CanDatagramStop(const CMidwireDoc& doc)
{
    return doc.m_bDatagramActive && !doc.m_bConnected;
}

bool CanDatagramOptions(const CMidwireDoc& doc)
{
    return !doc.m_bConnected && !doc.m_bDatagramActive;
}

void RegisterDatagramCommands(CCommandTable& table, CMidwireDoc& doc)
{
    table.Register(ID_DATAGRAM_SEND, [&doc] { OnDatagramSend(doc); }, [&doc] { return CanDatagramSend(doc); });
    table.Register(ID_DATAGRAM_SEND_TO, [&doc] { OnDatagramSendTo(doc); }, [&doc] { return CanDatagramSendTo(doc); });
    table.Register(ID_DATAGRAM_START, [&doc] { OnDatagramStart(doc); }, [&doc] { return CanDatagramStart(doc); });
    table.Register(ID_DATAGRAM_STOP, [&doc] { OnDatagramStop(doc); }, [&doc] { return CanDatagramStop(doc); });
    table.Register(ID_DATAGRAM_OPTIONS, [&doc] { OnDatagramOptions(doc); },
                   [&doc] { return CanDatagramOptions(doc); });
}
