#include "rawsys.h"

#include <cerrno>

namespace rawsys {

// The raw instruction, so that neither errno nor an interceptor is involved.
long call(long number, long a, long b, long c, long d, long e, long f) {
#if defined(__x86_64__)
    long result;
    register long r10 asm("r10") = d;
    register long r8 asm("r8") = e;
    register long r9 asm("r9") = f;
    asm volatile("syscall"
                 : "=a"(result)
                 : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8), "r"(r9)
                 : "rcx", "r11", "memory");
    return result;
#else
    long result = ::syscall(number, a, b, c, d, e, f);
    return result == -1 ? -errno : result;
#endif
}

bool writeAll(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        long n = write(fd, p, size);
        if (n == -EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::size_t readFile(const char* path, char* buffer, std::size_t size) {
    long fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    std::size_t total = 0;
    while (total < size) {
        long n = read(static_cast<int>(fd), buffer + total, size - total);
        if (n == -EINTR) continue;
        if (n <= 0) break;
        total += static_cast<std::size_t>(n);
    }
    close(static_cast<int>(fd));
    return total;
}

std::size_t length(const char* text) {
    std::size_t n = 0;
    while (text[n]) ++n;
    return n;
}

bool append(char* buffer, std::size_t capacity, const char* text) {
    std::size_t at = length(buffer);
    const std::size_t add = length(text);
    if (at + add + 1 > capacity) return false;
    for (std::size_t i = 0; i <= add; ++i) buffer[at + i] = text[i];
    return true;
}

}  // namespace rawsys
