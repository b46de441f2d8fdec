// Ownership of malloc blocks, which is how data bytes live in the program.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <class T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;
using MallocBuffer = MallocPtr<char>;

// A part that runs out of memory and goes on without what it could not
// hold (a piece of data dropped, an event not recorded) notes it here. The
// note stays for the rest of the run: a command that ends after it says so
// and fails, rather than reporting success for a history that is not whole.
void NoteOutOfMemory() noexcept;
bool OutOfMemorySeen() noexcept;

// Sets memory aside that the first NoteOutOfMemory gives back, so that a
// run that has filled its address space can still end its session, print
// its messages and save.
void KeepMemoryReserve(std::size_t nBytes) noexcept;

// Called (on whichever thread noted it) the first time memory runs out; a
// command that runs a session sets it to end the session. Null for none.
void SetOutOfMemoryHandler(void (*pfnHandler)()) noexcept;
