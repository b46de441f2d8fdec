// The datagram relay in process: binding, the notification handler, the two
// move rules and the Send commands, with real UDP peers on loopback.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "app/CommandTable.h"
#include "app/HeadlessFrontEnd.h"
#include "datagram/DatagramRelay.h"
#include "session/MidwireDoc.h"

namespace {

// The notifier needs an event loop on this thread; one application object
// serves every test of the process.
void EnsureApplication()
{
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "midwire_core_tests";
        static char* argv[] = {name, nullptr};
        static QCoreApplication* pApp = new QCoreApplication(argc, argv);
        (void)pApp;
    }
}

std::string Dotted(std::uint32_t nAddr)
{
    in_addr a{};
    a.s_addr = htonl(nAddr);
    char buf[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &a, buf, sizeof buf) ? buf : "";
}

// A UDP peer bound to a free port on the given address.
class Peer {
public:
    explicit Peer(std::uint32_t nAddr)
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(nAddr);
        socklen_t len = sizeof a;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            if (m_fd >= 0)
                ::close(m_fd);
            m_fd = -1;
            return;
        }
        m_nPort = ntohs(a.sin_port);
    }
    ~Peer()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool Ok() const { return m_fd >= 0; }
    std::uint16_t Port() const { return m_nPort; }
    std::string PortText() const { return std::to_string(m_nPort); }

    bool SendTo(const std::string& data, std::uint32_t nAddr, std::uint16_t nPort)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(nAddr);
        a.sin_port = htons(nPort);
        return ::sendto(m_fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
               static_cast<ssize_t>(data.size());
    }
    // The next datagram, waiting at most the time given; false on time-out.
    bool Receive(std::string& data, int nTimeoutMs = 3000)
    {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, nTimeoutMs) != 1)
            return false;
        std::vector<char> buf(70000);
        const ssize_t n = ::recv(m_fd, buf.data(), buf.size(), 0);
        if (n < 0)
            return false;
        data.assign(buf.data(), static_cast<std::size_t>(n));
        return true;
    }
    bool NothingWaiting(int nTimeoutMs = 200)
    {
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, nTimeoutMs) == 0;
    }

private:
    int m_fd = -1;
    std::uint16_t m_nPort = 0;
};

// A port that is free right now on the address the relay binds to.
std::string FreePort()
{
    Peer probe(SockLocalHostAddress());
    return probe.Ok() ? probe.PortText() : std::string();
}

std::string Data(const HistoryEvent* p)
{
    return p->m_pData ? std::string(reinterpret_cast<const char*>(p->m_pData), static_cast<std::size_t>(p->m_nLength))
                      : std::string();
}

class DatagramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        EnsureApplication();
        m_nLocal = SockLocalHostAddress();
        ASSERT_NE(m_nLocal, 0u) << "the local host name does not resolve";
        m_frontEnd.SetEcho(false);
        m_doc.OnNewDocument();
        m_frontEnd.m_onDoModal = [this](UINT nIDD, void*) {
            m_dialogs.push_back(nIDD);
            if (nIDD == IDD_SEND && m_onSendDialog)
                return m_onSendDialog();
            return nIDD == IDD_BIND ? m_nBindAnswer : IDOK;
        };
    }
    void TearDown() override
    {
        if (m_doc.m_bDatagramActive)
            OnDatagramStop(m_doc);
    }

    // Starts the relay on a free port with the settings already in the document.
    void Start()
    {
        m_doc.m_strDgramPort = FreePort();
        ASSERT_FALSE(m_doc.m_strDgramPort.empty());
        m_nPort = static_cast<std::uint16_t>(std::stoi(m_doc.m_strDgramPort));
        OnDatagramStart(m_doc);
        ASSERT_TRUE(m_doc.m_bDatagramActive);
    }

    std::vector<const HistoryEvent*> Events(std::uint32_t nKindMask = 0xFFFFFFFFu) const
    {
        std::vector<const HistoryEvent*> v;
        for (const HistoryEvent* p : m_doc.m_history)
            if (p->m_kind & nKindMask)
                v.push_back(p);
        return v;
    }
    std::vector<std::uint32_t> Kinds() const
    {
        std::vector<std::uint32_t> v;
        for (const HistoryEvent* p : m_doc.m_history)
            v.push_back(p->m_kind);
        return v;
    }

    // Runs the event loop until the history holds n received datagrams (or
    // five seconds have passed).
    void PumpUntilReceived(std::size_t n)
    {
        QElapsedTimer t;
        t.start();
        while (Events(EK_DGRAM_RECEIVED).size() < n && t.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }

    CHeadlessFrontEnd m_frontEnd;
    CMidwireDoc m_doc;
    std::uint32_t m_nLocal = 0;
    std::uint16_t m_nPort = 0;
    int m_nBindAnswer = IDOK;
    std::vector<UINT> m_dialogs;
    std::function<int()> m_onSendDialog;
};

