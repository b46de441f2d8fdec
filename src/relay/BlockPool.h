// Fresh receive blocks made ready ahead of need by a helper thread.
//
// Every received chunk stays in the history, so a worker that hands its
// receive block to the history needs a fresh one for each chunk, and fresh
// memory costs a page fault per page when it is first written. The pool's
// helper thread allocates blocks and makes their pages present while the
// worker relays, on whichever core has time for it; the worker only takes a
// ready block. Blocks come from malloc and are released with free.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

class CBlockPool {
public:
    // Up to nDepth blocks of nBlockSize bytes are kept ready: a few at first,
    // twice as many each time the pool runs dry, so that a short exchange
    // does not pay for the memory a fast stream needs.
    CBlockPool(std::size_t nBlockSize, std::size_t nDepth);
    ~CBlockPool();
    CBlockPool(const CBlockPool&) = delete;
    CBlockPool& operator=(const CBlockPool&) = delete;

    // A ready block; when none is ready, one made here. Null when memory is
    // exhausted. The caller owns the block.
    unsigned char* Take();

    // Makes the pages of [pBlock, pBlock + nSize) present, where the system
    // can do that in one call.
    static void Populate(void* pBlock, std::size_t nSize);

private:
    unsigned char* MakeBlock() const;
    void Fill();

    const std::size_t m_nBlockSize;
    const std::size_t m_nDepth;
    std::mutex m_lock;
    std::condition_variable m_wanted;
    std::size_t m_nTarget;                // under m_lock: blocks to keep ready now
    std::vector<unsigned char*> m_ready;  // under m_lock
    bool m_bStop = false;                 // under m_lock
    bool m_bFilling = false;              // under m_lock: the helper is making blocks
    std::thread m_helper;
};
