#include "relay/SocketNotifier.h"

#include <QCoreApplication>
#include <QObject>
#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <mutex>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>

namespace {

struct Registration {
    UINT nMsg;
    unsigned lEvent;
    std::uint32_t nToken;  // tells this registration from an earlier one of the same descriptor
    bool bFired;           // notified and not armed again yet
};

// The epoll set and its notifier, owned by the application object so that
// both go away with the event loop they belong to.
class CNotifierHost : public QObject {
public:
    CNotifierHost();
    ~CNotifierHost() override;
    int Fd() const { return m_epfd; }
    void DrainReady();
    void DrainPosted();

private:
    int m_epfd;
};

std::mutex g_lock;  // registrations and every change of the epoll set
std::unordered_map<SOCKET, Registration> g_registrations;
std::uint32_t g_nNextToken = 1;
std::atomic<CNotifierHost*> g_pHost{nullptr};
SocketNotificationHandler g_handlers[3] = {nullptr, nullptr, nullptr};

// A posted notification, with the registration of its message's socket at the
// time it was posted (0 when there was none).
struct Posted {
    UINT nMsg;
    unsigned lParam;
    std::uint32_t nToken;
};
std::mutex g_postLock;
std::deque<Posted> g_posted;

std::uint64_t EpollData(SOCKET s, std::uint32_t nToken)
{
    return (static_cast<std::uint64_t>(nToken) << 32) | static_cast<std::uint32_t>(s);
}

// A listening socket is watched for waiting clients. A connected socket is
// watched only for its peer's close (and errors, which epoll always
// reports): its worker waits for arrivals on the socket itself.
std::uint32_t EpollEvents(unsigned lEvent)
{
    return (lEvent & FD_ACCEPT) ? EPOLLIN : EPOLLRDHUP;
}

bool ArmLocked(int epfd, int op, SOCKET s, std::uint32_t nToken, unsigned lEvent)
{
    epoll_event ev{};
    ev.events = EpollEvents(lEvent) | EPOLLONESHOT;
    ev.data.u64 = EpollData(s, nToken);
    return ::epoll_ctl(epfd, op, s, &ev) == 0;
}

void CancelLocked(int epfd, SOCKET s)
{
    const auto it = g_registrations.find(s);
    if (it == g_registrations.end())
        return;
    if (epfd >= 0)
        ::epoll_ctl(epfd, EPOLL_CTL_DEL, s, nullptr);
    g_registrations.erase(it);
}

// The registration of the connected socket notified with nMsg (there is at
// most one), or 0.
std::uint32_t CurrentTokenLocked(UINT nMsg)
{
    for (const auto& entry : g_registrations) {
        if (entry.second.nMsg == nMsg && !(entry.second.lEvent & FD_ACCEPT))
            return entry.second.nToken;
    }
    return 0;
}

void Deliver(UINT nMsg, unsigned lParam)
{
    if (nMsg >= WM_ACCEPT_EVENT && nMsg <= WM_CLIENT_SOCKET_EVENT) {
        if (SocketNotificationHandler pfn = g_handlers[nMsg - WM_ACCEPT_EVENT])
            pfn(nMsg, lParam);
    }
}

CNotifierHost::CNotifierHost() : m_epfd(::epoll_create1(EPOLL_CLOEXEC))
{
    if (m_epfd < 0)
        return;
    auto* pNotifier = new QSocketNotifier(m_epfd, QSocketNotifier::Read, this);
    QObject::connect(pNotifier, &QSocketNotifier::activated, this, [this] { DrainReady(); });
}

CNotifierHost::~CNotifierHost()
{
    CNotifierHost* pSelf = this;
    g_pHost.compare_exchange_strong(pSelf, nullptr);
    std::lock_guard<std::mutex> lock(g_lock);
    g_registrations.clear();
    if (m_epfd >= 0)
        ::close(m_epfd);
}

void CNotifierHost::DrainReady()
{
    // One event at a time: a handler may run a nested event loop (a wait
    // dialog, the polling loops of End) that takes further events itself.
    // A bounded batch lets the loop serve other sources in between.
    for (int i = 0; i < 64; ++i) {
        epoll_event ev{};
        const int n = ::epoll_wait(m_epfd, &ev, 1, 0);
        if (n <= 0)
            return;
        const SOCKET s = static_cast<SOCKET>(ev.data.u64 & 0xFFFFFFFFu);
        const std::uint32_t nToken = static_cast<std::uint32_t>(ev.data.u64 >> 32);
        UINT nMsg;
        unsigned lEvent;
        {
            std::lock_guard<std::mutex> lock(g_lock);
            const auto it = g_registrations.find(s);
            if (it == g_registrations.end() || it->second.nToken != nToken)
                continue;  // cancelled after the event was queued
            it->second.bFired = true;
            nMsg = it->second.nMsg;
            lEvent = it->second.lEvent;
        }
        if (lEvent & FD_ACCEPT) {
            Deliver(nMsg, FD_ACCEPT);
            RearmSocketNotification(s);
            continue;
        }
        char c;
        const ssize_t r = ::recv(s, &c, 1, MSG_PEEK | MSG_DONTWAIT);
        if (r > 0) {
            if (lEvent & FD_READ)
                Deliver(nMsg, FD_READ);
            else
                RearmSocketNotification(s);
        } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            // The worker read it all in the meantime; watch again.
            RearmSocketNotification(s);
        } else {
            // End of stream or a failed connection: the last notification.
            {
                std::lock_guard<std::mutex> lock(g_lock);
                CancelLocked(m_epfd, s);
            }
            if (lEvent & FD_CLOSE)
                Deliver(nMsg, FD_CLOSE);
        }
    }
}

