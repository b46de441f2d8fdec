#include "app/CliSupport.h"

#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

}  // namespace

CSignalWatch::CSignalWatch(std::function<void()> onSignal) : m_onSignal(std::move(onSignal))
{
    if (g_signalPipe[0] >= 0 || ::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;  // one watch at a time
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
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
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
