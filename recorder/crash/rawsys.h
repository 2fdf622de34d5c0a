// Raw system calls for code that runs inside a fatal-signal handler: no
// errno games, no library locks, no sanitizer interceptors (a crashed
// thread's stack may hold memory a sanitizer has marked as poisoned).
// Results are the kernel's: a negative value is -errno.
#pragma once

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace rawsys {

long call(long number, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0, long f = 0);

inline long open(const char* path, int flags, int mode = 0) {
    return call(SYS_openat, AT_FDCWD, reinterpret_cast<long>(path), flags, mode);
}
inline long read(int fd, void* buffer, std::size_t size) {
    return call(SYS_read, fd, reinterpret_cast<long>(buffer), static_cast<long>(size));
}
inline long write(int fd, const void* data, std::size_t size) {
    return call(SYS_write, fd, reinterpret_cast<long>(data), static_cast<long>(size));
}
inline long close(int fd) { return call(SYS_close, fd); }
inline long lseek(int fd, long offset, int whence) { return call(SYS_lseek, fd, offset, whence); }
inline long gettid() { return call(SYS_gettid); }
inline long getpid() { return call(SYS_getpid); }

// Writes all of data; false on an error.
bool writeAll(int fd, const void* data, std::size_t size);
// Reads a whole file into buffer (at most size bytes); the byte count, 0
// when it cannot be opened.
std::size_t readFile(const char* path, char* buffer, std::size_t size);

// Small string helpers that do not touch the C library's locale.
std::size_t length(const char* text);
// Appends text to buffer (of capacity bytes, kept 0-terminated); false
// when it did not fit.
bool append(char* buffer, std::size_t capacity, const char* text);

}  // namespace rawsys