// The receive reports an empty datagram as 0 like "nothing waiting"; the
// taken flag tells the two apart.
TEST_F(DatagramTest, ReceiveTellsAnEmptyDatagramFromNone)
{
    Peer sender(m_nLocal);
    const SOCKET s = SockOpenDatagram(FreePort());
    ASSERT_NE(s, INVALID_SOCKET);
    sockaddr_in self{};
    socklen_t len = sizeof self;
    ASSERT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&self), &len), 0);
    const std::uint16_t nPort = ntohs(self.sin_port);
    char buf[16];
    std::uint32_t nSender = 0;
    std::uint16_t nSenderPort = 0;
    bool bTaken = true;
    EXPECT_EQ(SockReceiveFrom(s, buf, sizeof buf, &nSender, &nSenderPort, &bTaken), 0);
    EXPECT_FALSE(bTaken);

    ASSERT_TRUE(sender.SendTo("", m_nLocal, nPort));
    ASSERT_TRUE(sender.SendTo("abc", m_nLocal, nPort));
    pollfd p{s, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 3000), 1);
    EXPECT_EQ(SockReceiveFrom(s, buf, sizeof buf, &nSender, &nSenderPort, &bTaken), 0);
    EXPECT_TRUE(bTaken);
    EXPECT_EQ(nSender, m_nLocal);
    EXPECT_EQ(nSenderPort, sender.Port());
    ASSERT_EQ(::poll(&p, 1, 3000), 1);
    EXPECT_EQ(SockReceiveFrom(s, buf, sizeof buf, &nSender, nullptr, &bTaken), 3);
    EXPECT_TRUE(bTaken);
    EXPECT_EQ(SockReceiveFrom(s, buf, sizeof buf, &nSender), 0) << "the flag is optional";
    SockClose(s);
}

TEST_F(DatagramTest, StartRecordsBindAndStopUnbindsAndSilencesThePort)
{
    m_doc.m_bDgramQuiet = TRUE;  // bind and unbind are shown all the same
    Start();
    EXPECT_TRUE(IsDatagramNotifierActive());
    EXPECT_NE(m_doc.m_hDatagramSocket, INVALID_SOCKET);
    const SOCKET s = m_doc.m_hDatagramSocket;
    EXPECT_EQ(m_doc.m_nDgramPort, m_nPort);

    OnDatagramStop(m_doc);
    EXPECT_FALSE(m_doc.m_bDatagramActive);
    EXPECT_EQ(m_doc.m_hDatagramSocket, INVALID_SOCKET);
    EXPECT_FALSE(IsDatagramNotifierActive());
    EXPECT_EQ(::fcntl(s, F_GETFD), -1) << "the socket stays open after Stop";

    const auto events = Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]->m_kind, EK_DGRAM_BIND);
    EXPECT_EQ(events[0]->m_strText, "Datagram socket binded in local port: " + m_doc.m_strDgramPort + ". ");
    EXPECT_EQ(events[1]->m_kind, EK_DGRAM_UNBIND);
    EXPECT_EQ(events[1]->m_strText, "Datagram socket unbinded from local port: " + m_doc.m_strDgramPort + ". ");
    EXPECT_EQ(m_frontEnd.GetRowCount(), 2u);

    // Nothing is taken off the old port any more.
    Peer sender(m_nLocal);
    sender.SendTo("late", m_nLocal, m_nPort);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    EXPECT_EQ(m_doc.m_history.GetCount(), 2u);
}

