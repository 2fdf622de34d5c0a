// CTsToFlvConverter: `flvtool from-ts`: the tags of CTSReader through
// CTs2FlvH264 (H.264) and the ADTS-to-configuration helper (AAC; MP3 PES
// packets are copied) into CFlvWriter. onMetaData (every key) comes first and
// is rewritten in place at the end with the duration and the picture size.
// Time stamps: FLV time = (DTS - first time stamp of the file) / 90, the
// composition offset (PTS - DTS) / 90.
// In follow mode the input is a transport stream still being written: the
// converter polls it until SIGINT or SIGTERM (blocked in the calling thread
// while it runs), then reads what is left and finishes the file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "flvio/ts/tstag.h"

class CTSReader;
class CTs2FlvH264;
class CFlvWriter;
class CDataPackage;

class CTsToFlvConverter {
public:
    enum { CONVERT_OK = 0, CONVERT_DAMAGED = 1, CONVERT_FAILED = 2, CONVERT_SAME_FILE = 3 };

    CTsToFlvConverter();
    ~CTsToFlvConverter();
    CTsToFlvConverter(const CTsToFlvConverter&) = delete;
    CTsToFlvConverter& operator=(const CTsToFlvConverter&) = delete;

    void SetShowProgress(bool show) { m_bShowProgress = show; }

    // follow: read a growing file, polling every pollMs, until a stop signal.
    int Convert(const std::string& in, const std::string& out, bool follow, unsigned pollMs = 100);
    const std::string& GetError() const { return m_strError; }

    std::uint64_t GetVideoFrames() const { return m_nVideoFrames; }
    std::uint64_t GetAudioFrames() const { return m_nAudioFrames; }

private:
    int Open(const std::string& out);
    bool SawEveryStream(const CTsTagList& tags) const;
    int WriteTag(const CTsTag& tag);
    int WriteVideo(const CTsTag& tag);
    int WriteAac(const CTsTag& tag);
    int WriteMp3(const CTsTag& tag);
    // The FLV time of a 90 kHz time stamp, relative to the file's first one.
    std::uint32_t ToMs(std::int64_t ticks);
    int Finish();
    void ShowProgress(std::int64_t position);

    std::unique_ptr<CTSReader> m_pReader;
    std::unique_ptr<CTs2FlvH264> m_pVideo;
    std::unique_ptr<CFlvWriter> m_pWriter;
    std::string m_strOut;
    std::string m_strError;
    bool m_bShowProgress = false;
    std::uint64_t m_nInSize = 0;
    unsigned m_nLastPercent = 101;

    bool m_bHaveVideo = false;
    bool m_bHaveAudio = false;
    bool m_bMp3 = false;
    std::int64_t m_nBase = -1;
    std::string m_strConfigRecord;  // the last one written
    std::string m_strAacConfig;
    unsigned long m_dwMetaDataPos = 0;
    unsigned long m_dwMetaDataLen = 0;
    std::uint32_t m_dwMaxTimeStamp = 0;
    unsigned m_nWidth = 0;
    unsigned m_nHeight = 0;
    std::uint64_t m_nVideoFrames = 0;
    std::uint64_t m_nAudioFrames = 0;
};
