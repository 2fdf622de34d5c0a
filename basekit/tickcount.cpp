#include "basekit/tickcount.h"

#include <time.h>

namespace {

std::uint64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<std::uint64_t>(ts.tv_nsec);
}

}  // namespace

unsigned long get_tick_count() {
    return static_cast<unsigned long>(GetTickMs() & 0xFFFFFFFFULL);
}

std::uint64_t GetTickMs() {
    return MonotonicNs() / 1000000ULL;
}

std::uint64_t GetTickNs() {
    return MonotonicNs();
}
