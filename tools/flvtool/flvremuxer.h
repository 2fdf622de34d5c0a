// CFlvRemuxer: `flvtool remux`: copies every tag of an FLV file through
// CFlvReader and CFlvWriter the way the recording engine writes a file: a
// fresh onMetaData (every key, duration 0) first, the input's own onMetaData
// tags dropped, and at the end the metadata rewritten in place with the
// duration (the highest audio/video time stamp, in whole seconds: the
// writer's CreateMetaData takes an unsigned number of seconds).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "flvinput.h"
#include "flvio/flviotag.h"

class CFlvWriter;

class CFlvRemuxer {
public:
    enum { REMUX_OK = 0, REMUX_DAMAGED = 1, REMUX_FAILED = 2, REMUX_SAME_FILE = 3 };

    CFlvRemuxer();
    ~CFlvRemuxer();
    CFlvRemuxer(const CFlvRemuxer&) = delete;
    CFlvRemuxer& operator=(const CFlvRemuxer&) = delete;

    // Shows a percentage on stderr while it copies (for large inputs).
    void SetShowProgress(bool show) { m_bShowProgress = show; }

    // On REMUX_DAMAGED the output holds, finished and patched, every tag that
    // came before the damage.
    int Remux(const std::string& in, const std::string& out);
    const std::string& GetError() const { return m_strError; }

    std::uint64_t GetTagsWritten() const { return m_nTagsWritten; }
    unsigned GetDurationSeconds() const { return m_nDuration; }
    unsigned GetWidth() const { return m_nWidth; }
    unsigned GetHeight() const { return m_nHeight; }

private:
    // Reads tags until the streams' first tags are known (they decide the
    // header kinds, the codec ids and the picture size of the new metadata).
    void ReadAhead(bool announcesAudio, bool announcesVideo);
    bool KnowsEnough(bool needAudio, bool needVideo) const;
    void Learn(const CFlvioTag& tag);
    int Write(const CFlvioTag& tag);
    int Finish();

    std::unique_ptr<CFlvInput> m_pInput;
    std::unique_ptr<CFlvWriter> m_pWriter;
    std::vector<CFlvInput::TagPtr> m_readAhead;
    std::string m_strOut;
    std::string m_strError;
    bool m_bShowProgress = false;

    bool m_bSawAudio = false;
    bool m_bSawVideo = false;
    bool m_bSawMetaData = false;
    unsigned m_nAudioCodec = 0;
    unsigned m_nVideoCodec = 0;
    unsigned m_nWidth = 0;
    unsigned m_nHeight = 0;
    unsigned m_nMetaWidth = 0;
    unsigned m_nMetaHeight = 0;

    unsigned long m_dwAudioStreamId = 0;
    unsigned long m_dwVideoStreamId = 0;
    unsigned long m_dwMetaDataPos = 0;
    unsigned long m_dwMetaDataLen = 0;
    std::uint32_t m_dwMaxTimeStamp = 0;
    std::uint64_t m_nTagsWritten = 0;
    unsigned m_nDuration = 0;
};
