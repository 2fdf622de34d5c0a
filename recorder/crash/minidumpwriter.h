// CMinidumpWriter: writes a minidump of the running process from inside a
// fatal-signal handler. prepare() runs once at start-up (it may allocate and
// call the C library); write() runs in the handler and uses only raw system
// calls and memory of its own set aside in advance: no allocation, no stdio,
// no locks.
//
// A dump holds: system information (CPU, kernel), the exception (signal,
// si_code, fault address, crashing thread), the crashing thread with its
// registers and the top of its stack (at most kMaxStackBytes from the stack
// pointer), a memory list with that stack, the module list from
// /proc/self/maps (path, base, size, ELF build id as a CodeView record), the
// process id, the Linux maps, status and command-line streams, and a comment
// naming the process's other threads (from /proc/self/task). Other threads
// carry no registers: getting them needs ptrace from a helper process or a
// signal sent to each thread, and either can hang in a broken process.
#pragma once

#include <signal.h>
#include <sys/ucontext.h>

#include <cstddef>
#include <cstdint>

class CMinidumpWriter {
public:
    static constexpr std::size_t kMaxStackBytes = 256 * 1024;

    // Facts that do not change while the process runs (kernel version,
    // processor count). Call before installing the handler.
    static void prepare();

    // Writes the dump into fd (a new, empty file) for the calling thread,
    // which received signal with info and context. True when every part was
    // written.
    static bool write(int fd, int signal, const siginfo_t* info, const ucontext_t* context);
};
