#include "session/SyncObjects.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

CEvent::CEvent() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (m_fd < 0) {
        // Without its events the relay cannot work at all; this happens only
        // when the process has run out of descriptors at start-up (a very
        // low "ulimit -n"). The program ends with the reason and status 1,
        // as any start that fails does, rather than with an abort and a core.
        const int nError = errno;
        std::fprintf(stderr, "midwire: cannot start: no descriptor for the session's events: %s\n",
                     std::strerror(nError));
        std::fflush(nullptr);
        std::_Exit(1);
    }
}

CEvent::~CEvent()
{
    ::close(m_fd);
}

void CEvent::SetEvent()
{
    const std::uint64_t one = 1;
    // The counter cannot overflow in practice; a full counter is still "set".
    while (::write(m_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

bool CEvent::Consume()
{
    std::uint64_t value = 0;
    for (;;) {
        const ssize_t n = ::read(m_fd, &value, sizeof value);
        if (n == static_cast<ssize_t>(sizeof value))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

void CEvent::ResetEvent()
{
    Consume();
}

bool CEvent::Wait(int nTimeoutMs)
{
    for (;;) {
        if (Consume())
            return true;
        pollfd pfd{m_fd, POLLIN, 0};
        const int rc = ::poll(&pfd, 1, nTimeoutMs);
        if (rc == 0)
            return false;
        if (rc < 0 && errno != EINTR)
            return false;
        // Readable (or interrupted): try to take the signal again. Only one
        // thread waits on each event, so a readable event is ours.
    }
}

CTerminationSignalsBlocked::CTerminationSignalsBlocked()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    m_bBlocked = ::pthread_sigmask(SIG_BLOCK, &set, &m_previous) == 0;
}

CTerminationSignalsBlocked::~CTerminationSignalsBlocked()
{
    if (m_bBlocked)
        ::pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
}