void CNotifierHost::DrainPosted()
{
    for (;;) {
        Posted item{};
        {
            std::lock_guard<std::mutex> lock(g_postLock);
            if (g_posted.empty())
                return;
            item = g_posted.front();
            g_posted.pop_front();
        }
        // A notification posted while another socket was registered for its
        // message (or none, where one is now) belongs to a session that has
        // ended since, closed by its peer or by End: a keep-alive session may
        // have taken its place, and a close delivered now would end that one.
        {
            std::lock_guard<std::mutex> lock(g_lock);
            if (CurrentTokenLocked(item.nMsg) != item.nToken)
                continue;
        }
        Deliver(item.nMsg, item.lParam);
    }
}

CNotifierHost* EnsureHost()
{
    CNotifierHost* pHost = g_pHost.load();
    if (pHost)
        return pHost;
    QCoreApplication* pApp = QCoreApplication::instance();
    if (!pApp)
        return nullptr;
    pHost = new CNotifierHost;
    if (pHost->Fd() < 0) {
        delete pHost;
        return nullptr;
    }
    pHost->setParent(pApp);
    g_pHost.store(pHost);
    return pHost;
}

}  // namespace

void SetSocketNotificationHandler(UINT nMsg, SocketNotificationHandler pfnHandler)
{
    if (nMsg >= WM_ACCEPT_EVENT && nMsg <= WM_CLIENT_SOCKET_EVENT)
        g_handlers[nMsg - WM_ACCEPT_EVENT] = pfnHandler;
}

int SelectSocketNotification(SOCKET s, UINT nMsg, unsigned lEvent)
{
    if (s == INVALID_SOCKET)
        return -1;
    CNotifierHost* pHost = EnsureHost();
    if (!pHost)
        return -1;
    std::lock_guard<std::mutex> lock(g_lock);
    CancelLocked(pHost->Fd(), s);
    const std::uint32_t nToken = g_nNextToken++;
    if (!ArmLocked(pHost->Fd(), EPOLL_CTL_ADD, s, nToken, lEvent))
        return -1;
    g_registrations[s] = Registration{nMsg, lEvent, nToken, false};
    return 0;
}

void CancelSocketNotification(SOCKET s)
{
    CNotifierHost* pHost = g_pHost.load();
    std::lock_guard<std::mutex> lock(g_lock);
    CancelLocked(pHost ? pHost->Fd() : -1, s);
}

void RearmSocketNotification(SOCKET s)
{
    CNotifierHost* pHost = g_pHost.load();
    if (!pHost)
        return;
    std::lock_guard<std::mutex> lock(g_lock);
    const auto it = g_registrations.find(s);
    if (it == g_registrations.end() || !it->second.bFired)
        return;
    it->second.bFired = false;
    ArmLocked(pHost->Fd(), EPOLL_CTL_MOD, s, it->second.nToken, it->second.lEvent);
}

void PostSocketNotification(UINT nMsg, unsigned lParam)
{
    CNotifierHost* pHost = g_pHost.load();
    if (!pHost)
        return;
    std::uint32_t nToken = 0;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        nToken = CurrentTokenLocked(nMsg);
    }
    {
        std::lock_guard<std::mutex> lock(g_postLock);
        g_posted.push_back(Posted{nMsg, lParam, nToken});
    }
    QMetaObject::invokeMethod(pHost, [pHost] { pHost->DrainPosted(); }, Qt::QueuedConnection);
}

bool IsSocketNotificationActive(SOCKET s)
{
    std::lock_guard<std::mutex> lock(g_lock);
    return g_registrations.count(s) != 0;
}
