#include "session/Memory.h"

#include <atomic>

namespace {

std::atomic<bool> g_bOutOfMemory{false};
std::atomic<void (*)()> g_pfnOutOfMemoryHandler{nullptr};
std::atomic<void*> g_pReserve{nullptr};

}  // namespace

void NoteOutOfMemory() noexcept
{
    std::free(g_pReserve.exchange(nullptr));
    if (g_bOutOfMemory.exchange(true))
        return;
    if (void (*const pfn)() = g_pfnOutOfMemoryHandler.load())
        pfn();
}

bool OutOfMemorySeen() noexcept
{
    return g_bOutOfMemory.load();
}

void SetOutOfMemoryHandler(void (*pfnHandler)()) noexcept
{
    g_pfnOutOfMemoryHandler.store(pfnHandler);
}

void KeepMemoryReserve(std::size_t nBytes) noexcept
{
    std::free(g_pReserve.exchange(std::malloc(nBytes)));
}
