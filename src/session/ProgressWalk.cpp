#include "session/ProgressWalk.h"

namespace {
constexpr auto kPumpInterval = std::chrono::milliseconds(15);
}

CProgressWalk::CProgressWalk(EProgressKind kind, const std::string& strText, std::int64_t nLow, std::int64_t nHigh)
    : m_pWindow(g_pMainFrame ? g_pMainFrame->CreateProgress(kind, strText, nLow, nHigh) : nullptr),
      m_lastPump()  // the first item dispatches at once, so the window shows from the start
{
    m_pOuter = s_pInnermost;
    s_pInnermost = this;
}

CProgressWalk::~CProgressWalk()
{
    Close();
}

bool CProgressWalk::After()
{
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastPump >= kPumpInterval) {
        m_lastPump = now;
        if (g_pMainFrame)
            g_pMainFrame->PumpMessages();
    }
    return IsOpen();
}

bool CProgressWalk::AfterNow()
{
    m_lastPump = std::chrono::steady_clock::now();
    if (g_pMainFrame)
        g_pMainFrame->PumpMessages();
    return IsOpen();
}

void CProgressWalk::Close()
{
    // Out of the chain of open walks, wherever it stands in it.
    if (!m_bClosed) {
        for (CProgressWalk** pp = &s_pInnermost; *pp; pp = &(*pp)->m_pOuter) {
            if (*pp == this) {
                *pp = m_pOuter;
                break;
            }
        }
    }
    m_bClosed = true;
    if (m_pWindow) {
        if (m_pWindow->IsOpen())
            m_pWindow->Close();
        m_pWindow.reset();
    }
}
