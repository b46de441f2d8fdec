// The list type of the history, the four relay queues and the playback script.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>

#include "session/SyncObjects.h"

class HistoryEvent;

// A first-in first-out list of event pointers with its own lock. New entries
// go to the head, the oldest is taken from the tail. Add and Take each hold the
// lock for that one operation; Take looks at the count first and returns null
// without locking when the list is empty (every list has a single taker).
//
// Whole-list walks (begin/end, oldest to newest) take no lock: they run on the
// window thread only while no worker can touch the list.
class EventQueue {
public:
    using const_iterator = std::deque<HistoryEvent*>::const_iterator;

    void Add(HistoryEvent* pEvent);
    HistoryEvent* Take();

    std::size_t GetCount() const { return m_nCount.load(std::memory_order_acquire); }
    bool IsEmpty() const { return GetCount() == 0; }

    // Removes every entry; destroys the events when bDestroy is set.
    void RemoveAll(bool bDestroy);

    const_iterator begin() const { return m_list.begin(); }
    const_iterator end() const { return m_list.end(); }
    HistoryEvent* GetAt(std::size_t i) const { return m_list[i]; }

    CCriticalSection& GetLock() { return m_cs; }

private:
    std::deque<HistoryEvent*> m_list;  // front: oldest (tail), back: newest (head)
    std::atomic<std::size_t> m_nCount{0};
    CCriticalSection m_cs;
};
