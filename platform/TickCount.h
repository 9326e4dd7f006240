#pragma once
// The millisecond tick counter: a monotonic clock taken modulo 2^32, so that
// elapsed times are differences of two readings in unsigned 32-bit arithmetic
// and stay right when the counter wraps.
#include <cstdint>

std::uint32_t GetTickCount();

inline std::uint32_t TicksElapsed(std::uint32_t from, std::uint32_t to) { return to - from; }

void Sleep(std::uint32_t ms);
