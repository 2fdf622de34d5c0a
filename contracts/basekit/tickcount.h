// Process clocks, all on CLOCK_MONOTONIC so that pictures and sound share one
// time line.
#pragma once

#include <cstdint>

// Milliseconds since an arbitrary start, as a 32-bit value that wraps.
unsigned long get_tick_count();
// The engine clocks: milliseconds and nanoseconds on CLOCK_MONOTONIC.
std::uint64_t GetTickMs();
std::uint64_t GetTickNs();
