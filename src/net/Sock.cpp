#include "net/Sock.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>

#include "session/FrontEnd.h"

namespace {

void ShowWarning(const char* pszText)
{
    if (g_pMainFrame)
        g_pMainFrame->WarningBox(pszText);
    else
        std::fprintf(stderr, "Warning: %s\n", pszText);
}

SOCKET FailAndClose(SOCKET s, const char* pszText)
{
    if (s != INVALID_SOCKET)
        ::close(s);
    ShowWarning(pszText);
    return INVALID_SOCKET;
}

bool SetNonBlocking(SOCKET s)
{
    const int flags = ::fcntl(s, F_GETFL, 0);
    return flags >= 0 && ::fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}

// A descriptor held in reserve for a listening socket's sake. When every
// descriptor of the process is in use, accept fails and leaves the client
// queued: the listening socket stays readable, and its notification would
// come back at once, for ever. Giving up the reserve for a moment lets the
// queued client be taken and turned away, so each client that cannot be
// served costs one failure, not a storm of them.
std::atomic<int> g_hReserveFd{-1};

void KeepReserveFd()
{
    if (g_hReserveFd.load(std::memory_order_relaxed) >= 0)
        return;
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int nExpected = -1;
    if (fd >= 0 && !g_hReserveFd.compare_exchange_strong(nExpected, fd))
        ::close(fd);
}

// Closes the oldest queued client of hListen with the reserve's descriptor.
void TurnAwayQueuedClient(SOCKET hListen)
{
    const int fd = g_hReserveFd.exchange(-1);
    if (fd < 0)
        return;
    ::close(fd);
    const int s = ::accept4(hListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (s >= 0)
        ::close(s);
    KeepReserveFd();
}

// Looks up a service name for the protocol; the port in network order, or 0.
std::uint16_t LookUpService(const std::string& strName, const char* pszProto)
{
    if (strName.empty())
        return 0;
    servent entry{};
    servent* pResult = nullptr;
    char buf[1024];
    if (::getservbyname_r(strName.c_str(), pszProto, &entry, buf, sizeof buf, &pResult) == 0 && pResult)
        return static_cast<std::uint16_t>(pResult->s_port);
    return 0;
}

// Port resolution for sockets the layer opens: a service name first, else the
// number cut to 16 bits. Returns the port in network order; 0 means failure.
std::uint16_t ResolvePortNetworkOrder(const std::string& strPort, const char* pszProto)
{
    if (const std::uint16_t nService = LookUpService(strPort, pszProto))
        return nService;
    return htons(SockAtoiPort(strPort));
}

// The first IPv4 address of a host name, in network order.
bool LookUpHostName(const std::string& strName, in_addr* pAddr)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pList = nullptr;
    if (strName.empty() || ::getaddrinfo(strName.c_str(), nullptr, &hints, &pList) != 0 || !pList)
        return false;
    *pAddr = reinterpret_cast<sockaddr_in*>(pList->ai_addr)->sin_addr;
    ::freeaddrinfo(pList);
    return true;
}

// A dotted address as inet_addr accepts it.
bool ParseDotted(const std::string& strHost, in_addr* pAddr)
{
    return !strHost.empty() && ::inet_aton(strHost.c_str(), pAddr) != 0;
}

bool LocalHostAddress(in_addr* pAddr)
{
    char name[1024];
    if (::gethostname(name, sizeof name) != 0)
        return false;
    name[sizeof name - 1] = '\0';
    return LookUpHostName(name, pAddr);
}

// Common start of SockListen and SockOpenDatagram: socket, port, local host
// name, bind.
SOCKET OpenBound(int nType, const std::string& strPort, const char* pszProto)
{
    SOCKET s = ::socket(AF_INET, nType | SOCK_CLOEXEC, 0);
    if (s < 0)
        return FailAndClose(INVALID_SOCKET, "Error creating socket");
    const std::uint16_t nPort = ResolvePortNetworkOrder(strPort, pszProto);
    if (nPort == 0)
        return FailAndClose(s, "Unknow service");
    in_addr local{};
    if (!LocalHostAddress(&local))
        return FailAndClose(s, "Unknow host");
    if (nType == SOCK_STREAM) {
        // Lets a listening port be opened again at once after a session ends
        // (its old connections linger in TIME_WAIT); two live listeners on one
        // port are still refused.
        const int one = 1;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = nPort;
    addr.sin_addr = local;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return FailAndClose(s, "Error binding a socket");
    return s;
}

bool CopyText(const char* pszText, char* pBuffer, std::size_t nCapacity)
{
    if (!pBuffer || nCapacity == 0)
        return false;
    std::size_t n = std::strlen(pszText);
    if (n > nCapacity - 1)
        n = nCapacity - 1;
    std::memcpy(pBuffer, pszText, n);
    pBuffer[n] = '\0';
    return true;
}

// Reverse names are looked up on the thread that records the event, so a
// burst of datagrams from one sender would wait for the name server once per
// datagram, and for its whole time-out each time where none answers (a lab
// network without one). Each answer, a failure included, is kept for a
// minute; a name changed meanwhile shows once that minute is over.
class CReverseNameCache {
public:
    // Whether an answer for the address is kept; if so, whether it was a
    // name and which.
    bool Find(std::uint32_t nAddr, bool& bNamed, std::string& strName)
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        const auto it = m_entries.find(nAddr);
        if (it == m_entries.end() || Clock::now() >= it->second.expiry)
            return false;
        bNamed = it->second.bNamed;
        if (bNamed)
            strName = it->second.strName;
        return true;
    }

    void Keep(std::uint32_t nAddr, bool bNamed, const std::string& strName)
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        const Clock::time_point now = Clock::now();
        if (m_entries.size() >= kMaxEntries) {
            std::erase_if(m_entries, [now](const auto& entry) { return now >= entry.second.expiry; });
            if (m_entries.size() >= kMaxEntries)
                m_entries.clear();  // a scan of many senders: start afresh
        }
        m_entries[nAddr] = Entry{bNamed, strName, now + kLifetime};
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kLifetime = std::chrono::minutes(1);
    static constexpr std::size_t kMaxEntries = 4096;
    struct Entry {
        bool bNamed;
        std::string strName;
        Clock::time_point expiry;
    };
    std::mutex m_lock;
    std::unordered_map<std::uint32_t, Entry> m_entries;
};

bool ReverseName(std::uint32_t nAddr, std::string& strName)
{
    static CReverseNameCache cache;
    bool bNamed = false;
    if (cache.Find(nAddr, bNamed, strName))
        return bNamed;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(nAddr);
    char host[NI_MAXHOST];
    bNamed = ::getnameinfo(reinterpret_cast<sockaddr*>(&addr), sizeof addr, host, sizeof host, nullptr, 0,
                           NI_NAMEREQD) == 0;
    if (bNamed)
        strName = host;
    cache.Keep(nAddr, bNamed, bNamed ? strName : std::string());
    return bNamed;
}

std::string DottedText(std::uint32_t nAddr)
{
    in_addr a{};
    a.s_addr = htonl(nAddr);
    char buf[INET_ADDRSTRLEN];
    return ::inet_ntop(AF_INET, &a, buf, sizeof buf) ? std::string(buf) : std::string();
}

}  // namespace