TEST_F(DatagramTest, StartCancelledOrFailingLeavesTheRelayUnbound)
{
    m_nBindAnswer = IDCANCEL;
    m_doc.m_strDgramPort = "5000";
    OnDatagramStart(m_doc);
    EXPECT_FALSE(m_doc.m_bDatagramActive);
    EXPECT_TRUE(m_doc.m_history.IsEmpty());

    // A port text that names no port: the socket layer's warning, then the
    // command's own message. The confirmed settings stay, broadcast rules
    // having emptied their host.
    m_nBindAnswer = IDOK;
    m_doc.m_strDgramPort = "nosuchservice";
    m_doc.m_bMove1 = TRUE;
    m_doc.m_bMoveBroadcast1 = TRUE;
    m_doc.m_strMoveToHost1 = "somewhere";
    m_doc.m_strMoveToPort1 = "7";
    OnDatagramStart(m_doc);
    EXPECT_FALSE(m_doc.m_bDatagramActive);
    EXPECT_EQ(m_doc.m_hDatagramSocket, INVALID_SOCKET);
    EXPECT_TRUE(m_doc.m_history.IsEmpty());
    ASSERT_EQ(m_frontEnd.m_warnings.size(), 1u);
    EXPECT_EQ(m_frontEnd.m_warnings[0], "Unknow service");
    ASSERT_EQ(m_frontEnd.m_messages.size(), 1u);
    EXPECT_EQ(m_frontEnd.m_messages[0], "Error binding a datagram socket in the port: nosuchservice");
    EXPECT_EQ(m_doc.m_strMoveToHost1, "");
    EXPECT_EQ(m_doc.m_nMoveToAddr1, 0xFFFFFFFFu);
    EXPECT_EQ(m_doc.m_nMoveToPort1, 7);
}

TEST_F(DatagramTest, EveryoneRuleRecordsAndForwardsEachDatagramInOneDrain)
{
    Peer sink(m_nLocal), sender(m_nLocal);
    ASSERT_TRUE(sink.Ok() && sender.Ok());
    m_doc.m_bMove1 = TRUE;
    m_doc.m_bMoveEveryone1 = TRUE;
    m_doc.m_strMoveToHost1 = Dotted(m_nLocal);
    m_doc.m_strMoveToPort1 = sink.PortText();
    Start();

    // Three datagrams, one of them empty, all waiting before the handler runs.
    ASSERT_TRUE(sender.SendTo("one", m_nLocal, m_nPort));
    ASSERT_TRUE(sender.SendTo("", m_nLocal, m_nPort));
    ASSERT_TRUE(sender.SendTo(std::string("t\0o", 3), m_nLocal, m_nPort));
    ::usleep(50000);
    OnDatagramEvent(m_doc, DGRAM_FD_WRITE);  // other event codes are ignored
    EXPECT_EQ(m_doc.m_history.GetCount(), 1u);
    OnDatagramEvent(m_doc);
    EXPECT_EQ(GetDatagramReceivedCount(), 3u);

    const std::vector<std::uint32_t> expected = {EK_DGRAM_BIND,  EK_DGRAM_RECEIVED, EK_DGRAM_MOVED,
                                                 EK_DGRAM_RECEIVED, EK_DGRAM_MOVED,    EK_DGRAM_RECEIVED,
                                                 EK_DGRAM_MOVED};
    EXPECT_EQ(Kinds(), expected);
    const auto received = Events(EK_DGRAM_RECEIVED);
    const auto moved = Events(EK_DGRAM_MOVED);
    ASSERT_EQ(received.size(), 3u);
    ASSERT_EQ(moved.size(), 3u);
    EXPECT_EQ(Data(received[0]), "one");
    EXPECT_EQ(received[1]->m_nLength, 0);
    EXPECT_EQ(received[1]->m_pData, nullptr);
    EXPECT_EQ(Data(received[2]), std::string("t\0o", 3));
    char name[DGRAM_NAME_SIZE];
    ASSERT_EQ(SockAddressToName(m_nLocal, name, sizeof name), 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(received[i]->m_strHost, name);
        EXPECT_EQ(moved[i]->m_strHost, Dotted(m_nLocal));
        EXPECT_EQ(Data(moved[i]), Data(received[i]));
    }
    EXPECT_EQ(m_frontEnd.GetRowCount(), 7u);

    std::string got;
    ASSERT_TRUE(sink.Receive(got));
    EXPECT_EQ(got, "one");
    ASSERT_TRUE(sink.Receive(got));
    EXPECT_EQ(got, "");
    ASSERT_TRUE(sink.Receive(got));
    EXPECT_EQ(got, std::string("t\0o", 3));
}

