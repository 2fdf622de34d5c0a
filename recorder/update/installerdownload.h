// CInstallerDownload: fetches the installer the update dialog offers into
// the user's documents folder on a worker thread. The file is named after
// the last path segment of the address; an existing file of that name is
// never replaced (" (1)", " (2)" ... go before the extension). A transfer
// that fails removes its partial file. Nothing downloaded is ever run.
//
// Threads: start(), takeOutcome(), the progress getters and the destructor
// on the GUI thread; the transfer on the worker, which leaves its outcome
// under a lock of this object for the GUI thread to take. Nothing crosses
// into Qt from the worker. The destructor ends a running transfer and joins
// the thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "httpdownload.h"

class CInstallerDownload {
public:
    // How a transfer ended: whether the file came whole, and its path
    // (empty when it did not).
    struct Outcome {
        bool ok = false;
        std::string path;
    };

    // The last path segment of the address (after its query and fragment
    // are cut off, "/" and "\" both separating); nothing when it is empty,
    // "." or "..", starts with "." or holds a control character.
    static std::optional<std::string> installerName(const std::string& url);

    // A new file for name in folder (created exclusively, mode 0644): the
    // name itself, else "base (1).ext", "base (2).ext" ... Its descriptor
    // and path; -1 when none could be made.
    static int createFreeFile(const std::string& folder, const std::string& name, std::string& path);

    CInstallerDownload() = default;
    ~CInstallerDownload();
    CInstallerDownload(const CInstallerDownload&) = delete;
    CInstallerDownload& operator=(const CInstallerDownload&) = delete;

    // Starts the transfer into folder (empty: the documents folder). False
    // when one is running or the name is refused.
    bool start(const std::string& url, const std::string& folder);
    // The outcome of the transfer that ended since the last call (each one
    // is given once); nothing while it runs.
    std::optional<Outcome> takeOutcome();

    bool isRunning() const { return m_bRunning.load(); }
    std::uint64_t received() const { return m_nReceived.load(); }
    std::uint64_t total() const { return m_nTotal.load(); }
    CHttpDownload::Result result() const { return static_cast<CHttpDownload::Result>(m_nResult.load()); }

private:
    void run(std::string url, std::string name, std::string folder);

    std::thread m_thread;
    std::atomic<bool> m_bCancel{false};
    std::atomic<bool> m_bRunning{false};
    std::atomic<std::uint64_t> m_nReceived{0};
    std::atomic<std::uint64_t> m_nTotal{0};
    std::atomic<int> m_nResult{CHttpDownload::RESULT_OK};
    std::mutex m_OutcomeLock;
    std::optional<Outcome> m_Outcome;  // under m_OutcomeLock
};
