#pragma once
// The COM task allocator: every block handed to a client (arrays, strings)
// comes from here and belongs to the client, who frees it with CoTaskMemFree.
#include "ComTypes.h"

#include <cstddef>
#include <string_view>

void* CoTaskMemAlloc(std::size_t size);
void* CoTaskMemRealloc(void* p, std::size_t size);
void CoTaskMemFree(void* p); // null is allowed
// Blocks allocated and not yet freed (for leak checks in tests).
long CoTaskMemLiveBlocks();
// Fault injection for tests of out-of-memory paths: after `successes` more
// successful CoTaskMemAlloc calls every further one returns null, until the
// next call; a negative value turns the injection off (the default).
void CoTaskMemFailAfter(long successes);

// A NUL-terminated wide copy of 8-bit program text, from the task allocator;
// nullptr when it cannot be allocated.
LPOLESTR CoTaskStrDupAnsi(std::string_view ansi);
// The 8-bit program text of a wide string (null gives "").
std::string AnsiFromWide(LPCOLESTR text);
