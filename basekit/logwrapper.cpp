#include "basekit/logwrapper.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

constexpr long kMaxLogFileBytes = 16L * 1024 * 1024;  // rotated to ".1" past this

bool EnvFlag(const char* name) {
    const char* v = std::getenv(name);
    return v && *v && std::strcmp(v, "0") != 0;
}

std::string ProgramName() {
    char buf[64] = {};
    if (FILE* f = std::fopen("/proc/self/comm", "re")) {
        if (std::fgets(buf, sizeof buf, f)) buf[std::strcspn(buf, "\n")] = '\0';
        std::fclose(f);
    }
    return buf[0] ? buf : "tolvane";
}

// mkdir -p; existing folders are fine.
void MakeDirs(const std::string& path) {
    for (std::size_t pos = 1; pos != std::string::npos;) {
        pos = path.find('/', pos + 1);
        std::string part = path.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return;
    }
}

std::string DefaultLogPath() {
    if (const char* v = std::getenv("TOLVANE_LOG_FILE")) {
        if (!*v || std::strcmp(v, "-") == 0) return {};
        return v;
    }
    std::string dir;
    if (const char* s = std::getenv("XDG_STATE_HOME"); s && *s == '/') {
        dir = s;
    } else if (const char* h = std::getenv("HOME"); h && *h) {
        dir = std::string(h) + "/.local/state";
    } else {
        return {};
    }
    dir += "/orvix/Tolvane";
    MakeDirs(dir);
    return dir + "/" + ProgramName() + ".log";
}

const char kLevelChar[] = {'E', 'W', 'I'};

}  // namespace

struct CLogWrapper::Impl {
    std::mutex mutex;
    std::string path;
    FILE* file = nullptr;
    bool toStderr = false;
    ILogObserver* observer = nullptr;

    void Open() {
        if (path.empty()) return;
        file = std::fopen(path.c_str(), "ae");
    }
    void RotateIfLarge() {
        if (!file || std::ftell(file) < kMaxLogFileBytes) return;
        std::fclose(file);
        std::rename(path.c_str(), (path + ".1").c_str());
        Open();
    }
};

CLogWrapper* CLogWrapper::Instance() {
    // Never destroyed: threads and static destructors may still log at exit.
    static CLogWrapper* instance = new CLogWrapper;
    return instance;
}

CLogWrapper::CLogWrapper() : m_pImpl(new Impl), m_nLevel(LOG_INFO) {
    if (const char* v = std::getenv("TOLVANE_LOG_LEVEL"); v && *v >= '0' && *v <= '2' && !v[1])
        m_nLevel = *v - '0';
    m_pImpl->toStderr = EnvFlag("TOLVANE_LOG_STDERR");
    m_pImpl->path = DefaultLogPath();
    m_pImpl->Open();
}

CLogWrapper::~CLogWrapper() {
    if (m_pImpl->file) std::fclose(m_pImpl->file);
    delete m_pImpl;
}

void CLogWrapper::SetLogLevel(int level) {
    m_nLevel.store(level < LOG_ERROR ? LOG_ERROR : (level > LOG_INFO ? LOG_INFO : level),
                   std::memory_order_relaxed);
}

int CLogWrapper::GetLogLevel() const { return m_nLevel.load(std::memory_order_relaxed); }

void CLogWrapper::SetObserver(ILogObserver* observer) {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->observer = observer;
}

std::string CLogWrapper::GetLogFilePath() const { return m_pImpl->path; }

void CLogWrapper::WriteLog(int level, int /*reserved*/, const char* text) {
    if (!IsEnabled(level) || !text) return;
    int idx = level < 0 ? 0 : (level > 2 ? 2 : level);

    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02d %02d:%02d:%02d.%03ld %ld %c ",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, ts.tv_nsec / 1000000,
                  static_cast<long>(::syscall(SYS_gettid)), kLevelChar[idx]);

    ILogObserver* observer = nullptr;
    {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    observer = m_pImpl->observer;
    if (m_pImpl->file) {
        std::fputs(prefix, m_pImpl->file);
        std::fputs(text, m_pImpl->file);
        std::fputc('\n', m_pImpl->file);
        std::fflush(m_pImpl->file);
        m_pImpl->RotateIfLarge();
    }
    if (m_pImpl->toStderr) std::fprintf(stderr, "%s%s\n", prefix, text);
    }
    // Outside the lock, so that an observer may log itself.
    if (observer) observer->OnLogLine(level, text);
}

