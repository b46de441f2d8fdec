#include "app/CliSupport.h"

#include <QSocketNotifier>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};
// The handler's end of the pipe, -1 once the watch is gone.
std::atomic<int> g_nSignalWriteFd{-1};
std::atomic<bool> g_bSignalSeen{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

void OnSignal(int)
{
    g_bSignalSeen.store(true);
    const int fd = g_nSignalWriteFd.load();
    if (fd < 0)
        return;
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd, &c, 1);
}

}  // namespace

CSignalWatch::CSignalWatch(std::function<void()> onSignal) : m_onSignal(std::move(onSignal))
{
    if (g_signalPipe[0] >= 0 || ::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;  // one watch at a time
    g_nSignalWriteFd.store(g_signalPipe[1]);
    g_bSignalSeen.store(false);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    m_pNotifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(m_pNotifier.get(), &QSocketNotifier::activated, [this] {
        char buf[16];
        while (::read(g_signalPipe[0], buf, sizeof buf) > 0) {
        }
        if (m_onSignal)
            m_onSignal();
    });
}

CSignalWatch::~CSignalWatch()
{
    if (!m_pNotifier)
        return;
    // Once a signal has asked the program to end, a repeat of it (tools such
    // as timeout send one to the process and one to its group) must not kill
    // the clean ending that is under way: the handler stays and does nothing.
    g_nSignalWriteFd.store(-1);
    if (!g_bSignalSeen.load()) {
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
    }
    m_pNotifier.reset();
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    g_signalPipe[0] = g_signalPipe[1] = -1;
}

bool SplitHostPort(const std::string& strText, std::string& strHost, std::string& strPort)
{
    const std::size_t nColon = strText.rfind(':');
    if (nColon == std::string::npos || nColon == 0 || nColon + 1 == strText.size())
        return false;
    strHost = strText.substr(0, nColon);
    strPort = strText.substr(nColon + 1);
    return true;
}
