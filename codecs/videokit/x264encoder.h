// CX264Encoder: the H.264 encoder behind CUcH264codec, on libx264.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

extern "C" {
#include <x264.h>
}

#include "h264skippicture.h"
#include "pictureconverter.h"
#include "videokit/h264changedrows.h"
#include "videokit/h264codec.h"

// A picture announced as equal to the one before (IH264ChangedRows) is
// written as a repeat of it without x264 where the stream allows one
// (CH264SkipPicture), from the second equal picture of a still run on:
// every other picture while x264 still refines the still picture, then
// every picture (with one reference frame, x264's faster presets) or every
// other one (more reference frames: a repeat has to follow one of x264's
// reference pictures).
//
// Threads: every call on the thread that owns the object. The macroblock
// information handed to x264 with a picture is x264's from then on (it may
// read it on its own threads after Encode returns and frees it itself).
class CX264Encoder final : public CUcH264codec, public IH264ChangedRows {
public:
    CX264Encoder();
    ~CX264Encoder() override;
    CX264Encoder(const CX264Encoder&) = delete;
    CX264Encoder& operator=(const CX264Encoder&) = delete;

    const char* GetCodecName() override;
    int Init(const UcH264EncodeParam* pParam) override;
    int Uninit() override;
    int GetParam(UcH264EncodeParam* pParam) override;
    int SetBitRate(int nBitRate) override;
    int Encode(const unsigned char* pPicture, int nLength, int nWidth, int nHeight,
               unsigned char** ppOut, int* pOutLen, uint32_t* pTimestamp) override;
    int ForceKeyFrame() override;
    int GetDelayedFrames() override;
    int Reserved8() override;
    int Reserved9() override;
    int Reserved10() override;
    int Reserved11() override;
    int Reserved12() override;
    int Reserved13() override;
    int Reserved14() override;
    int Reserved15() override;
    int GetAVCConfig(unsigned char** ppData, int* pLength) override;
    int Flush(unsigned char** ppOut, int* pOutLen, uint32_t* pTimestamp) override;
    int SetNextChangedRows(int nTop, int nRows) override;

private:
    struct EncoderDeleter {
        void operator()(x264_t* p) const { x264_encoder_close(p); }
    };
    struct PictureDeleter {
        void operator()(x264_picture_t* p) const;
    };
    struct PendingStamp {
        int64_t pts;
        uint32_t timestamp;
    };

    static int _ResolveParam(const UcH264EncodeParam& in, UcH264EncodeParam& out);
    void _BuildX264Param(const UcH264EncodeParam& param, int csp);
    void _ApplyRateControl(int nBitRate);
    bool _BuildConfigRecord();
    // Collects the frame's NAL units into m_vecFrame and returns its type.
    int _TakeFrame(x264_nal_t* pNals, int nNals, const x264_picture_t& picOut,
                   uint32_t* pTimestamp);
    // Points pic at the planes of a tightly packed I420 picture of the
    // encoded size; false when the input is not one.
    bool _WrapI420(const unsigned char* pPicture, int nLength, int nWidth, int nHeight,
                   x264_picture_t& pic) const;
    // Attaches to pic the per-macroblock flags of the announced changed rows
    // when they can be trusted (see SetNextChangedRows).
    void _AttachChangedRows(x264_picture_t& pic, bool bDirect);
    int _EncodeInto(x264_picture_t* pPicIn, unsigned char** ppOut, int* pOutLen,
                    uint32_t* pTimestamp);
    // Writes the next picture as a repeat of the one before when it was
    // announced equal and the stream can take one; false otherwise.
    bool _Repeat(bool bDirect, unsigned char** ppOut, int* pOutLen);

    std::unique_ptr<x264_t, EncoderDeleter> m_pEncoder;
    std::unique_ptr<x264_picture_t, PictureDeleter> m_pPicture;
    x264_param_t m_x264Param{};
    UcH264EncodeParam m_param{};
    CPictureConverter m_converter;
    std::vector<unsigned char> m_vecFrame;
    std::vector<unsigned char> m_vecConfig;
    std::deque<PendingStamp> m_pending;
    int64_t m_nNextPts = 0;
    bool m_bForceIdr = false;
    // The rows announced for the next picture (-1 rows: unknown), and
    // whether x264 took the picture before it, the one they are relative to.
    int m_nNextChangedTop = 0;
    int m_nNextChangedRows = -1;
    bool m_bHavePrevious = false;
    // Whether the picture before was announced equal to its own predecessor,
    // whether it was written as a repeat, and whether x264 coded the last
    // equal picture it got at its quantiser floor.
    bool m_bPreviousEqual = false;
    bool m_bPreviousRepeat = false;
    bool m_bSettled = false;
    // x264's quantiser for the last picture it coded (-1: none).
    int m_nLastQp = -1;
    CH264SkipPicture m_repeat;
    int64_t m_nRepeats = 0;
    int64_t m_nPictures = 0;
};