// Both rules aimed back at the bound port: the outside datagram is moved
// twice, each copy comes back from the relay itself and is recorded with a
// warning instead of being moved again, so the traffic ends.
TEST_F(DatagramTest, RulesLeadingBackToTheBoundPortDoNotLoop)
{
    Peer sender(m_nLocal);
    ASSERT_TRUE(sender.Ok());
    Start();
    m_doc.m_bMove1 = m_doc.m_bMove2 = TRUE;
    m_doc.m_bMoveEveryone1 = m_doc.m_bMoveEveryone2 = TRUE;
    m_doc.m_strMoveToHost1 = m_doc.m_strMoveToHost2 = Dotted(m_nLocal);
    m_doc.m_nMoveToAddr1 = m_doc.m_nMoveToAddr2 = m_nLocal;
    m_doc.m_nMoveToPort1 = m_doc.m_nMoveToPort2 = m_nPort;

    ASSERT_TRUE(sender.SendTo("ping", m_nLocal, m_nPort));
    PumpUntilReceived(3);
    // Give a loop, were there one, time to show itself.
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 300)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);

    const std::vector<std::uint32_t> expected = {EK_DGRAM_BIND,     EK_DGRAM_RECEIVED, EK_DGRAM_MOVED,
                                                 EK_DGRAM_MOVED,    EK_DGRAM_RECEIVED, EK_WARNING,
                                                 EK_DGRAM_RECEIVED, EK_WARNING};
    EXPECT_EQ(Kinds(), expected);
    EXPECT_EQ(GetDatagramReceivedCount(), 3u);
    for (const HistoryEvent* p : Events(EK_DGRAM_RECEIVED | EK_DGRAM_MOVED))
        EXPECT_EQ(Data(p), "ping");
    for (const HistoryEvent* p : Events(EK_WARNING))
        EXPECT_EQ(p->m_strText, LoadStringText(IDS_DGRAM_OWN_NOT_MOVED));

    // A datagram the relay sends to itself with no rule matching is only
    // recorded.
    m_doc.m_bMove1 = m_doc.m_bMove2 = FALSE;
    const std::size_t nBefore = m_doc.m_history.GetCount();
    m_frontEnd.SetEditorText("self");
    m_doc.m_strSendHost = Dotted(m_nLocal);
    m_doc.m_strSendPort = std::to_string(m_nPort);
    m_doc.m_bSendBroadcast = FALSE;
    m_doc.m_nSendAddr = m_nLocal;
    m_doc.m_nSendPort = m_nPort;
    OnDatagramSend(m_doc);
    PumpUntilReceived(4);
    ASSERT_EQ(m_doc.m_history.GetCount(), nBefore + 2);
    EXPECT_EQ(m_doc.m_history.GetAt(nBefore)->m_kind, EK_DGRAM_SENT);
    EXPECT_EQ(m_doc.m_history.GetAt(nBefore + 1)->m_kind, EK_DGRAM_RECEIVED);
    EXPECT_EQ(Data(m_doc.m_history.GetAt(nBefore + 1)), "self");
}

