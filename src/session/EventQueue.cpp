#include "session/EventQueue.h"

#include <mutex>
#include <new>

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
    // An empty list keeps no node memory; where even the new empty list
    // cannot be had, the old one stays.
    if (m_list.empty()) {
        try {
            std::deque<HistoryEvent*>().swap(m_list);
        } catch (const std::bad_alloc&) {
        }
    }
    m_nCount.store(m_list.size(), std::memory_order_release);
    return pEvent;
}

void EventQueue::RemoveAll(bool bDestroy)
{
    // Nothing here may need memory: it runs in the document's destructor,
    // also while a command ends because memory ran out.
    std::lock_guard<CCriticalSection> lock(m_cs);
    if (bDestroy) {
        for (HistoryEvent* pEvent : m_list)
            delete pEvent;
    }
    m_list.clear();
    m_list.shrink_to_fit();
    m_nCount.store(0, std::memory_order_release);
}
