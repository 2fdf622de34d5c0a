// CAacEncoder: AAC-LC encoder behind CUcAudioCodec, on libavcodec's native
// "aac" encoder; interleaved S16 in, one ADTS-framed (or raw) frame out.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "audiokit/audiocodec.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

class CAacEncoder final : public CUcAudioCodec {
public:
    CAacEncoder();
    ~CAacEncoder() override;
    CAacEncoder(const CAacEncoder&) = delete;
    CAacEncoder& operator=(const CAacEncoder&) = delete;

    // Opens the encoder for the record; 0 or a result code.
    int Open(const _UCAudioCodecInfo& info);

    int GetCodecInfo(_UCAudioCodecInfo* pInfo) override;
    int GetFrameSamples() override;
    int Encode(const unsigned char* pPcm, int nLength, unsigned char** ppOut, int* pOutLen,
               unsigned short* pSamples, int nSampleRate) override;
    int Flush(unsigned char** ppOut, int* pOutLen, unsigned short* pSamples) override;
    int GetDelaySamples() override;
    int GetAudioSpecificConfig(unsigned char** ppData, int* pLength) override;

private:
    struct ContextDeleter {
        void operator()(AVCodecContext* p) const;
    };
    struct FrameDeleter {
        void operator()(AVFrame* p) const;
    };
    struct PacketDeleter {
        void operator()(AVPacket* p) const;
    };

    // Fills the frame from interleaved S16 (silence past `nFrames`).
    bool _FillFrame(const unsigned char* pPcm, int nFrames);
    // Takes one packet if the encoder has one; 0 (with or without output) or
    // a result code.
    int _Receive(unsigned char** ppOut, int* pOutLen, unsigned short* pSamples);

    std::unique_ptr<AVCodecContext, ContextDeleter> m_pContext;
    std::unique_ptr<AVFrame, FrameDeleter> m_pFrame;
    std::unique_ptr<AVPacket, PacketDeleter> m_pPacket;
    _UCAudioCodecInfo m_info;
    int m_nFrequencyIndex = -1;
    int64_t m_nNextPts = 0;
    bool m_bFlushing = false;
    bool m_bDrained = false;
    std::vector<unsigned char> m_vecOut;
    unsigned char m_abConfig[2] = {};
};
