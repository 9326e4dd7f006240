#pragma once
// Zero-filled arrays from the task allocator, for the arrays a group hands
// to its clients (results, errors, callback arrays).
#include "TaskMem.h"

#include <cstddef>
#include <cstring>

template <typename T> T* TaskArray(std::size_t count)
{
    auto* p = static_cast<T*>(CoTaskMemAlloc(count * sizeof(T)));
    if (p)
        std::memset(static_cast<void*>(p), 0, count * sizeof(T));
    return p;
}