int SockStartup()
{
    return 0;
}

int SockCleanup()
{
    return 0;
}

std::uint16_t SockAtoiPort(const std::string& strPort)
{
    // atoi: leading white space, an optional sign, digits up to the first other
    // character. The value wraps as a 32-bit integer and is then cut to 16 bits.
    const char* p = strPort.c_str();
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool bNegative = false;
    if (*p == '+' || *p == '-')
        bNegative = *p++ == '-';
    std::uint32_t nValue = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        nValue = nValue * 10u + static_cast<std::uint32_t>(*p - '0');
    if (bNegative)
        nValue = 0u - nValue;
    return static_cast<std::uint16_t>(nValue & 0xFFFFu);
}

SOCKET SockListen(const std::string& strPort)
{
    SOCKET s = OpenBound(SOCK_STREAM, strPort, "tcp");
    if (s == INVALID_SOCKET)
        return INVALID_SOCKET;
    if (::listen(s, 64) != 0)
        return FailAndClose(s, "Error listening a socket");
    KeepReserveFd();
    return s;
}

SOCKET SockOpenDatagram(const std::string& strPort)
{
    SOCKET s = OpenBound(SOCK_DGRAM, strPort, "udp");
    if (s == INVALID_SOCKET)
        return INVALID_SOCKET;
    if (!SetNonBlocking(s))
        return FailAndClose(s, "Error setting the blocking mode");
    const int one = 1;
    if (::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0)
        return FailAndClose(s, "Error connecting a socket");
    return s;
}

