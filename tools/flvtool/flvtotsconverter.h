// CFlvToTsConverter: `flvtool to-ts` (and the conversion under `flvtool
// hls`): every tag of an FLV file read with CFlvReader; AVC packets through
// CFlv2TsH264 to Annex B access units, AAC frames given back their ADTS
// header, MP3 frames as they are; FLV milliseconds times 90 into CTsWriter.
// With a segmenter the output is cut into segment files at key frames.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "flvinput.h"

class CFlv2TsH264;
class CTsWriter;
class CHlsSegmenter;

class CFlvToTsConverter {
public:
    enum { CONVERT_OK = 0, CONVERT_DAMAGED = 1, CONVERT_FAILED = 2, CONVERT_SAME_FILE = 3 };

    CFlvToTsConverter();
    ~CFlvToTsConverter();
    CFlvToTsConverter(const CFlvToTsConverter&) = delete;
    CFlvToTsConverter& operator=(const CFlvToTsConverter&) = delete;

    void SetShowProgress(bool show) { m_bShowProgress = show; }
    // Cuts the output where the segmenter says (it names the files); the
    // segmenter stays the caller's.
    void SetSegmenter(CHlsSegmenter* segmenter) { m_pSegmenter = segmenter; }

    // out: the transport stream (ignored with a segmenter). On
    // CONVERT_DAMAGED the output holds every frame before the damage.
    int Convert(const std::string& in, const std::string& out);
    const std::string& GetError() const { return m_strError; }

    std::uint64_t GetVideoFrames() const { return m_nVideoFrames; }
    std::uint64_t GetAudioFrames() const { return m_nAudioFrames; }
    // Frames that carried a composition time offset (B-frames), written at
    // their decoding time: the transport stream carries one time per frame.
    std::uint64_t GetReorderedFrames() const { return m_nReordered; }

private:
    int WriteTag(const CFlvioTag& tag);
    // Starts the next segment when the segmenter cuts before `ms`.
    int CutBefore(std::uint32_t ms);
    int WriteVideo(const std::string& body, std::uint32_t ms);
    int WriteAudio(const std::string& body, std::uint32_t ms);

    std::unique_ptr<CFlvInput> m_pInput;
    std::unique_ptr<CFlv2TsH264> m_pVideo;
    std::unique_ptr<CTsWriter> m_pWriter;
    CHlsSegmenter* m_pSegmenter = nullptr;
    std::vector<CFlvInput::TagPtr> m_readAhead;
    std::string m_strError;
    bool m_bShowProgress = false;
    bool m_bHaveVideo = false;
    std::string m_strAacConfig;
    std::string m_strFrame;
    std::uint64_t m_nVideoFrames = 0;
    std::uint64_t m_nAudioFrames = 0;
    std::uint64_t m_nReordered = 0;
};
