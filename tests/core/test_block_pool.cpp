// The pool of ready receive blocks: blocks are distinct, whole and owned by
// the taker, also when they are taken faster than the helper makes them, and
// the pool frees what it still holds when it goes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "relay/BlockPool.h"

TEST(BlockPoolTest, BlocksAreDistinctWholeAndOwnedByTheTaker)
{
    constexpr std::size_t nSize = 0xFFFF;
    std::vector<unsigned char*> taken;
    {
        CBlockPool pool(nSize, 8);
        // Far more than the pool holds, some at once and some after the
        // helper has had time to refill.
        for (int nRound = 0; nRound < 4; ++nRound) {
            for (int i = 0; i < 50; ++i) {
                unsigned char* p = pool.Take();
                ASSERT_NE(p, nullptr);
                std::memset(p, nRound * 50 + i, nSize);  // the whole block is writable
                taken.push_back(p);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }  // blocks still in the pool are freed here (the leak checker watches)
    const std::set<unsigned char*> distinct(taken.begin(), taken.end());
    EXPECT_EQ(distinct.size(), taken.size());
    for (std::size_t i = 0; i < taken.size(); ++i) {
        const auto c = static_cast<unsigned char>(i);
        EXPECT_TRUE(std::all_of(taken[i], taken[i] + nSize, [c](unsigned char b) { return b == c; }))
            << "block " << i << " was written by someone else";
        // A taken block behaves as any malloc block: it can shrink and go.
        auto* pShrunk = static_cast<unsigned char*>(std::realloc(taken[i], 100));
        ASSERT_NE(pShrunk, nullptr);
        EXPECT_EQ(pShrunk[99], c);
        std::free(pShrunk);
    }
}

TEST(BlockPoolTest, APoolThatIsNeverUsedEndsAtOnce)
{
    for (int i = 0; i < 20; ++i) {
        CBlockPool pool(4096, 64);
    }
    SUCCEED();
}
