#include "updatefiledownload.h"

#include "atomicfile.h"
#include "basekit/logwrapper.h"

CUpdateFileDownload::~CUpdateFileDownload() {
    m_bCancel = true;
    if (m_thread.joinable()) m_thread.join();
}

void CUpdateFileDownload::start(const std::string& url, const std::string& path, long connectTimeoutMs,
                                long totalTimeoutMs) {
    if (m_thread.joinable()) return;
    m_nState = STATE_RUNNING;
    m_thread = std::thread(&CUpdateFileDownload::run, this, url, path, connectTimeoutMs, totalTimeoutMs);
}

void CUpdateFileDownload::run(std::string url, std::string path, long connectTimeoutMs, long totalTimeoutMs) {
    CHttpDownload http;
    CHttpDownload::Options options;
    options.connectTimeoutMs = connectTimeoutMs;
    options.totalTimeoutMs = totalTimeoutMs;
    options.maxBytes = kMaxBytes;
    std::string body;
    const CHttpDownload::Result result = http.get(
        url, options,
        [&body](const char* data, std::size_t size) {
            body.append(data, size);
            return true;
        },
        {}, &m_bCancel);
    m_nResult = result;
    if (result != CHttpDownload::RESULT_OK) {
        UC_LOG(CLogWrapper::LOG_WARNING, " --- the version file could not be fetched from " << url << ": "
                                             << CHttpDownload::resultName(result) << " (" << http.errorText() << ")");
        m_nState = STATE_FAILED;
        return;
    }
    if (!CAtomicFile::write(path, body)) {
        UC_LOG(CLogWrapper::LOG_WARNING, " --- the version file could not be written to " << path);
        m_nState = STATE_FAILED;
        return;
    }
    UC_LOG(CLogWrapper::LOG_INFO, "version file fetched: " << body.size() << " bytes into " << path);
    m_nState = STATE_READY;
}
