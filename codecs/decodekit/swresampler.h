// CSwResampler: IAudioResample on libswresample, with a persistent rate
// adjustment and one-off corrections for clock drift.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

extern "C" {
#include <libavutil/samplefmt.h>
}

#include "decodekit/audioresample.h"

struct SwrContext;

class CSwResampler final : public IAudioResample {
public:
    CSwResampler() = default;
    ~CSwResampler() override;
    CSwResampler(const CSwResampler&) = delete;
    CSwResampler& operator=(const CSwResampler&) = delete;

    int Init(int nOutChannels, int nOutFormat, int nOutRate, int nInChannels, int nInFormat,
             int nInRate) override;
    int Convert(const unsigned char* pIn, int nInBytes, unsigned char** ppOut,
                int* pOutBytes) override;
    int SetRateAdjust(double dRatio) override;
    double GetRateAdjust() override;
    int Compensate(int nSampleDelta, int nDistance) override;
    int GetDelaySamples() override;

private:
    struct SwrDeleter {
        void operator()(SwrContext* p) const;
    };

    int _Open(bool bForceResample);
    // Hands the ratio in force, plus a one-off `nExtra` samples over
    // `nDistance` output samples when nDistance > 0, to libswresample.
    int _ApplyCompensation(int nExtra, int nDistance);
    // Keeps the compensation going after `nProduced` more output samples.
    void _TrackCompensation(int nProduced);

    std::unique_ptr<SwrContext, SwrDeleter> m_pSwr;
    int m_nOutChannels = 0;
    int m_nInChannels = 0;
    int m_nOutRate = 0;
    int m_nInRate = 0;
    AVSampleFormat m_outFormat = AV_SAMPLE_FMT_NONE;
    AVSampleFormat m_inFormat = AV_SAMPLE_FMT_NONE;
    bool m_bResampling = false;
    double m_dRatio = 1.0;
    bool m_bCompensating = false;
    bool m_bOneOff = false;
    int64_t m_nCompensationLeft = 0;
    std::vector<unsigned char> m_vecOut;
};