TEST_F(DatagramTest, FromHostRulesMatchOnlyTheirSenderAndBothMayApply)
{
    Peer sink1(m_nLocal), sink2(m_nLocal), sender(m_nLocal);
    ASSERT_TRUE(sink1.Ok() && sink2.Ok() && sender.Ok());
    m_doc.m_bResolveNames = FALSE;
    m_doc.m_bDgramVerbose = TRUE;
    // Rule 1 from this host's address, rule 2 from everyone.
    m_doc.m_bMove1 = TRUE;
    m_doc.m_strMoveFromHost1 = Dotted(m_nLocal);
    m_doc.m_strMoveToHost1 = Dotted(m_nLocal);
    m_doc.m_strMoveToPort1 = sink1.PortText();
    m_doc.m_bMove2 = TRUE;
    m_doc.m_bMoveEveryone2 = TRUE;
    m_doc.m_strMoveToHost2 = Dotted(m_nLocal);
    m_doc.m_strMoveToPort2 = sink2.PortText();
    Start();
    EXPECT_EQ(m_doc.m_nMoveFromAddr1, m_nLocal);

    ASSERT_TRUE(sender.SendTo("both", m_nLocal, m_nPort));
    PumpUntilReceived(1);
    const std::vector<std::uint32_t> expected = {EK_DGRAM_BIND, EK_DGRAM_RECEIVED, EK_MESSAGE,
                                                 EK_DGRAM_MOVED, EK_MESSAGE,        EK_DGRAM_MOVED};
    ASSERT_EQ(Kinds(), expected);
    const auto all = Events();
    EXPECT_EQ(all[1]->m_strHost, Dotted(m_nLocal)) << "Resolve off names the sender by its dotted address";
    EXPECT_EQ(all[2]->m_strText, "Bytes sent 4 on 4.");
    EXPECT_EQ(all[2]->m_strHost, Dotted(m_nLocal));
    std::string got;
    ASSERT_TRUE(sink1.Receive(got));
    EXPECT_EQ(got, "both");
    ASSERT_TRUE(sink2.Receive(got));
    EXPECT_EQ(got, "both");
    OnDatagramStop(m_doc);

    // Rule 1 from another sender, rule 2 with an empty From host: neither
    // matches, so the datagram is only recorded.
    m_doc.m_history.RemoveAll(true);
    m_frontEnd.DeleteAllRows();
    m_doc.m_strMoveFromHost1 = "10.0.0.5";
    m_doc.m_bMoveEveryone2 = FALSE;
    m_doc.m_strMoveFromHost2 = "";
    Start();
    EXPECT_EQ(m_doc.m_nMoveFromAddr1, 0x0A000005u);
    ASSERT_TRUE(sender.SendTo("none", m_nLocal, m_nPort));
    PumpUntilReceived(1);
    const std::vector<std::uint32_t> onlyReceived = {EK_DGRAM_BIND, EK_DGRAM_RECEIVED};
    EXPECT_EQ(Kinds(), onlyReceived);
    EXPECT_TRUE(sink1.NothingWaiting());
    EXPECT_TRUE(sink2.NothingWaiting());
}

// Moving to, or sending to, a loopback port where nobody listens brings back
// a port-unreachable reply. The bound socket is not connected, so the reply
// never turns into a receive error: the datagrams that follow are received
// and moved like the first, and no error is recorded.
TEST_F(DatagramTest, UnreachableDestinationsDoNotDisturbReceiving)
{
    std::string strClosedPort;
    {
        Peer gone(m_nLocal);
        ASSERT_TRUE(gone.Ok());
        strClosedPort = gone.PortText();
    }
    Peer sender(m_nLocal);
    m_doc.m_bResolveNames = FALSE;
    m_doc.m_bMove1 = TRUE;
    m_doc.m_bMoveEveryone1 = TRUE;
    m_doc.m_strMoveToHost1 = Dotted(m_nLocal);
    m_doc.m_strMoveToPort1 = strClosedPort;
    Start();
    m_doc.m_bSendBroadcast = FALSE;
    m_doc.m_strSendHost = Dotted(m_nLocal);
    m_doc.m_strSendPort = strClosedPort;
    m_doc.m_nSendAddr = m_nLocal;
    m_doc.m_nSendPort = static_cast<std::uint16_t>(std::stoi(strClosedPort));

    for (std::size_t i = 1; i <= 3; ++i) {
        ASSERT_TRUE(sender.SendTo("n" + std::to_string(i), m_nLocal, m_nPort));
        PumpUntilReceived(i);
        m_frontEnd.SetEditorText("s" + std::to_string(i));
        OnDatagramSend(m_doc);
        // Time for the replies to come back before the next datagram.
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 100)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    EXPECT_TRUE(m_doc.m_bDatagramActive);
    EXPECT_TRUE(Events(EK_ERROR).empty()) << Events(EK_ERROR)[0]->m_strText;
    const auto received = Events(EK_DGRAM_RECEIVED);
    const auto moved = Events(EK_DGRAM_MOVED);
    ASSERT_EQ(received.size(), 3u);
    ASSERT_EQ(moved.size(), 3u);
    EXPECT_EQ(Events(EK_DGRAM_SENT).size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(Data(received[i]), "n" + std::to_string(i + 1));
        EXPECT_EQ(Data(moved[i]), Data(received[i]));
    }
}

