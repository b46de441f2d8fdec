// Helpers of the relay tests: an event loop on the test thread, loopback
// peers, reads that keep the relay's notifications flowing, and a fixture
// that runs sessions in process.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <arpa/inet.h>
#include <chrono>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/HeadlessFrontEnd.h"
#include "relay/Relay.h"
#include "relay/RelayDialogs.h"
#include "session/MidwireDoc.h"

namespace relaytest {

inline void EnsureApplication()
{
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "midwire_core_tests";
        static char* argv[] = {name, nullptr};
        static QCoreApplication* pApp = new QCoreApplication(argc, argv);
        (void)pApp;
    }
}

// A descriptor closed when it goes out of scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }
    Fd& operator=(Fd&& o) noexcept
    {
        if (this != &o) {
            Reset();
            m_fd = o.m_fd;
            o.m_fd = -1;
        }
        return *this;
    }
    void Reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

inline sockaddr_in LocalAddr(std::uint16_t nPort)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    addr.sin_addr.s_addr = htonl(SockLocalHostAddress());
    return addr;
}

// A listening socket on the local host name's address; its port in nPort.
inline Fd ListenLocal(std::uint16_t& nPort)
{
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr = LocalAddr(0);
    socklen_t len = sizeof addr;
    if (::bind(s.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s.Get(), 64) != 0 ||
        ::getsockname(s.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return Fd();
    nPort = ntohs(addr.sin_port);
    return s;
}

// A port that nothing listens on at the moment.
inline std::uint16_t FreePort()
{
    std::uint16_t nPort = 0;
    Fd s = ListenLocal(nPort);
    return nPort;
}

inline Fd ConnectLocal(std::uint16_t nPort)
{
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr = LocalAddr(nPort);
    if (::connect(s.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return Fd();
    return s;
}

inline Fd AcceptWithin(int hListen, int nTimeoutMs)
{
    pollfd pfd{hListen, POLLIN, 0};
    if (::poll(&pfd, 1, nTimeoutMs) <= 0)
        return Fd();
    return Fd(::accept4(hListen, nullptr, nullptr, SOCK_CLOEXEC));
}

inline void Pump(int nMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Runs the event loop until the condition holds; false after the time-out.
inline bool PumpUntil(const std::function<bool()>& condition, int nTimeoutMs = 10000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
}

inline bool SendAllBlocking(int fd, const std::string& data)
{
    size_t nDone = 0;
    while (nDone < data.size()) {
        const ssize_t n = ::send(fd, data.data() + nDone, data.size() - nDone, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        nDone += static_cast<size_t>(n);
    }
    return true;
}

// Reads until n bytes arrived (or the peer closed), keeping the event loop
// running so that the relay's notifications are delivered meanwhile.
inline std::string ReadPumping(int fd, size_t n, int nTimeoutMs = 10000)
{
    std::string out;
    PumpUntil(
        [&] {
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, 0) > 0) {
                char buf[65536];
                const ssize_t r = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
                if (r <= 0)
                    return true;
                out.append(buf, static_cast<size_t>(r));
            }
            return out.size() >= n;
        },
        nTimeoutMs);
    return out;
}

// True when the peer closed the connection within the time-out.
inline bool ClosedPumping(int fd, int nTimeoutMs = 10000)
{
    bool bClosed = false;
    PumpUntil(
        [&] {
            char buf[4096];
            const ssize_t r = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            bClosed = r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
            return bClosed;
        },
        nTimeoutMs);
    return bClosed;
}

inline std::string Bytes(const HistoryEvent& e)
{
    return e.m_pData ? std::string(reinterpret_cast<const char*>(e.m_pData), static_cast<size_t>(e.m_nLength))
                     : std::string();
}

// A session document driven in process, with loopback peers on both sides.
struct RelayFixture : ::testing::Test {
    RelayFixture()
    {
        EnsureApplication();
        frontEnd.SetEcho(false);
        doc.OnNewDocument();
        doc.m_nClientTimeWait = 5;
        doc.m_nServerTimeWait = 5;
        frontEnd.m_onDoModal = [this](UINT nIDD, void*) -> int {
            if (nIDD != IDD_WAIT_ACCEPT)
                return IDCANCEL;
            if (bConnectClientInWait)
                client = ConnectLocal(nListenPort);
            return RunHeadlessWaitAccept(doc);
        };
    }
    ~RelayFixture() override { ShutdownRelay(doc); }

    // Starts a session with the chosen sides; the client peer connects while
    // the relay waits for it, and the server peer accepts the relay.
    bool Start(bool bAccept, bool bConnect)
    {
        JoinRelayWorkers(doc);  // as the Start command does before it changes settings
        doc.m_bAcceptConnections = bAccept;
        doc.m_bConnectToHost = bConnect;
        if (bConnect) {
            serverListen = ListenLocal(nServerPort);
            doc.m_strServerHost = "127.0.0.1";
            doc.m_strServerPort = std::to_string(nServerPort);
        }
        // A port found free can be taken by another test process before the
        // relay listens on it: then another one is tried.
        bool bStarted = false;
        for (int nTry = 0; nTry < 5 && !bStarted; ++nTry) {
            if (bAccept) {
                nListenPort = FreePort();
                doc.m_strListenPort = std::to_string(nListenPort);
            }
            const std::size_t nMessages = frontEnd.m_messages.size();
            bStarted = StartConnection(doc);
            const bool bListenTaken = !bStarted && frontEnd.m_messages.size() > nMessages &&
                                      frontEnd.m_messages[nMessages].starts_with("Error listening");
            if (!bStarted && !bListenTaken)
                break;
        }
        if (bStarted && bConnect)
            server = AcceptWithin(serverListen.Get(), 5000);
        const bool bOk = bStarted && doc.m_bConnected && (!bAccept || client.Valid()) && (!bConnect || server.Valid());
        if (!bOk) {
            // What went wrong, for a failure seen only now and then.
            std::string strWhy = "start failed: started " + std::to_string(bStarted) + ", connected " +
                                 std::to_string(doc.m_bConnected) + ", client " + std::to_string(client.Valid()) +
                                 ", server " + std::to_string(server.Valid());
            for (const std::string& strMessage : frontEnd.m_messages)
                strWhy += "; message: " + strMessage;
            ADD_FAILURE() << strWhy;
        }
        return bOk;
    }

    // Waits until the history holds n events; reading the count also makes
    // the workers' additions up to then visible to this thread.
    bool WaitHistory(size_t n, int nTimeoutMs = 10000)
    {
        return PumpUntil([&] { return doc.m_history.GetCount() >= n; }, nTimeoutMs);
    }

    std::vector<const HistoryEvent*> History() const
    {
        return std::vector<const HistoryEvent*>(doc.m_history.begin(), doc.m_history.end());
    }
    std::vector<std::uint32_t> Kinds() const
    {
        std::vector<std::uint32_t> kinds;
        for (const HistoryEvent* p : doc.m_history)
            kinds.push_back(p->m_kind);
        return kinds;
    }
    // The bytes of every event of the kind, in history order.
    std::string Concat(std::uint32_t kind) const
    {
        std::string s;
        for (const HistoryEvent* p : doc.m_history)
            if (p->m_kind == kind)
                s += Bytes(*p);
        return s;
    }
    std::vector<std::string> Pieces(std::uint32_t kind) const
    {
        std::vector<std::string> v;
        for (const HistoryEvent* p : doc.m_history)
            if (p->m_kind == kind)
                v.push_back(Bytes(*p));
        return v;
    }
    size_t Count(std::uint32_t kind) const
    {
        size_t n = 0;
        for (const HistoryEvent* p : doc.m_history)
            n += p->m_kind == kind;
        return n;
    }
    bool HasText(std::uint32_t kind, const std::string& strText) const
    {
        for (const HistoryEvent* p : doc.m_history)
            if (p->m_kind == kind && p->m_strText == strText)
                return true;
        return false;
    }

    CHeadlessFrontEnd frontEnd;
    CMidwireDoc doc;
    bool bConnectClientInWait = true;
    std::uint16_t nListenPort = 0;
    std::uint16_t nServerPort = 0;
    Fd serverListen;
    Fd client;  // the client peer
    Fd server;  // the server peer's end of the relay's connection
};

}  // namespace relaytest
