// Thread signalling primitives of the session: auto-reset events and locks.
#pragma once

#include <mutex>
#include <signal.h>
#include <thread>
#include <utility>

// An auto-reset event: one SetEvent releases one wait, and several sets before
// the waiter arrives count as one. It is an eventfd underneath, so a worker can
// wait on it together with a socket in one poll().
class CEvent {
public:
    CEvent();
    ~CEvent();
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    void SetEvent();
    void ResetEvent();
    // Waits until the event is set and resets it. A negative timeout waits
    // without limit. Returns true when the event was set, false on time-out.
    bool Wait(int nTimeoutMs = -1);
    // Tests without waiting, resetting the event when it was set.
    bool TryWait() { return Wait(0); }
    // The descriptor that polls readable while the event is set.
    int GetFd() const { return m_fd; }

private:
    bool Consume();
    int m_fd;
};

// A lock held for one list operation at a time.
class CCriticalSection {
public:
    void Lock() { m_mutex.lock(); }
    void Unlock() { m_mutex.unlock(); }
    // BasicLockable, for std::lock_guard.
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }

private:
    std::mutex m_mutex;
};

// While it lives, the calling thread does not take SIGINT, SIGTERM or SIGHUP;
// the thread's earlier mask comes back when it ends.
class CTerminationSignalsBlocked {
public:
    CTerminationSignalsBlocked();
    ~CTerminationSignalsBlocked();
    CTerminationSignalsBlocked(const CTerminationSignalsBlocked&) = delete;
    CTerminationSignalsBlocked& operator=(const CTerminationSignalsBlocked&) = delete;

private:
    sigset_t m_previous;
    bool m_bBlocked;
};

// Starts a worker thread that never takes the termination signals, so that
// they always reach the thread that runs the event loop, whose handler wakes
// it; a worker's own calls are never cut short by them either. The thread is
// born with the signals blocked, leaving no moment in which one lands in it.
template <class Fn, class... Args>
std::thread StartWorkerThread(Fn&& fn, Args&&... args)
{
    CTerminationSignalsBlocked blocked;
    return std::thread(std::forward<Fn>(fn), std::forward<Args>(args)...);
}
