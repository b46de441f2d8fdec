// Time for waits that give up after a span without progress.
#pragma once

#include <chrono>

// A monotonic clock read in steps, of which each counts at most a given
// length. A wait polls it once per pass; a pass that took far longer than a
// pass takes means the process was not running (stopped with SIGSTOP or
// Ctrl-Z, often together with the peer it waits for, or not scheduled), and
// that time is no sign that the awaited progress stalled: counted in full,
// it would make the wait give up at the very moment the process resumes.
class CRunningClock {
public:
    using Duration = std::chrono::steady_clock::duration;

    explicit CRunningClock(Duration maxStep) : m_maxStep(maxStep), m_last(std::chrono::steady_clock::now()) {}

    // Adds the time since the previous call (or the start), at most one
    // step's length, and returns the time counted since the last Restart.
    Duration Tick()
    {
        const auto now = std::chrono::steady_clock::now();
        const Duration step = now - m_last;
        m_last = now;
        m_counted += step < m_maxStep ? step : m_maxStep;
        return m_counted;
    }

    // Counts from zero again.
    void Restart()
    {
        m_last = std::chrono::steady_clock::now();
        m_counted = Duration::zero();
    }

    Duration Counted() const { return m_counted; }

private:
    const Duration m_maxStep;
    std::chrono::steady_clock::time_point m_last;
    Duration m_counted{};
};