TEST_F(DatagramTest, QuietRecordsDatagramEventsWithoutRows)
{
    Peer sink(m_nLocal), sender(m_nLocal);
    m_doc.m_bDgramQuiet = TRUE;
    m_doc.m_bDgramVerbose = TRUE;
    m_doc.m_bMove1 = TRUE;
    m_doc.m_bMoveEveryone1 = TRUE;
    m_doc.m_strMoveToHost1 = Dotted(m_nLocal);
    m_doc.m_strMoveToPort1 = sink.PortText();
    Start();
    ASSERT_TRUE(sender.SendTo("quiet", m_nLocal, m_nPort));
    PumpUntilReceived(1);
    OnDatagramStop(m_doc);
    EXPECT_EQ(m_doc.m_history.GetCount(), 5u);  // bind, received, message, moved, unbind
    const auto rows = m_frontEnd.GetRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0]->m_kind, EK_DGRAM_BIND);
    EXPECT_EQ(rows[1]->m_kind, EK_DGRAM_UNBIND);
}

// A datagram larger than the receive buffer cannot travel over IPv4 UDP, so a
// local datagram socket pair stands in for the bound socket.
TEST_F(DatagramTest, OversizedDatagramIsReportedRecordedTruncatedAndNotMoved)
{
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
    const int nBuf = 1 << 20;
    ::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &nBuf, sizeof nBuf);
    ::setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &nBuf, sizeof nBuf);
    m_doc.m_bResolveNames = FALSE;
    m_doc.m_bMove1 = TRUE;
    m_doc.m_bMoveEveryone1 = TRUE;
    m_doc.m_bMoveBroadcast1 = TRUE;
    m_doc.m_hDatagramSocket = pair[1];
    m_doc.m_bDatagramActive = TRUE;

    std::string big(70000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7);
    ASSERT_EQ(::send(pair[0], big.data(), big.size(), 0), 70000);
    ASSERT_EQ(::send(pair[0], "next", 4, 0), 4);

    OnDatagramEvent(m_doc);
    auto events = Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]->m_kind, EK_ERROR);
    EXPECT_EQ(events[0]->m_strText,
              "The datagram is larger than the local buffer (65535 bytes) and was truncated.");
    EXPECT_EQ(events[1]->m_kind, EK_DGRAM_RECEIVED);
    ASSERT_EQ(events[1]->m_nLength, 65535);
    EXPECT_EQ(Data(events[1]), big.substr(0, 65535));

    // The handler returned after the truncated datagram; the next one waits
    // for the next notification. Moving it through this socket fails, which
    // is recorded with the rule's host.
    OnDatagramEvent(m_doc);
    events = Events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(Data(events[2]), "next");
    EXPECT_EQ(events[3]->m_kind, EK_ERROR);
    EXPECT_EQ(events[3]->m_strText, "Unable to send the datagram.");

    // A failing receive is an error event.
    ::close(pair[0]);
    ::close(pair[1]);
    OnDatagramEvent(m_doc);
    events = Events();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[4]->m_kind, EK_ERROR);
    EXPECT_EQ(events[4]->m_strText, "Unable to receive a datagram.");
    m_doc.m_hDatagramSocket = INVALID_SOCKET;
    m_doc.m_bDatagramActive = FALSE;
}

