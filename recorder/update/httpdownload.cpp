#include "httpdownload.h"

#include <curl/curl.h>

#include <mutex>

namespace {

void initialiseOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

const char* CHttpDownload::resultName(Result result) {
    switch (result) {
        case RESULT_OK: return "ok";
        case RESULT_FAILED: return "failed";
        case RESULT_HTTP_ERROR: return "HTTP error";
        case RESULT_TIMED_OUT: return "timed out";
        case RESULT_TOO_LARGE: return "too large";
        case RESULT_REFUSED: return "refused address";
        case RESULT_TRUNCATED: return "truncated";
        case RESULT_NO_LENGTH: return "no length";
        case RESULT_WRITE_FAILED: return "write failed";
        case RESULT_CANCELLED: return "cancelled";
    }
    return "unknown";
}

std::size_t CHttpDownload::onData(char* data, std::size_t size, std::size_t count, void* self) {
    auto* me = static_cast<CHttpDownload*>(self);
    const std::size_t bytes = size * count;
    if (!me->m_bLengthChecked) {
        me->m_bLengthChecked = true;
        curl_off_t length = -1;
        curl_easy_getinfo(static_cast<CURL*>(me->m_pCurl), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        if (me->m_pOptions->requireLength && length < 0) {
            me->m_bNoLength = true;
            return 0;
        }
    }
    me->m_nReceived += bytes;
    if (me->m_pOptions->maxBytes && me->m_nReceived > me->m_pOptions->maxBytes) {
        me->m_bTooLarge = true;
        return 0;
    }
    if (*me->m_pSink && !(*me->m_pSink)(data, bytes)) {
        me->m_bSinkFailed = true;
        return 0;
    }
    return bytes;
}

int CHttpDownload::onProgress(void* self, std::int64_t total, std::int64_t received, std::int64_t, std::int64_t) {
    auto* me = static_cast<CHttpDownload*>(self);
    if (me->m_pCancel && me->m_pCancel->load()) return 1;
    if (me->m_pProgress && *me->m_pProgress)
        (*me->m_pProgress)(static_cast<std::uint64_t>(received), total > 0 ? static_cast<std::uint64_t>(total) : 0);
    return 0;
}

CHttpDownload::Result CHttpDownload::get(const std::string& url, const Options& options, const Sink& sink,
                                         const Progress& progress, const std::atomic<bool>* cancel) {
    initialiseOnce();
    m_nReceived = 0;
    m_bTooLarge = m_bNoLength = m_bSinkFailed = m_bLengthChecked = false;
    m_nHttpStatus = 0;
    m_strError.clear();
    CURL* curl = curl_easy_init();
    if (!curl) {
        m_strError = "libcurl could not be initialised";
        return RESULT_FAILED;
    }
    m_pCurl = curl;
    m_pSink = &sink;
    m_pProgress = &progress;
    m_pCancel = cancel;
    m_pOptions = &options;
    char error[CURL_ERROR_SIZE] = {};

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, options.maxRedirects);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "httpdl");
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    // No signals from the resolver: this runs on worker threads.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, options.connectTimeoutMs);
    if (options.totalTimeoutMs > 0) curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, options.totalTimeoutMs);
    if (options.stallSeconds > 0) {
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, options.stallSeconds);
    }
    if (options.maxBytes) curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options.maxBytes));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CHttpDownload::onData);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &CHttpDownload::onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);

    const CURLcode code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &m_nHttpStatus);
    m_strError = error[0] ? error : curl_easy_strerror(code);
    curl_easy_cleanup(curl);
    m_pCurl = nullptr;

    if (code == CURLE_OK) return RESULT_OK;
    if (m_bTooLarge || code == CURLE_FILESIZE_EXCEEDED) return RESULT_TOO_LARGE;
    if (m_bNoLength) return RESULT_NO_LENGTH;
    if (m_bSinkFailed) return RESULT_WRITE_FAILED;
    switch (code) {
        case CURLE_ABORTED_BY_CALLBACK: return RESULT_CANCELLED;
        case CURLE_OPERATION_TIMEDOUT: return RESULT_TIMED_OUT;
        case CURLE_HTTP_RETURNED_ERROR: return RESULT_HTTP_ERROR;
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_TOO_MANY_REDIRECTS: return RESULT_REFUSED;
        case CURLE_PARTIAL_FILE: return RESULT_TRUNCATED;
        default: return RESULT_FAILED;
    }
}
