#include "installerdownload.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "basekit/logwrapper.h"
#include "userfolders.h"

std::optional<std::string> CInstallerDownload::installerName(const std::string& url) {
    std::string address = url.substr(0, url.find_first_of("?#"));
    const std::size_t slash = address.find_last_of("/\\");
    std::string name = slash == std::string::npos ? address : address.substr(slash + 1);
    // An address that is only a host ("https://example.org") has no file.
    if (name.empty() || name[0] == '.' || address.find("://") == std::string::npos ||
        slash < address.find("://") + 3)
        return std::nullopt;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F) return std::nullopt;
    return name;
}

int CInstallerDownload::createFreeFile(const std::string& folder, const std::string& name, std::string& path) {
    const std::size_t dot = name.rfind('.');
    const std::string base = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    const std::string extension = dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
    for (int n = 0; n < 1000; ++n) {
        path = folder + "/" + (n == 0 ? name : base + " (" + std::to_string(n) + ")" + extension);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) return fd;
        if (errno != EEXIST) break;
    }
    path.clear();
    return -1;
}

CInstallerDownload::~CInstallerDownload() {
    m_bCancel = true;
    if (m_thread.joinable()) m_thread.join();
}

bool CInstallerDownload::start(const std::string& url, const std::string& folder) {
    if (m_bRunning) return false;
    const std::optional<std::string> name = installerName(url);
    if (!name) return false;
    if (m_thread.joinable()) m_thread.join();
    m_bCancel = false;
    m_nReceived = 0;
    m_nTotal = 0;
    {
        std::lock_guard<std::mutex> lock(m_OutcomeLock);
        m_Outcome.reset();
    }
    m_bRunning = true;
    m_thread = std::thread(&CInstallerDownload::run, this, url, *name, folder);
    return true;
}

std::optional<CInstallerDownload::Outcome> CInstallerDownload::takeOutcome() {
    std::lock_guard<std::mutex> lock(m_OutcomeLock);
    std::optional<Outcome> outcome = std::move(m_Outcome);
    m_Outcome.reset();
    return outcome;
}

void CInstallerDownload::run(std::string url, std::string name, std::string folder) {
    if (folder.empty()) folder = CUserFolders::documentsFolder();
    std::string path;
    const int fd = createFreeFile(folder, name, path);
    bool ok = false;
    if (fd < 0) {
        UC_LOG(CLogWrapper::LOG_WARNING, " --- no file could be made for " << name << " in " << folder);
        m_nResult = CHttpDownload::RESULT_WRITE_FAILED;
    } else {
        CHttpDownload http;
        CHttpDownload::Options options;
        options.connectTimeoutMs = 15000;
        options.totalTimeoutMs = 0;  // installers are large; a stalled transfer ends instead
        options.stallSeconds = 30;
        options.requireLength = true;
        const CHttpDownload::Result result = http.get(
            url, options,
            [fd](const char* data, std::size_t size) {
                while (size > 0) {
                    const ssize_t n = ::write(fd, data, size);
                    if (n < 0 && errno == EINTR) continue;
                    if (n <= 0) return false;
                    data += n;
                    size -= static_cast<std::size_t>(n);
                }
                return true;
            },
            [this](std::uint64_t received, std::uint64_t total) {
                m_nReceived = received;
                m_nTotal = total;
            },
            &m_bCancel);
        m_nResult = result;
        ok = result == CHttpDownload::RESULT_OK && ::fsync(fd) == 0;
        if (::close(fd) != 0) ok = false;
        if (ok) {
            UC_LOG(CLogWrapper::LOG_INFO, "installer downloaded: " << path);
        } else {
            UC_LOG(CLogWrapper::LOG_WARNING, " --- the installer download from " << url << " failed: "
                                                 << CHttpDownload::resultName(result) << " (" << http.errorText()
                                                 << ")");
            // A partial installer is of no use and must not pass for one.
            ::unlink(path.c_str());
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_OutcomeLock);
        m_Outcome = Outcome{ok, ok ? path : std::string()};
    }
    m_bRunning = false;
}