TEST_F(DatagramTest, SendCommandsSendTheEditorBytes)
{
    Peer sink(m_nLocal);
    ASSERT_TRUE(sink.Ok());
    m_doc.m_bDgramVerbose = TRUE;
    Start();

    // An empty editor stops before the dialog.
    OnDatagramSendTo(m_doc);
    ASSERT_EQ(m_frontEnd.m_messages.size(), 1u);
    EXPECT_EQ(m_frontEnd.m_messages[0], "Data Editor is empty.");
    EXPECT_TRUE(m_dialogs.size() == 1 && m_dialogs[0] == IDD_BIND);

    // A cancelled dialog changes and sends nothing.
    m_frontEnd.SetEditorText("[1][2][3]");
    m_onSendDialog = [this] {
        m_doc.m_strSendPort = "9";
        return IDCANCEL;
    };
    OnDatagramSendTo(m_doc);
    EXPECT_EQ(m_doc.m_nSendPort, 0);
    EXPECT_EQ(m_doc.m_history.GetCount(), 1u);

    m_onSendDialog = [this, &sink] {
        m_doc.m_bSendBroadcast = FALSE;
        m_doc.m_strSendHost = Dotted(m_nLocal);
        m_doc.m_strSendPort = sink.PortText();
        return IDOK;
    };
    OnDatagramSendTo(m_doc);
    EXPECT_EQ(m_doc.m_nSendAddr, m_nLocal);
    EXPECT_EQ(m_doc.m_nSendPort, sink.Port());
    auto events = Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1]->m_kind, EK_MESSAGE);
    EXPECT_EQ(events[1]->m_strText, "Bytes sent 3 on 3.");
    EXPECT_EQ(events[1]->m_strHost, "");
    EXPECT_EQ(events[2]->m_kind, EK_DGRAM_SENT);
    EXPECT_EQ(Data(events[2]), "\x01\x02\x03");
    EXPECT_EQ(events[2]->m_strHost, Dotted(m_nLocal));
    std::string got;
    ASSERT_TRUE(sink.Receive(got));
    EXPECT_EQ(got, "\x01\x02\x03");

    // Send goes to the stored destination without a dialog.
    const std::size_t nDialogs = m_dialogs.size();
    m_frontEnd.SetEditorText("again[[");
    m_doc.m_bDgramVerbose = FALSE;
    OnDatagramSend(m_doc);
    EXPECT_EQ(m_dialogs.size(), nDialogs);
    ASSERT_TRUE(sink.Receive(got));
    EXPECT_EQ(got, "again[");
    events = Events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[3]->m_kind, EK_DGRAM_SENT);

    // Text without a single byte, and a datagram too large for UDP.
    m_frontEnd.SetEditorText("\n");
    OnDatagramSend(m_doc);
    m_frontEnd.SetEditorText(std::string(70000, 'x'));
    OnDatagramSend(m_doc);
    events = Events();
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[4]->m_kind, EK_ERROR);
    EXPECT_EQ(events[4]->m_strText, "Error allocating memory. Datagram Send");
    EXPECT_EQ(events[5]->m_kind, EK_ERROR);
    EXPECT_EQ(events[5]->m_strText, "The datagram is larger than the maximum supported.");
    EXPECT_EQ(events[5]->m_strHost, "");
    EXPECT_TRUE(sink.NothingWaiting());
}

// Send... with Broadcast empties the host and aims at 255.255.255.255. A
// local socket pair stands in for the bound socket so that nothing leaves
// the machine: its send fails, which is recorded without a sent event.
TEST_F(DatagramTest, SendToBroadcastEmptiesTheHostAndAFailedSendRecordsAnError)
{
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
    m_doc.m_hDatagramSocket = pair[1];
    m_doc.m_bDatagramActive = TRUE;
    m_frontEnd.SetEditorText("to all");
    m_onSendDialog = [this] {
        m_doc.m_bSendBroadcast = TRUE;
        m_doc.m_strSendHost = "typed.example";
        m_doc.m_strSendPort = "4000";
        return IDOK;
    };
    OnDatagramSendTo(m_doc);
    EXPECT_EQ(m_doc.m_strSendHost, "");
    EXPECT_EQ(m_doc.m_nSendAddr, 0xFFFFFFFFu);
    EXPECT_EQ(m_doc.m_nSendPort, 4000);
    const auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]->m_kind, EK_ERROR);
    EXPECT_EQ(events[0]->m_strText, "Unable to send the datagram.");
    EXPECT_EQ(events[0]->m_strHost, "");
    char buf[16];
    EXPECT_EQ(::recv(pair[0], buf, sizeof buf, 0), -1) << "nothing may travel";
    ::close(pair[0]);
    ::close(pair[1]);
    m_doc.m_hDatagramSocket = INVALID_SOCKET;
    m_doc.m_bDatagramActive = FALSE;
}

