// CFlvLiveFeeder: `flvtool live`: feeds a recording through CFLVRecorder,
// the library's chunked live recorder, as a live source would: the AVC
// configuration and frames as they are, every AAC frame given back its ADTS
// header. With pacing the tags go in at the recording's own speed (so that
// a reader can follow the folder), otherwise as fast as they can. Each file
// the recorder finishes is printed as a line on the output.
//
// Runs on the caller's thread, which has SIGINT and SIGTERM blocked while
// Run feeds (CStopSignals); either signal, or RequestStop() from another
// thread, ends the feeding and the recorder finishes its last file and index
// before Run returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "flvio/flvrecorder.h"
#include "stopsignals.h"

class CFlvioTag;

class CFlvLiveFeeder : public IFileNotify {
public:
    enum { LIVE_OK = 0, LIVE_DAMAGED = 1, LIVE_FAILED = 2 };

    explicit CFlvLiveFeeder(std::FILE* out) : m_pOut(out) {}

    // The arguments behind "live": IN DIR [--window SECONDS] [--margin SECONDS]
    // [--pace]. False with a problem for wrong usage.
    bool Configure(const std::vector<std::string>& args, std::string& in, std::string& dir,
                   std::string& problem);
    void SetWindowSeconds(unsigned long seconds) { m_dwWindow = seconds; }
    void SetRemovalMarginSeconds(unsigned long seconds) { m_dwMargin = seconds; }
    void SetPace(bool pace) { m_bPace = pace; }
    void RequestStop() { m_bStop = true; }

    // dir: the folder of the files and of "record.xml". SIGINT and SIGTERM
    // end the feeding early (the recording is finished as at the end). On LIVE_DAMAGED the
    // folder holds everything fed before the damage, finished.
    int Run(const std::string& in, const std::string& dir);
    const std::string& GetError() const { return m_strError; }
    // Tags the recorder refused (for example frames before a configuration).
    std::uint64_t GetRefused() const { return m_nRefused; }
    std::uint64_t GetFilesFinished() const { return m_nFinished; }

    void OnFileFinished(const std::string& name, unsigned long startTime, unsigned long duration,
                        unsigned long size) override;
    void OnFileRemoved(const std::string& name) override;
    void OnFileDeleted(const std::string& name) override;

private:
    // Reads the first tags for the picture size and the sound format.
    void Probe(const std::string& in);
    void Pace(std::uint32_t timeStamp);
    int FeedTag(CFLVRecorder& recorder, const CFlvioTag& tag);
    // True once a stop was asked for; waits up to ms for a stop signal.
    bool StopRequested(unsigned ms);

    std::FILE* m_pOut;
    std::string m_strDir;
    std::string m_strError;
    unsigned long m_dwWindow = 30;
    unsigned long m_dwMargin = 500;
    bool m_bPace = false;
    bool m_bWarnedCts = false;
    std::atomic<bool> m_bStop{false};
    const CStopSignals* m_pSignals = nullptr;  // Run's, while it runs
    std::uint64_t m_nRefused = 0;
    std::uint64_t m_nFinished = 0;

    unsigned m_nWidth = 0, m_nHeight = 0;
    AudioPriority m_audio;
    std::string m_strAacConfig;
    bool m_bHavePaceStart = false;
    std::uint32_t m_dwFirstStamp = 0;
    std::int64_t m_nWallStartMs = 0;
};
