// CUpdateFileDownload: fetches the version file on a worker thread, so that
// a slow or dead network never holds up the GUI thread. The file (at most
// 64 KiB) is written to its path only when it came whole; the state tells
// the GUI thread how it went. The destructor ends a transfer still running
// (within a fraction of a second) and joins the thread.
//
// Threads: start(), state() and the destructor on the GUI thread; the
// transfer on the worker.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "httpdownload.h"

class CUpdateFileDownload {
public:
    static constexpr std::uint64_t kMaxBytes = 64 * 1024;
    enum State { STATE_IDLE = 0, STATE_RUNNING = 1, STATE_READY = 2, STATE_FAILED = 3 };

    CUpdateFileDownload() = default;
    ~CUpdateFileDownload();
    CUpdateFileDownload(const CUpdateFileDownload&) = delete;
    CUpdateFileDownload& operator=(const CUpdateFileDownload&) = delete;

    // Starts the transfer of url into path (connect and total time limits
    // in milliseconds). Once per object.
    void start(const std::string& url, const std::string& path, long connectTimeoutMs = 5000,
               long totalTimeoutMs = 15000);

    State state() const { return static_cast<State>(m_nState.load()); }
    bool isFinished() const { return state() == STATE_READY || state() == STATE_FAILED; }
    // The transfer's result (valid once finished).
    CHttpDownload::Result result() const { return static_cast<CHttpDownload::Result>(m_nResult.load()); }

private:
    void run(std::string url, std::string path, long connectTimeoutMs, long totalTimeoutMs);

    std::thread m_thread;
    std::atomic<bool> m_bCancel{false};
    std::atomic<int> m_nState{STATE_IDLE};
    std::atomic<int> m_nResult{CHttpDownload::RESULT_OK};
};
