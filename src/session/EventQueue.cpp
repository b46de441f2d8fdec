#include "session/EventQueue.h"

#include <mutex>

#include "session/HistoryEvent.h"

void EventQueue::Add(HistoryEvent* pEvent)
{
    std::lock_guard<CCriticalSection> lock(m_cs);
    m_list.push_back(pEvent);
    m_nCount.store(m_list.size(), std::memory_order_release);
}

HistoryEvent* EventQueue::Take()
{
    if (m_nCount.load(std::memory_order_acquire) == 0)
        return nullptr;
    std::lock_guard<CCriticalSection> lock(m_cs);
    if (m_list.empty())
        return nullptr;
    HistoryEvent* pEvent = m_list.front();
    m_list.pop_front();
    if (m_list.empty())
        std::deque<HistoryEvent*>().swap(m_list);  // an empty list keeps no node memory
    m_nCount.store(m_list.size(), std::memory_order_release);
    return pEvent;
}

void EventQueue::RemoveAll(bool bDestroy)
{
    std::deque<HistoryEvent*> old;
    {
        std::lock_guard<CCriticalSection> lock(m_cs);
        old.swap(m_list);
        m_nCount.store(0, std::memory_order_release);
    }
    if (bDestroy) {
        for (HistoryEvent* pEvent : old)
            delete pEvent;
    }
}
