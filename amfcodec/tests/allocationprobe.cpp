// Replaces the global allocation functions of the test program so that a test
// can tell that a length field was not trusted before the data was seen.
#include <atomic>
#include <cstdlib>
#include <new>

#include "amftestsupport.h"

namespace {

std::atomic<std::size_t> g_largest{0};

void* Allocate(std::size_t size) {
    std::size_t seen = g_largest.load(std::memory_order_relaxed);
    while (size > seen && !g_largest.compare_exchange_weak(seen, size)) {
    }
    return std::malloc(size ? size : 1);
}

}  // namespace

std::size_t amftest::LargestAllocation() { return g_largest.load(); }
void amftest::ResetLargestAllocation() { g_largest = 0; }

void* operator new(std::size_t size) {
    if (void* p = Allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
