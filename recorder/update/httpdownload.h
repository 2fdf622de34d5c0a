// CHttpDownload: one HTTP or HTTPS GET over libcurl, for the update check.
// Only http and https are spoken, for the request and for every redirect;
// redirects are followed a few times at most; the connection and the whole
// transfer have time limits; a size limit ends a transfer that grows too
// large; an HTTP status of 400 or more is a failure. The body goes to a
// sink piece by piece. One object per transfer; get() blocks, so it runs
// on a worker thread. cancel (when given) is polled during the transfer and
// ends it soon after it is set.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

class CHttpDownload {
public:
    struct Options {
        long connectTimeoutMs = 5000;
        long totalTimeoutMs = 15000;  // 0: no limit on the whole transfer
        long stallSeconds = 0;        // >0: ends a transfer that moves no byte for this long
        std::uint64_t maxBytes = 0;   // 0: no limit
        long maxRedirects = 3;
        bool requireLength = false;   // the server must name the length (Content-Length)
    };
    enum Result {
        RESULT_OK = 0,
        RESULT_FAILED = 1,         // connection refused, unknown host, TLS and the like
        RESULT_HTTP_ERROR = 2,     // status 400 or above
        RESULT_TIMED_OUT = 3,
        RESULT_TOO_LARGE = 4,
        RESULT_REFUSED = 5,        // a scheme other than http/https, or too many redirects
        RESULT_TRUNCATED = 6,      // the connection ended before the announced length
        RESULT_NO_LENGTH = 7,      // requireLength and no length came
        RESULT_WRITE_FAILED = 8,   // the sink refused a piece
        RESULT_CANCELLED = 9,
    };

    // Takes each piece of the body; false ends the transfer.
    using Sink = std::function<bool(const char* data, std::size_t size)>;
    // Bytes received so far and the announced total (0 when unknown).
    using Progress = std::function<void(std::uint64_t received, std::uint64_t total)>;

    Result get(const std::string& url, const Options& options, const Sink& sink, const Progress& progress = {},
               const std::atomic<bool>* cancel = nullptr);

    // After get(): the last HTTP status (0 when none came) and libcurl's text.
    long httpStatus() const { return m_nHttpStatus; }
    const std::string& errorText() const { return m_strError; }
    static const char* resultName(Result result);

private:
    static std::size_t onData(char* data, std::size_t size, std::size_t count, void* self);
    static int onProgress(void* self, std::int64_t total, std::int64_t received, std::int64_t, std::int64_t);

    void* m_pCurl = nullptr;
    const Sink* m_pSink = nullptr;
    const Progress* m_pProgress = nullptr;
    const std::atomic<bool>* m_pCancel = nullptr;
    const Options* m_pOptions = nullptr;
    std::uint64_t m_nReceived = 0;
    bool m_bTooLarge = false;
    bool m_bNoLength = false;
    bool m_bSinkFailed = false;
    bool m_bLengthChecked = false;
    long m_nHttpStatus = 0;
    std::string m_strError;
};
