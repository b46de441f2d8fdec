// The socket layer on loopback: results, warnings and port texts.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <vector>
#include <csignal>
#include <atomic>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "app/HeadlessFrontEnd.h"
#include "net/Sock.h"

namespace {

// A port on the local host address that nothing listens on right now.
std::uint16_t FreePort(int nType = SOCK_STREAM)
{
    const int s = ::socket(AF_INET, nType, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(SockLocalHostAddress());
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

std::uint16_t BoundPort(SOCKET s)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

std::string LocalHostText()
{
    char buf[64];
    SockAddressToText(SockLocalHostAddress(), buf, sizeof buf);
    return buf;
}

// Waits (bounded) until the socket has something to read.
bool WaitReadable(SOCKET s, int ms = 5000)
{
    pollfd p{s, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

struct SockFixture : ::testing::Test {
    SockFixture() { frontEnd.SetEcho(false); }
    CHeadlessFrontEnd frontEnd;
};

// A listening socket, a client connected to it and the accepted end.
struct Connection {
    SOCKET hListen = INVALID_SOCKET, hClient = INVALID_SOCKET, hAccepted = INVALID_SOCKET;
    ~Connection()
    {
        for (SOCKET s : {hListen, hClient, hAccepted})
            if (s != INVALID_SOCKET)
                SockClose(s);
    }
    bool Open()
    {
        const std::string port = std::to_string(FreePort());
        hListen = SockListen(port);
        if (hListen == INVALID_SOCKET)
            return false;
        hClient = SockConnect(LocalHostText(), port);
        if (hClient == INVALID_SOCKET || !WaitReadable(hListen))
            return false;
        hAccepted = SockAccept(hListen);
        return hAccepted != INVALID_SOCKET;
    }
};

}  // namespace

TEST_F(SockFixture, ListenAcceptConnectSendReceiveClose)
{
    Connection c;
    ASSERT_TRUE(c.Open());
    EXPECT_TRUE(frontEnd.m_warnings.empty());
    // Nothing to accept now: no socket, no warning.
    EXPECT_EQ(SockAccept(c.hListen), INVALID_SOCKET);
    EXPECT_TRUE(frontEnd.m_warnings.empty());

    char buf[100];
    EXPECT_EQ(SockReceive(c.hAccepted, buf, sizeof buf), 0);  // nothing yet
    EXPECT_EQ(SockSend(c.hClient, "hello", 5), 5);
    ASSERT_TRUE(WaitReadable(c.hAccepted));
    EXPECT_EQ(SockReceive(c.hAccepted, buf, sizeof buf), 5);
    EXPECT_EQ(std::memcmp(buf, "hello", 5), 0);
    EXPECT_FALSE(SockPeerName(c.hAccepted).empty());

    SockClose(c.hClient);
    c.hClient = INVALID_SOCKET;
    ASSERT_TRUE(WaitReadable(c.hAccepted));
    EXPECT_EQ(SockReceive(c.hAccepted, buf, sizeof buf), -1);  // closed reads as failure
}

TEST_F(SockFixture, SendIntoAPeerThatDoesNotReadReturnsThePartialCount)
{
    Connection c;
    ASSERT_TRUE(c.Open());
    const std::string big(64 << 20, 'x');
    const int n = SockSend(c.hClient, big.data(), static_cast<int>(big.size()));
    EXPECT_GT(n, 0);
    EXPECT_LT(n, static_cast<int>(big.size()));
    // The buffers are full: the next call sends nothing and says so with 0.
    EXPECT_EQ(SockSend(c.hClient, big.data(), 1000), 0);
    // A send on a socket the peer reset fails with -1.
    SockClose(c.hAccepted);
    c.hAccepted = INVALID_SOCKET;
    int rc = 0;
    for (int i = 0; i < 100 && rc != -1; ++i) {
        rc = SockSend(c.hClient, big.data(), 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(rc, -1);
}

TEST_F(SockFixture, PortTexts)
{
    EXPECT_EQ(SockAtoiPort("70000"), 4464);
    EXPECT_EQ(SockAtoiPort("65536"), 0);
    EXPECT_EQ(SockAtoiPort("  80abc"), 80);
    EXPECT_EQ(SockAtoiPort("-1"), 65535);
    EXPECT_EQ(SockAtoiPort("abc"), 0);
    EXPECT_EQ(SockResolveUdpPort("abc"), 0);
    EXPECT_EQ(SockResolveUdpPort("53"), 53);
    EXPECT_EQ(SockResolveUdpPort("domain"), 53);
    EXPECT_TRUE(frontEnd.m_warnings.empty());

    for (const char* port : {"0", "", "65536", "nosuchservice"}) {
        frontEnd.m_warnings.clear();
        EXPECT_EQ(SockListen(port), INVALID_SOCKET) << port;
        EXPECT_EQ(frontEnd.m_warnings, std::vector<std::string>{"Unknow service"}) << port;
        frontEnd.m_warnings.clear();
        EXPECT_EQ(SockOpenDatagram(port), INVALID_SOCKET) << port;
        EXPECT_EQ(frontEnd.m_warnings, std::vector<std::string>{"Unknow service"}) << port;
        frontEnd.m_warnings.clear();
        EXPECT_EQ(SockConnect("127.0.0.1", port), INVALID_SOCKET) << port;
        EXPECT_EQ(frontEnd.m_warnings, std::vector<std::string>{"Unknow service"}) << port;
    }

    // A port text beyond 16 bits wraps: 70000 opens port 4464.
    const SOCKET s = SockListen("70000");
    if (s != INVALID_SOCKET) {
        EXPECT_EQ(BoundPort(s), 4464);
        SockClose(s);
    }
    // A tcp service name opens that service's port.
    frontEnd.m_warnings.clear();
    const SOCKET h = SockListen("http");
    if (h == INVALID_SOCKET) {
        EXPECT_EQ(frontEnd.m_warnings, std::vector<std::string>{"Error binding a socket"});
    } else {
        EXPECT_EQ(BoundPort(h), 80);
        SockClose(h);
    }
}

TEST_F(SockFixture, ConnectFailures)
{
    EXPECT_EQ(SockConnect(LocalHostText(), std::to_string(FreePort())), INVALID_SOCKET);
    EXPECT_EQ(frontEnd.m_warnings, std::vector<std::string>{"Error connecting a socket"});
    frontEnd.m_warnings.clear();
    EXPECT_EQ(SockConnect("no-such-host.invalid", "80"), INVALID_SOCKET);
    EXPECT_EQ(frontEnd.m_warnings, std::vector<std::string>{"Unknow host"});
    // Two listeners on one port: the second cannot bind.
    const std::string port = std::to_string(FreePort());
    const SOCKET a = SockListen(port);
    ASSERT_NE(a, INVALID_SOCKET);
    frontEnd.m_warnings.clear();
    EXPECT_EQ(SockListen(port), INVALID_SOCKET);
    EXPECT_EQ(frontEnd.m_warnings, std::vector<std::string>{"Error binding a socket"});
    SockClose(a);
}

// A connect that a signal interrupts goes on in the background; it must be
// waited for, not tried again (a second connect answers "already in
// progress"). A listener with a full accept queue holds the connect until a
// SYN retransmission, about a second later, so the signal surely lands while
// it waits.
TEST_F(SockFixture, ConnectInterruptedBySignalStillConnects)
{
    const int hListen = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(hListen, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(hListen, 0), 0);
    const std::string strPort = std::to_string(BoundPort(hListen));
    // Fill the accept queue: a backlog of 0 holds one connection.
    const SOCKET hFiller = SockConnect("127.0.0.1", strPort);
    ASSERT_NE(hFiller, INVALID_SOCKET);

    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: the blocked connect returns EINTR
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

    SOCKET hConnected = INVALID_SOCKET;
    std::atomic<bool> bDone{false};
    std::thread connector([&] {
        hConnected = SockConnect("127.0.0.1", strPort);
        bDone = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::pthread_kill(connector.native_handle(), SIGUSR1);
    // Make room in the queue; the retransmitted SYN then gets through.
    for (int i = 0; i < 4; ++i) {
        pollfd pfd{hListen, POLLIN, 0};
        if (::poll(&pfd, 1, 100) > 0)
            ::close(::accept(hListen, nullptr, nullptr));
    }
    for (int i = 0; i < 100 && !bDone; ++i) {
        pollfd pfd{hListen, POLLIN, 0};
        if (::poll(&pfd, 1, 100) > 0)
            ::close(::accept(hListen, nullptr, nullptr));
    }
    connector.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_NE(hConnected, INVALID_SOCKET);
    EXPECT_TRUE(frontEnd.m_warnings.empty());
    SockClose(hConnected);
    SockClose(hFiller);
    ::close(hListen);
}

TEST_F(SockFixture, HostsAndAddresses)
{
    EXPECT_EQ(SockResolveHost(""), 0xFFFFFFFFu);
    EXPECT_EQ(SockResolveHost("no-such-host.invalid"), 0xFFFFFFFFu);
    EXPECT_EQ(SockResolveHost("10.1.2.3"), 0x0A010203u);
    EXPECT_EQ(SockResolveHost("localhost"), 0x7F000001u);
    // Only a name that did not resolve is told from the broadcast address.
    EXPECT_TRUE(SockHostUnresolved("no-such-host.invalid", SockResolveHost("no-such-host.invalid")));
    EXPECT_FALSE(SockHostUnresolved("", SockResolveHost("")));
    EXPECT_FALSE(SockHostUnresolved("255.255.255.255", SockResolveHost("255.255.255.255")));
    EXPECT_FALSE(SockHostUnresolved("localhost", SockResolveHost("localhost")));

    char buf[1024];
    EXPECT_EQ(SockAddressToText(0x0A010203u, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "10.1.2.3");
    EXPECT_EQ(SockAddressToText(0x0A010203u, buf, 4), 0);  // cut to capacity - 1
    EXPECT_STREQ(buf, "10.");
    EXPECT_EQ(SockAddressToName(0x7F000001u, buf, sizeof buf), 0);
    EXPECT_GT(std::strlen(buf), 0u);
    EXPECT_TRUE(frontEnd.m_warnings.empty());
}

// A connection reaches the program's own listener only through an address of
// this machine; a server elsewhere that uses the same port number is a server.
TEST(SockAddresses, OwnListenerIsToldFromAServerOnTheSamePort)
{
    auto addr = [](const char* pszAddress, std::uint16_t nPort) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(nPort);
        ::inet_pton(AF_INET, pszAddress, &a.sin_addr);
        return a;
    };
    const sockaddr_in anyListen = addr("0.0.0.0", 8080);
    const sockaddr_in lanEnd = addr("192.168.7.5", 40000);
    EXPECT_TRUE(SockAddressIsListener(addr("127.0.0.1", 8080), addr("127.0.0.1", 40000), anyListen));
    EXPECT_TRUE(SockAddressIsListener(addr("127.0.0.2", 8080), addr("127.0.0.1", 40000), anyListen));
    EXPECT_TRUE(SockAddressIsListener(addr("192.168.7.5", 8080), lanEnd, anyListen));
    EXPECT_FALSE(SockAddressIsListener(addr("192.168.7.9", 8080), lanEnd, anyListen));
    EXPECT_FALSE(SockAddressIsListener(addr("93.184.216.34", 8080), lanEnd, anyListen));
    EXPECT_FALSE(SockAddressIsListener(addr("127.0.0.1", 8081), addr("127.0.0.1", 40000), anyListen));
    // A listener on one address is reached only through that address.
    const sockaddr_in oneListen = addr("127.0.0.1", 8080);
    EXPECT_TRUE(SockAddressIsListener(addr("127.0.0.1", 8080), addr("127.0.0.1", 40000), oneListen));
    EXPECT_FALSE(SockAddressIsListener(addr("127.0.0.2", 8080), addr("127.0.0.1", 40000), oneListen));
}

TEST_F(SockFixture, Datagrams)
{
    const std::string port = std::to_string(FreePort(SOCK_DGRAM));
    const SOCKET hBound = SockOpenDatagram(port);
    ASSERT_NE(hBound, INVALID_SOCKET);
    const SOCKET hPeer = SockOpenDatagram(std::to_string(FreePort(SOCK_DGRAM)));
    ASSERT_NE(hPeer, INVALID_SOCKET);
    const std::uint32_t nLocal = SockLocalHostAddress();
    const auto nPort = static_cast<std::uint16_t>(std::stoi(port));

    char buf[70000];
    std::uint32_t nSender = 0;
    std::uint16_t nSenderPort = 0;
    EXPECT_EQ(SockReceiveFrom(hBound, buf, 100, &nSender), 0);  // nothing waiting

    EXPECT_EQ(SockSendTo(hPeer, "abc", 3, nLocal, nPort), 3);
    ASSERT_TRUE(WaitReadable(hBound));
    EXPECT_EQ(SockReceiveFrom(hBound, buf, sizeof buf, &nSender, &nSenderPort), 3);
    EXPECT_EQ(nSender, nLocal);
    EXPECT_EQ(nSenderPort, BoundPort(hPeer));

    // Larger than the buffer: -2, the first bytes, and the sender.
    std::string data(1000, 'd');
    data[0] = 'F';
    EXPECT_EQ(SockSendTo(hPeer, data.data(), 1000, nLocal, nPort), 1000);
    ASSERT_TRUE(WaitReadable(hBound));
    nSender = 0;
    std::memset(buf, 0, 200);
    EXPECT_EQ(SockReceiveFrom(hBound, buf, 100, &nSender), -2);
    EXPECT_EQ(nSender, nLocal);
    EXPECT_EQ(buf[0], 'F');
    EXPECT_EQ(buf[100], 0);

    // 70 000 bytes exceed what a datagram can carry: -2 on send.
    std::string huge(70000, 'h');
    EXPECT_EQ(SockSendTo(hPeer, huge.data(), 70000, nLocal, nPort), -2);
    // The largest datagram there is still arrives whole in a 65535-byte buffer.
    EXPECT_EQ(SockSendTo(hPeer, huge.data(), 65507, nLocal, nPort), 65507);
    ASSERT_TRUE(WaitReadable(hBound));
    EXPECT_EQ(SockReceiveFrom(hBound, buf, 65535, &nSender), 65507);

    // An empty datagram that goes out gives 0 like a busy socket; the taken
    // flag tells them apart. A failed send leaves it clear.
    bool bTaken = false;
    EXPECT_EQ(SockSendTo(hPeer, "", 0, nLocal, nPort, &bTaken), 0);
    EXPECT_TRUE(bTaken);
    EXPECT_EQ(SockSendTo(hPeer, huge.data(), 70000, nLocal, nPort, &bTaken), -2);
    EXPECT_FALSE(bTaken);

    SockClose(hBound);
    SockClose(hPeer);
    EXPECT_TRUE(frontEnd.m_warnings.empty());
}
