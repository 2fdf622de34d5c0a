#include "crashhandler.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "minidumpwriter.h"
#include "rawsys.h"

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];
constexpr std::size_t kAltStackBytes = 256 * 1024;

struct sigaction s_previous[kSignalCount];
bool s_installed = false;
char s_folder[PATH_MAX];
char s_dumpPath[PATH_MAX + 64];
CCrashHandler::AfterDump s_afterDump = nullptr;
void* s_context = nullptr;
void* s_altStack = nullptr;
std::atomic<long> s_crashingThread{0};

bool isWritableFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(path.c_str(), W_OK | X_OK) == 0;
}

// Makes every missing level of an absolute path.
bool makeFolders(const std::string& path) {
    for (std::size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        const std::string prefix = path.substr(0, at);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return isWritableFolder(path);
}

void hexDigits(char* out, const unsigned char* bytes, int count) {
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < count; ++i) {
        out[i * 2] = digits[bytes[i] >> 4];
        out[i * 2 + 1] = digits[bytes[i] & 15];
    }
}

// "<folder>/XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX.dmp", a random (version 4) GUID.
void makeDumpPath() {
    unsigned char bytes[16] = {};
    if (rawsys::call(SYS_getrandom, reinterpret_cast<long>(bytes), sizeof bytes, 1 /* GRND_NONBLOCK */) != 16) {
        timespec now{};
        rawsys::call(SYS_clock_gettime, CLOCK_MONOTONIC, reinterpret_cast<long>(&now));
        const long mix[2] = {now.tv_nsec ^ now.tv_sec << 20, rawsys::getpid() << 16 ^ rawsys::gettid()};
        std::memcpy(bytes, mix, sizeof bytes);
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    char guid[37] = {};
    char* p = guid;
    const int groups[] = {4, 2, 2, 2, 6};
    int at = 0;
    for (int g = 0; g < 5; ++g) {
        hexDigits(p, bytes + at, groups[g]);
        p += groups[g] * 2;
        at += groups[g];
        if (g < 4) *p++ = '-';
    }
    s_dumpPath[0] = 0;
    rawsys::append(s_dumpPath, sizeof s_dumpPath, s_folder);
    rawsys::append(s_dumpPath, sizeof s_dumpPath, "/");
    rawsys::append(s_dumpPath, sizeof s_dumpPath, guid);
    rawsys::append(s_dumpPath, sizeof s_dumpPath, ".dmp");
}

void restoreDefaults() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    for (int signal : kSignals) rawsys::call(SYS_rt_sigaction, signal, reinterpret_cast<long>(&action), 0, 8);
}

void onFatalSignal(int signal, siginfo_t* info, void* context) {
    const long self = rawsys::gettid();
    long none = 0;
    if (!s_crashingThread.compare_exchange_strong(none, self)) {
        // Another thread is writing its dump and will end the process; a
        // second crash in the handler itself goes straight to the default.
        if (none == self) {
            restoreDefaults();
            rawsys::call(SYS_tgkill, rawsys::getpid(), self, signal);
            return;
        }
        for (;;) {
            timespec second{1, 0};
            rawsys::call(SYS_nanosleep, reinterpret_cast<long>(&second), 0);
        }
    }

    bool written = false;
    const char* dumpPath = "";
    if (s_folder[0]) {
        makeDumpPath();
        long fd = rawsys::open(s_dumpPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            written = CMinidumpWriter::write(static_cast<int>(fd), signal, info, static_cast<const ucontext_t*>(context));
            rawsys::call(SYS_fsync, fd);
            rawsys::close(static_cast<int>(fd));
            dumpPath = s_dumpPath;
        }
    }
    if (s_afterDump) s_afterDump(s_folder, dumpPath, written, s_context);

    // End with the signal as without the handler: the default action, the
    // signal raised again for this thread. It is blocked while the handler
    // runs and arrives when it returns (a fault would also come back when
    // the instruction runs again).
    restoreDefaults();
    rawsys::call(SYS_tgkill, rawsys::getpid(), self, signal);
}

}  // namespace

std::string CCrashHandler::programPath() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string CCrashHandler::chooseDumpFolder(const std::string& programPath) {
    if (!programPath.empty()) {
        const std::string beside = programPath + ".dmp";
        ::mkdir(beside.c_str(), 0700);
        if (isWritableFolder(beside)) return beside;
    }
    std::string state;
    if (const char* value = std::getenv("XDG_STATE_HOME"); value && value[0] == '/') {
        state = value;
    } else if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
        state = std::string(home) + "/.local/state";
    } else {
        return {};
    }
    while (state.size() > 1 && state.back() == '/') state.pop_back();
    const std::string folder = state + "/orvix/Tolvane/tolvane.dmp";
    return makeFolders(folder) ? folder : std::string();
}

bool CCrashHandler::install(const std::string& programPath, AfterDump afterDump, void* context) {
    if (s_installed) uninstall();
    const std::string folder = chooseDumpFolder(programPath);
    if (folder.size() < sizeof s_folder) {
        std::memcpy(s_folder, folder.c_str(), folder.size() + 1);
    } else {
        s_folder[0] = 0;
    }
    s_afterDump = afterDump;
    s_context = context;
    CMinidumpWriter::prepare();

    // The alternate stack of this thread, with a guard page below it.
    if (!s_altStack) {
        const long page = ::sysconf(_SC_PAGESIZE);
        void* memory = ::mmap(nullptr, kAltStackBytes + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory != MAP_FAILED) {
            ::mprotect(memory, page, PROT_NONE);
            s_altStack = memory;
            stack_t stack{};
            stack.ss_sp = static_cast<char*>(memory) + page;
            stack.ss_size = kAltStackBytes;
            ::sigaltstack(&stack, nullptr);
        }
    }

    struct sigaction action {};
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signal : kSignals) sigaddset(&action.sa_mask, signal);
    for (int i = 0; i < kSignalCount; ++i) ::sigaction(kSignals[i], &action, &s_previous[i]);
    s_installed = true;
    return s_folder[0] != 0;
}

void CCrashHandler::uninstall() {
    if (!s_installed) return;
    for (int i = 0; i < kSignalCount; ++i) ::sigaction(kSignals[i], &s_previous[i], nullptr);
    s_installed = false;
    s_afterDump = nullptr;
}

bool CCrashHandler::isInstalled() { return s_installed; }

std::string CCrashHandler::dumpFolder() { return s_folder; }
