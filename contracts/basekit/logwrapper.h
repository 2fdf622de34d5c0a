// CLogWrapper: the process-wide logger. Levels 0 (error), 1 (warning) and
// 2 (information); lines above the threshold are dropped before they are
// built. Lines go to a log file in the per-user state folder
// ($XDG_STATE_HOME/orvix/Tolvane/<program>.log, else ~/.local/state/...) and,
// when TOLVANE_LOG_STDERR is set to a non-empty value other than 0, to stderr.
// TOLVANE_LOG_LEVEL (0..2) sets the initial threshold (default 2),
// TOLVANE_LOG_FILE overrides the file path ("" or "-" for no file).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class ILogObserver {
public:
    virtual void OnLogLine(int level, const char* text) = 0;

protected:
    virtual ~ILogObserver() = default;
};

class CLogWrapper {
public:
    enum { LOG_ERROR = 0, LOG_WARNING = 1, LOG_INFO = 2 };

    static CLogWrapper* Instance();

    void WriteLog(int level, int reserved, const char* text);
    void SetLogLevel(int level);
    int GetLogLevel() const;
    bool IsEnabled(int level) const { return level <= m_nLevel.load(std::memory_order_relaxed); }

    // One observer sees every line that passes the threshold (tests, GUIs).
    void SetObserver(ILogObserver* observer);
    std::string GetLogFilePath() const;

    // Builds one line in a fixed 4096-byte buffer; what does not fit is cut.
    class CRecorder {
    public:
        CRecorder() { reset(); }
        void reset();
        CRecorder& Advance(const char* text);
        CRecorder& Advance(std::string_view text);

        CRecorder& operator<<(const char* text) { return Advance(text); }
        CRecorder& operator<<(const std::string& text) { return Advance(std::string_view(text)); }
        CRecorder& operator<<(std::string_view text) { return Advance(text); }
        CRecorder& operator<<(char c);
        CRecorder& operator<<(unsigned char v) { return *this << static_cast<unsigned>(v); }
        CRecorder& operator<<(short v) { return *this << static_cast<int>(v); }
        CRecorder& operator<<(unsigned short v) { return *this << static_cast<unsigned>(v); }
        CRecorder& operator<<(int v) { return *this << static_cast<long long>(v); }
        CRecorder& operator<<(unsigned v) { return *this << static_cast<unsigned long long>(v); }
        CRecorder& operator<<(long v) { return *this << static_cast<long long>(v); }
        CRecorder& operator<<(unsigned long v) { return *this << static_cast<unsigned long long>(v); }
        CRecorder& operator<<(long long v);
        CRecorder& operator<<(unsigned long long v);
        CRecorder& operator<<(double v);
        // The hexadecimal pointer form: lower-case digits without "0x".
        CRecorder& operator<<(const void* p);

        const char* c_str() const { return m_szBuf; }
        std::size_t size() const { return m_nLen; }

    private:
        char m_szBuf[4096];
        std::size_t m_nLen = 0;
    };

    CLogWrapper(const CLogWrapper&) = delete;
    CLogWrapper& operator=(const CLogWrapper&) = delete;

private:
    CLogWrapper();
    ~CLogWrapper();
    struct Impl;
    Impl* m_pImpl;
    std::atomic<int> m_nLevel;
};

namespace basekit {
// "int CFlashStream::PutUI8(unsigned char)" -> "CFlashStream::PutUI8".
std::string_view QualifiedName(std::string_view prettyFunction);
// "/a/b/flashstream.cpp" -> "flashstream.cpp".
constexpr std::string_view FileBaseName(std::string_view path) {
    auto pos = path.find_last_of('/');
    return pos == std::string_view::npos ? path : path.substr(pos + 1);
}
}  // namespace basekit

// Line forms:
//   UC_LOG(level, a << b)       "[Class::Method:line][a b]"
//   UC_LOG_THIS(level, a << b)  "[this=0x...][Class::Method:line][a b]"
//   UC_ASSERT_TEXT("cond")      "[Class::Method:line][file.cpp:line Assert failed: cond]" at level 0
#define UC_LOG(level, expr)                                                                   \
    do {                                                                                      \
        CLogWrapper* uc_log_ = CLogWrapper::Instance();                                       \
        if (uc_log_->IsEnabled(level)) {                                                      \
            CLogWrapper::CRecorder uc_rec_;                                                   \
            uc_rec_ << "[" << basekit::QualifiedName(__PRETTY_FUNCTION__) << ":" << __LINE__  \
                    << "][" << expr << "]";                                                   \
            uc_log_->WriteLog(level, 0, uc_rec_.c_str());                                     \
        }                                                                                     \
    } while (0)

#define UC_LOG_THIS(level, expr)                                                              \
    do {                                                                                      \
        CLogWrapper* uc_log_ = CLogWrapper::Instance();                                       \
        if (uc_log_->IsEnabled(level)) {                                                      \
            CLogWrapper::CRecorder uc_rec_;                                                   \
            uc_rec_ << "[this=0x" << static_cast<const void*>(this) << "]["                   \
                    << basekit::QualifiedName(__PRETTY_FUNCTION__) << ":" << __LINE__ << "][" \
                    << expr << "]";                                                           \
            uc_log_->WriteLog(level, 0, uc_rec_.c_str());                                     \
        }                                                                                     \
    } while (0)

#define UC_ASSERT_TEXT(text)                                                                   \
    UC_LOG(CLogWrapper::LOG_ERROR, basekit::FileBaseName(__FILE__) << ":" << __LINE__          \
                                                                   << " Assert failed: " << text)

// Logs the failed condition and returns `rv`; never stops the process.
#define UC_ASSERTE_RETURN(cond, rv) \
    do {                            \
        if (!(cond)) {              \
            UC_ASSERT_TEXT(#cond);  \
            return rv;              \
        }                           \
    } while (0)

// Logs the failed condition and goes on.
#define UC_ASSERTE(cond)           \
    do {                           \
        if (!(cond)) {             \
            UC_ASSERT_TEXT(#cond); \
        }                          \
    } while (0)
