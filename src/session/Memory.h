// Ownership of malloc blocks, which is how data bytes live in the program.
#pragma once

#include <cstdlib>
#include <memory>

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <class T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;
using MallocBuffer = MallocPtr<char>;
