#include "TaskMem.h"

#include "Bstr.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
std::atomic<long> g_liveBlocks{0};
std::atomic<long> g_successesLeft{-1}; // negative: never fail
}

void* CoTaskMemAlloc(std::size_t size)
{
    long left = g_successesLeft.load();
    while (left >= 0) {
        if (left == 0)
            return nullptr;
        if (g_successesLeft.compare_exchange_weak(left, left - 1))
            break;
    }
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p)
        ++g_liveBlocks;
    return p;
}

void* CoTaskMemRealloc(void* p, std::size_t size)
{
    if (!p)
        return CoTaskMemAlloc(size);
    return std::realloc(p, size == 0 ? 1 : size);
}

void CoTaskMemFree(void* p)
{
    if (!p)
        return;
    --g_liveBlocks;
    std::free(p);
}

long CoTaskMemLiveBlocks() { return g_liveBlocks.load(); }

void CoTaskMemFailAfter(long successes) { g_successesLeft = successes < 0 ? -1 : successes; }

LPOLESTR CoTaskStrDupAnsi(std::string_view ansi)
{
    const std::u16string wide = U16FromAnsi(ansi);
    auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((wide.size() + 1) * sizeof(OLECHAR)));
    if (!out)
        return nullptr;
    std::memcpy(out, wide.data(), wide.size() * sizeof(OLECHAR));
    out[wide.size()] = 0;
    return out;
}

std::string AnsiFromWide(LPCOLESTR text)
{
    if (!text)
        return {};
    std::size_t n = 0;
    while (text[n])
        ++n;
    return AnsiFromU16(std::u16string_view(text, n));
}