// An empty destination host where Broadcast is not checked has no address:
// the send and the move are refused with the unknown-host error instead of
// going to 255.255.255.255. A local socket pair stands in for the bound
// socket, so that nothing can leave the machine even if they were not.
TEST_F(DatagramTest, EmptyHostWithoutBroadcastIsRefusedNotBroadcast)
{
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
    m_doc.m_hDatagramSocket = pair[1];
    m_doc.m_bDatagramActive = TRUE;
    const std::string strUnknown = "Unable to send the datagram. Unknown host.";

    m_frontEnd.SetEditorText("to nobody");
    m_onSendDialog = [this] {
        m_doc.m_bSendBroadcast = FALSE;
        m_doc.m_strSendHost = "";
        m_doc.m_strSendPort = "4000";
        return IDOK;
    };
    OnDatagramSendTo(m_doc);
    auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]->m_kind, EK_ERROR);
    EXPECT_EQ(events[0]->m_strText, strUnknown);
    OnDatagramSend(m_doc);  // the stored destination, as a loaded session gives it
    ASSERT_EQ(Events().size(), 2u);
    EXPECT_EQ(Events()[1]->m_strText, strUnknown);

    // Rule 1 with an empty destination and no Broadcast, rule 2 with
    // Broadcast (whose send the socket pair refuses, as any other send).
    m_doc.m_bMove1 = m_doc.m_bMove2 = TRUE;
    m_doc.m_bMoveEveryone1 = m_doc.m_bMoveEveryone2 = TRUE;
    m_doc.m_bMoveBroadcast1 = FALSE;
    m_doc.m_bMoveBroadcast2 = TRUE;
    m_doc.m_strMoveToHost1 = m_doc.m_strMoveToHost2 = "";
    m_doc.m_nMoveToAddr1 = m_doc.m_nMoveToAddr2 = SockResolveHost("");
    m_doc.m_nMoveToPort1 = m_doc.m_nMoveToPort2 = 4000;
    ASSERT_EQ(::send(pair[0], "in", 2, 0), 2);
    OnDatagramEvent(m_doc, DGRAM_FD_READ);
    events = Events();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[2]->m_kind, EK_DGRAM_RECEIVED);
    EXPECT_EQ(events[3]->m_kind, EK_ERROR);
    EXPECT_EQ(events[3]->m_strText, strUnknown);
    EXPECT_EQ(events[4]->m_kind, EK_ERROR);
    EXPECT_EQ(events[4]->m_strText, "Unable to send the datagram.");
    char buf[16];
    EXPECT_EQ(::recv(pair[0], buf, sizeof buf, 0), -1) << "nothing may travel";
    ::close(pair[0]);
    ::close(pair[1]);
    m_doc.m_hDatagramSocket = INVALID_SOCKET;
    m_doc.m_bDatagramActive = FALSE;
}

TEST_F(DatagramTest, CommandEnableRules)
{
    CCommandTable table;
    RegisterDatagramCommands(table, m_doc);
    auto enabled = [&table](UINT nID) { return table.IsEnabled(nID); };

    EXPECT_TRUE(enabled(ID_DATAGRAM_START));
    EXPECT_TRUE(enabled(ID_DATAGRAM_OPTIONS));
    EXPECT_FALSE(enabled(ID_DATAGRAM_STOP));
    EXPECT_FALSE(enabled(ID_DATAGRAM_SEND));
    EXPECT_FALSE(enabled(ID_DATAGRAM_SEND_TO));

    m_doc.m_bConnected = TRUE;
    EXPECT_FALSE(enabled(ID_DATAGRAM_START));
    EXPECT_FALSE(enabled(ID_DATAGRAM_OPTIONS));
    m_doc.m_bConnected = FALSE;

    m_doc.m_strDgramPort = FreePort();
    ASSERT_TRUE(table.Run(ID_DATAGRAM_START));
    ASSERT_TRUE(m_doc.m_bDatagramActive);
    EXPECT_FALSE(enabled(ID_DATAGRAM_START));
    EXPECT_FALSE(enabled(ID_DATAGRAM_OPTIONS));
    EXPECT_TRUE(enabled(ID_DATAGRAM_STOP));
    EXPECT_TRUE(enabled(ID_DATAGRAM_SEND_TO));
    EXPECT_FALSE(enabled(ID_DATAGRAM_SEND)) << "Send needs a send port first";

    Peer sink(m_nLocal);
    m_frontEnd.SetEditorText("x");
    m_onSendDialog = [this, &sink] {
        m_doc.m_bSendBroadcast = FALSE;
        m_doc.m_strSendHost = Dotted(m_nLocal);
        m_doc.m_strSendPort = sink.PortText();
        return IDOK;
    };
    ASSERT_TRUE(table.Run(ID_DATAGRAM_SEND_TO));
    EXPECT_TRUE(enabled(ID_DATAGRAM_SEND));

    ASSERT_TRUE(table.Run(ID_DATAGRAM_STOP));
    EXPECT_FALSE(enabled(ID_DATAGRAM_SEND));
    EXPECT_FALSE(enabled(ID_DATAGRAM_STOP));
    EXPECT_TRUE(enabled(ID_DATAGRAM_START));

    m_dialogs.clear();
    ASSERT_TRUE(table.Run(ID_DATAGRAM_OPTIONS));
    EXPECT_EQ(m_dialogs, std::vector<UINT>{IDD_DATAGRAM_OPTIONS});
}

}  // namespace