namespace {

// The peer addresses that accept gave, by accepted socket, until the socket
// is closed: a client that resets before its name is asked for no longer
// has one for getpeername, yet it was that address that connected.
std::mutex g_acceptedPeersLock;
std::unordered_map<SOCKET, sockaddr_in> g_acceptedPeers;  // under g_acceptedPeersLock

void RememberAcceptedPeer(SOCKET s, const sockaddr_in& addr)
{
    std::lock_guard<std::mutex> lock(g_acceptedPeersLock);
    g_acceptedPeers[s] = addr;
}

void ForgetAcceptedPeer(SOCKET s)
{
    std::lock_guard<std::mutex> lock(g_acceptedPeersLock);
    g_acceptedPeers.erase(s);
}

bool AcceptedPeer(SOCKET s, sockaddr_in& addr)
{
    std::lock_guard<std::mutex> lock(g_acceptedPeersLock);
    const auto it = g_acceptedPeers.find(s);
    if (it == g_acceptedPeers.end())
        return false;
    addr = it->second;
    return true;
}

}  // namespace

SOCKET SockAccept(SOCKET hListen)
{
    if (!SetNonBlocking(hListen)) {
        ShowWarning("Error setting the blocking mode");
        return INVALID_SOCKET;
    }
    for (;;) {
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        const SOCKET s =
            ::accept4(hListen, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (s >= 0) {
            if (len <= sizeof addr && addr.sin_family == AF_INET)
                RememberAcceptedPeer(s, addr);
            else
                ForgetAcceptedPeer(s);
            return s;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return INVALID_SOCKET;
        if (errno == EMFILE || errno == ENFILE)
            TurnAwayQueuedClient(hListen);
        ShowWarning("Error accepting a connection");
        return INVALID_SOCKET;
    }
}

namespace {

std::atomic<bool (*)()> g_pfnConnectAbandon{nullptr};

// A connect that blocks its caller until the outcome is known. It is made
// on a non-blocking socket and waited for in short slices, so that the
// abandon check is seen even when a signal interrupts another thread; the
// caller makes the socket non-blocking afterwards in any case.
bool ConnectBlocking(SOCKET s, const sockaddr_in& addr)
{
    if (!SetNonBlocking(s))
        return false;
    if (::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
        return true;
    if (errno != EINPROGRESS && errno != EINTR)
        return false;
    pollfd pfd{s, POLLOUT, 0};
    int rc;
    do {
        bool (*const pfnAbandon)() = g_pfnConnectAbandon.load();
        if (pfnAbandon && pfnAbandon())
            return false;
        rc = ::poll(&pfd, 1, 100);
    } while (rc == 0 || (rc < 0 && errno == EINTR));
    int nError = 0;
    socklen_t len = sizeof nError;
    return rc > 0 && ::getsockopt(s, SOL_SOCKET, SO_ERROR, &nError, &len) == 0 && nError == 0;
}

}  // namespace

void SockSetConnectAbandonCheck(bool (*pfnAbandon)())
{
    g_pfnConnectAbandon.store(pfnAbandon);
}

SOCKET SockConnect(const std::string& strHost, const std::string& strPort)
{
    SOCKET s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return FailAndClose(INVALID_SOCKET, "Error creating socket");
    const std::uint16_t nPort = ResolvePortNetworkOrder(strPort, "tcp");
    if (nPort == 0)
        return FailAndClose(s, "Unknow service");
    in_addr target{};
    if (!ParseDotted(strHost, &target) && !LookUpHostName(strHost, &target))
        return FailAndClose(s, "Unknow host");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = nPort;
    addr.sin_addr = target;
    if (!ConnectBlocking(s, addr))
        return FailAndClose(s, "Error connecting a socket");
    if (!SetNonBlocking(s))
        return FailAndClose(s, "Error setting the blocking mode");
    return s;
}

bool SockAddressIsListener(const sockaddr_in& peer, const sockaddr_in& ownEnd, const sockaddr_in& listen)
{
    if (peer.sin_family != AF_INET || listen.sin_family != AF_INET || peer.sin_port != listen.sin_port)
        return false;
    if (listen.sin_addr.s_addr != htonl(INADDR_ANY))
        return peer.sin_addr.s_addr == listen.sin_addr.s_addr;
    // A listener on every address is reached through any address of this
    // machine: a loopback one, or the one the connection itself goes out
    // from. A server elsewhere on the same port number is none of these.
    const bool bLoopback = (ntohl(peer.sin_addr.s_addr) >> 24) == IN_LOOPBACKNET;
    return bLoopback || (ownEnd.sin_family == AF_INET && peer.sin_addr.s_addr == ownEnd.sin_addr.s_addr);
}

bool SockConnectedToListener(SOCKET hConnected, SOCKET hListen)
{
    if (hConnected == INVALID_SOCKET || hListen == INVALID_SOCKET)
        return false;
    sockaddr_in peer{};
    sockaddr_in ownEnd{};
    sockaddr_in listen{};
    socklen_t nPeer = sizeof peer;
    socklen_t nOwnEnd = sizeof ownEnd;
    socklen_t nListen = sizeof listen;
    if (::getpeername(hConnected, reinterpret_cast<sockaddr*>(&peer), &nPeer) != 0 ||
        ::getsockname(hConnected, reinterpret_cast<sockaddr*>(&ownEnd), &nOwnEnd) != 0 ||
        ::getsockname(hListen, reinterpret_cast<sockaddr*>(&listen), &nListen) != 0 ||
        !SockAddressIsListener(peer, ownEnd, listen))
        return false;
    ShowWarning("Connection to the own listening socket");
    return true;
}

int SockClose(SOCKET s)
{
    if (s == INVALID_SOCKET)
        return -1;
    ForgetAcceptedPeer(s);
    return ::close(s);
}

int SockUnsentBytes(SOCKET s)
{
    int n = 0;
    if (s == INVALID_SOCKET || ::ioctl(s, SIOCOUTQ, &n) != 0)
        return -1;
    return n;
}

std::string SockPeerName(SOCKET s)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    const bool bNamed = ::getpeername(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0 && addr.sin_family == AF_INET;
    if (!bNamed && !AcceptedPeer(s, addr)) {
        ShowWarning("Error reading the peer host information");
        return std::string();
    }
    const std::uint32_t nAddr = ntohl(addr.sin_addr.s_addr);
    std::string strName;
    if (ReverseName(nAddr, strName) && !strName.empty())
        return strName;
    strName = DottedText(nAddr);
    if (strName.empty())
        ShowWarning("Error printing the peer host name");
    return strName;
}

int SockReceive(SOCKET s, void* pBuffer, int nCapacity)
{
    for (;;) {
        const ssize_t n = ::recv(s, pBuffer, static_cast<size_t>(nCapacity), 0);
        if (n > 0)
            return static_cast<int>(n);
        if (n == 0)
            return -1;  // orderly close by the peer
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return -1;
    }
}

int SockSend(SOCKET s, const void* pData, int nLength)
{
    const char* p = static_cast<const char*>(pData);
    int nSent = 0;
    while (nSent < nLength) {
        const ssize_t n = ::send(s, p + nSent, static_cast<size_t>(nLength - nSent), MSG_NOSIGNAL);
        if (n >= 0) {
            nSent += static_cast<int>(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return nSent;
        return -1;
    }
    return nLength;
}

int SockReceiveFrom(SOCKET s, void* pBuffer, int nCapacity, std::uint32_t* pSenderAddr,
                    std::uint16_t* pSenderPort, bool* pbTaken)
{
    if (pbTaken)
        *pbTaken = false;
    for (;;) {
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        // MSG_TRUNC makes the call return the datagram's real length, which
        // tells a truncated datagram from one that just fit.
        const ssize_t n = ::recvfrom(s, pBuffer, static_cast<size_t>(nCapacity), MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&addr), &len);
        if (n >= 0) {
            if (pSenderAddr)
                *pSenderAddr = ntohl(addr.sin_addr.s_addr);
            if (pSenderPort)
                *pSenderPort = ntohs(addr.sin_port);
            if (pbTaken)
                *pbTaken = true;
            return n > nCapacity ? -2 : static_cast<int>(n);
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return -1;
    }
}

int SockSendTo(SOCKET s, const void* pData, int nLength, std::uint32_t nAddr, std::uint16_t nPort,
               bool* pbTaken)
{
    if (pbTaken)
        *pbTaken = false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    addr.sin_addr.s_addr = htonl(nAddr);
    for (;;) {
        const ssize_t n = ::sendto(s, pData, static_cast<size_t>(nLength), MSG_NOSIGNAL,
                                   reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        if (n >= 0) {
            if (pbTaken)
                *pbTaken = true;
            return static_cast<int>(n);
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)
            return 0;
        if (errno == EMSGSIZE)
            return -2;
        return -1;
    }
}

std::uint32_t SockResolveHost(const std::string& strHost)
{
    in_addr a{};
    if (ParseDotted(strHost, &a) || LookUpHostName(strHost, &a))
        return ntohl(a.s_addr);
    return 0xFFFFFFFFu;
}

bool SockHostUnresolved(const std::string& strHost, std::uint32_t nAddr)
{
    in_addr a{};
    return nAddr == 0xFFFFFFFFu && !strHost.empty() && !ParseDotted(strHost, &a);
}

std::uint16_t SockResolveUdpPort(const std::string& strPort)
{
    if (const std::uint16_t nService = LookUpService(strPort, "udp"))
        return ntohs(nService);
    return SockAtoiPort(strPort);
}

int SockAddressToName(std::uint32_t nAddr, char* pBuffer, std::size_t nCapacity)
{
    std::string strName;
    if (!ReverseName(nAddr, strName) || strName.empty())
        strName = DottedText(nAddr);
    if (strName.empty() || !CopyText(strName.c_str(), pBuffer, nCapacity)) {
        CopyText("", pBuffer, nCapacity);
        ShowWarning("Error printing the peer host name");
        return -1;
    }
    return 0;
}

int SockAddressToText(std::uint32_t nAddr, char* pBuffer, std::size_t nCapacity)
{
    const std::string strText = DottedText(nAddr);
    if (strText.empty() || !CopyText(strText.c_str(), pBuffer, nCapacity)) {
        CopyText("", pBuffer, nCapacity);
        ShowWarning("Error printing the peer host name");
        return -1;
    }
    return 0;
}

std::uint32_t SockLocalHostAddress()
{
    in_addr a{};
    return LocalHostAddress(&a) ? ntohl(a.s_addr) : 0;
}