void CLogWrapper::CRecorder::reset() {
    m_nLen = 0;
    m_szBuf[0] = '\0';
}

CLogWrapper::CRecorder& CLogWrapper::CRecorder::Advance(std::string_view text) {
    std::size_t room = sizeof m_szBuf - 1 - m_nLen;
    std::size_t n = text.size() < room ? text.size() : room;
    std::memcpy(m_szBuf + m_nLen, text.data(), n);
    m_nLen += n;
    m_szBuf[m_nLen] = '\0';
    return *this;
}

CLogWrapper::CRecorder& CLogWrapper::CRecorder::Advance(const char* text) {
    return Advance(std::string_view(text ? text : "(null)"));
}

CLogWrapper::CRecorder& CLogWrapper::CRecorder::operator<<(char c) { return Advance(std::string_view(&c, 1)); }

CLogWrapper::CRecorder& CLogWrapper::CRecorder::operator<<(long long v) {
    char buf[24];
    int n = std::snprintf(buf, sizeof buf, "%lld", v);
    return Advance(std::string_view(buf, n));
}

CLogWrapper::CRecorder& CLogWrapper::CRecorder::operator<<(unsigned long long v) {
    char buf[24];
    int n = std::snprintf(buf, sizeof buf, "%llu", v);
    return Advance(std::string_view(buf, n));
}

CLogWrapper::CRecorder& CLogWrapper::CRecorder::operator<<(double v) {
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "%g", v);
    return Advance(std::string_view(buf, n));
}

CLogWrapper::CRecorder& CLogWrapper::CRecorder::operator<<(const void* p) {
    char buf[24];
    int n = std::snprintf(buf, sizeof buf, "%" PRIxPTR, reinterpret_cast<std::uintptr_t>(p));
    return Advance(std::string_view(buf, n));
}

namespace basekit {

namespace {

bool IsIdentChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Position of the keyword "operator" of an operator function's name, or npos.
std::size_t FindOperatorKeyword(std::string_view pretty) {
    for (std::size_t pos = pretty.find("operator"); pos != std::string_view::npos;
         pos = pretty.find("operator", pos + 1)) {
        bool startsName = pos == 0 || !IsIdentChar(pretty[pos - 1]);
        bool endsWord = pos + 8 >= pretty.size() || !IsIdentChar(pretty[pos + 8]);
        if (startsName && endsWord) return pos;
    }
    return std::string_view::npos;
}

// Where the parameter list begins: the first '(' outside template brackets,
// or for an operator function the first '(' behind the operator's symbol.
std::size_t FindParameterList(std::string_view pretty) {
    std::size_t op = FindOperatorKeyword(pretty);
    if (op != std::string_view::npos) {
        std::size_t from = op + 8;
        while (from < pretty.size() && pretty[from] == ' ') ++from;
        if (pretty.substr(from, 2) == "()") from += 2;
        return pretty.find('(', from);
    }
    int depth = 0;
    for (std::size_t i = 0; i < pretty.size(); ++i) {
        char c = pretty[i];
        if (c == '<') ++depth;
        else if (c == '>') --depth;
        else if (c == '(' && depth == 0) return i;
    }
    return std::string_view::npos;
}

}  // namespace

std::string_view QualifiedName(std::string_view pretty) {
    std::size_t open = FindParameterList(pretty);
    if (open == std::string_view::npos) return pretty;
    // The name starts behind the last space outside template brackets in
    // front of the qualified name (an operator's own symbol is skipped).
    std::size_t op = FindOperatorKeyword(pretty);
    std::size_t scanFrom = op != std::string_view::npos && op < open ? op : open;
    int depth = 0;
    std::size_t start = 0;
    for (std::size_t i = scanFrom; i-- > 0;) {
        char c = pretty[i];
        if (c == '>') ++depth;
        else if (c == '<') --depth;
        else if ((c == ' ' || c == '*' || c == '&') && depth == 0) {
            start = i + 1;
            break;
        }
    }
    return pretty.substr(start, open - start);
}

}  // namespace basekit
