// The progress pattern of every long walk over the history.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "session/FrontEnd.h"

// Shows a progress window over N items, moves its bar every 50 items and
// keeps the window thread's messages flowing between items so that Cancel is
// seen. Messages are dispatched at most every few milliseconds: a walk over a
// million items would otherwise spend its time in an empty message queue, and
// the window looks and reacts the same.
class CProgressWalk {
public:
    CProgressWalk(EProgressKind kind, const std::string& strText, std::int64_t nLow, std::int64_t nHigh);
    ~CProgressWalk();
    CProgressWalk(const CProgressWalk&) = delete;
    CProgressWalk& operator=(const CProgressWalk&) = delete;

    // Before item i: the bar moves when i is a multiple of 50.
    void Before(std::int64_t i)
    {
        if (i % 50 == 0 && m_pWindow)
            m_pWindow->SetPos(i);
    }
    // Moves the bar to any position (a walk whose bar goes round).
    void SetPos(std::int64_t nPos)
    {
        if (m_pWindow)
            m_pWindow->SetPos(nPos);
    }
    // After an item: dispatch messages, then tell whether the walk goes on.
    bool After();
    // Dispatches messages now, whatever the time since the last dispatch.
    bool AfterNow();
    bool IsOpen() const { return m_pWindow ? m_pWindow->IsOpen() : !m_bClosed; }
    void Close();

    // The walk begun last of those not yet closed by their owner, or null:
    // a wait inside it (for a pipe, say) is cancelled by its window's Cancel.
    static CProgressWalk* Innermost() { return s_pInnermost; }

private:
    static inline thread_local CProgressWalk* s_pInnermost = nullptr;  // of the thread that walks
    CProgressWalk* m_pOuter = nullptr;
    std::unique_ptr<CProgressWindow> m_pWindow;
    std::chrono::steady_clock::time_point m_lastPump;
    bool m_bClosed = false;
};
