#include "relay/BlockPool.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <system_error>

#include "session/SyncObjects.h"

CBlockPool::CBlockPool(std::size_t nBlockSize, std::size_t nDepth)
    : m_nBlockSize(nBlockSize), m_nDepth(nDepth), m_nTarget(std::min<std::size_t>(nDepth, 4))
{
    m_ready.reserve(nDepth);
    try {
        m_helper = StartWorkerThread([this] { Fill(); });
    } catch (const std::system_error&) {
        // No helper: Take makes every block itself.
    }
}

CBlockPool::~CBlockPool()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_bStop = true;
    }
    m_wanted.notify_one();
    if (m_helper.joinable())
        m_helper.join();
    for (unsigned char* p : m_ready)
        std::free(p);
}

void CBlockPool::Populate(void* pBlock, std::size_t nSize)
{
#ifdef MADV_POPULATE_WRITE
    const std::uintptr_t nPage = 4096;
    const std::uintptr_t nStart = (reinterpret_cast<std::uintptr_t>(pBlock) + nPage - 1) & ~(nPage - 1);
    const std::uintptr_t nEnd = (reinterpret_cast<std::uintptr_t>(pBlock) + nSize) & ~(nPage - 1);
    if (nEnd > nStart)
        ::madvise(reinterpret_cast<void*>(nStart), nEnd - nStart, MADV_POPULATE_WRITE);
#else
    (void)pBlock;
    (void)nSize;
#endif
}

unsigned char* CBlockPool::MakeBlock() const
{
    auto* p = static_cast<unsigned char*>(std::malloc(m_nBlockSize));
    if (p)
        Populate(p, m_nBlockSize);
    return p;
}

unsigned char* CBlockPool::Take()
{
    {
        std::unique_lock<std::mutex> lock(m_lock);
        if (!m_ready.empty()) {
            unsigned char* p = m_ready.back();
            m_ready.pop_back();
            // The helper is woken once the pool is down by a quarter, so
            // that it makes blocks in runs rather than one wake per block.
            const bool bWake = !m_bFilling && m_ready.size() <= m_nTarget * 3 / 4;
            if (bWake)
                m_bFilling = true;
            lock.unlock();
            if (bWake)
                m_wanted.notify_one();
            return p;
        }
        // The pool ran dry: the stream is faster than the pool is deep.
        m_nTarget = std::min(m_nDepth, m_nTarget * 2);
        if (!m_bFilling && m_helper.joinable()) {
            m_bFilling = true;
            lock.unlock();
            m_wanted.notify_one();
        }
    }
    return MakeBlock();
}

void CBlockPool::Fill()
{
    // Blocks are made in groups: blocks allocated one after another mostly
    // lie next to each other, and one call makes the pages of a whole run of
    // them present.
    constexpr std::size_t GROUP = 16;
    unsigned char* group[GROUP];
    std::unique_lock<std::mutex> lock(m_lock);
    m_bFilling = true;
    for (;;) {
        while (!m_bStop && m_ready.size() < m_nTarget) {
            const std::size_t nWant = std::min(GROUP, m_nTarget - m_ready.size());
            lock.unlock();
            std::size_t nMade = 0;
            while (nMade < nWant) {
                auto* p = static_cast<unsigned char*>(std::malloc(m_nBlockSize));
                if (!p)
                    break;  // out of memory: the worker's own attempts report it
                group[nMade++] = p;
            }
            std::sort(group, group + nMade);
            for (std::size_t i = 0; i < nMade;) {
                std::size_t j = i + 1;
                // malloc keeps a small header between neighbouring blocks.
                while (j < nMade && group[j] - (group[j - 1] + m_nBlockSize) <= 64)
                    ++j;
                Populate(group[i], static_cast<std::size_t>(group[j - 1] + m_nBlockSize - group[i]));
                i = j;
            }
            lock.lock();
            for (std::size_t i = 0; i < nMade; ++i)
                m_ready.push_back(group[i]);
            if (nMade < nWant)
                break;
        }
        m_bFilling = false;
        m_wanted.wait(lock, [this] { return m_bStop || m_bFilling; });
        if (m_bStop)
            return;
    }
}
