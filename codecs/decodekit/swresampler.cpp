#include "swresampler.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "basekit/logwrapper.h"

namespace {

constexpr int kMaxChannels = 8;
constexpr int kMinRate = 1000;
constexpr int kMaxRate = 384000;
constexpr double kMinRatio = 0.9;
constexpr double kMaxRatio = 1.1;
// A persistent ratio is handed to libswresample as a compensation over this
// many output samples and renewed long before it runs out.
constexpr int kRatioDistance = 1 << 30;
constexpr int64_t kRenewBelow = int64_t{1} << 29;
// The largest output one call may produce (about 6 minutes at 48 kHz).
constexpr int kMaxBlockFrames = 1 << 24;

AVSampleFormat SampleFormatOf(int nCode) {
    switch (nCode) {
    case UC_SAMPLE_U8:
        return AV_SAMPLE_FMT_U8;
    case UC_SAMPLE_S16:
        return AV_SAMPLE_FMT_S16;
    case UC_SAMPLE_S32:
        return AV_SAMPLE_FMT_S32;
    case UC_SAMPLE_FLOAT:
        return AV_SAMPLE_FMT_FLT;
    default:
        return AV_SAMPLE_FMT_NONE;
    }
}

}  // namespace

void CSwResampler::SwrDeleter::operator()(SwrContext* p) const { swr_free(&p); }

CSwResampler::~CSwResampler() = default;

int CSwResampler::Init(int nOutChannels, int nOutFormat, int nOutRate, int nInChannels,
                       int nInFormat, int nInRate) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry, out=" << nOutChannels << "/" << nOutFormat << "/"
                                           << nOutRate << ", in=" << nInChannels << "/"
                                           << nInFormat << "/" << nInRate);
    m_pSwr.reset();
    AVSampleFormat outFormat = SampleFormatOf(nOutFormat);
    AVSampleFormat inFormat = SampleFormatOf(nInFormat);
    if (outFormat == AV_SAMPLE_FMT_NONE || inFormat == AV_SAMPLE_FMT_NONE ||
        nOutChannels > kMaxChannels || nInChannels > kMaxChannels) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- format or channel count not supported");
        return UC_RESAMPLE_ERR_NOT_SUPPORTED;
    }
    if (nOutChannels < 1 || nInChannels < 1 || nOutRate < kMinRate || nOutRate > kMaxRate ||
        nInRate < kMinRate || nInRate > kMaxRate) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- bad channel count or rate");
        return UC_RESAMPLE_ERR_BAD_ARGUMENT;
    }
    m_nOutChannels = nOutChannels;
    m_nInChannels = nInChannels;
    m_nOutRate = nOutRate;
    m_nInRate = nInRate;
    m_outFormat = outFormat;
    m_inFormat = inFormat;
    m_dRatio = 1.0;
    m_bCompensating = false;
    m_bOneOff = false;
    m_nCompensationLeft = 0;
    return _Open(false);
}

int CSwResampler::_Open(bool bForceResample) {
    m_pSwr.reset();
    AVChannelLayout outLayout;
    AVChannelLayout inLayout;
    av_channel_layout_default(&outLayout, m_nOutChannels);
    av_channel_layout_default(&inLayout, m_nInChannels);
    SwrContext* swr = nullptr;
    int rv = swr_alloc_set_opts2(&swr, &outLayout, m_outFormat, m_nOutRate, &inLayout, m_inFormat,
                                 m_nInRate, 0, nullptr);
    av_channel_layout_uninit(&outLayout);
    av_channel_layout_uninit(&inLayout);
    std::unique_ptr<SwrContext, SwrDeleter> context(swr);
    if (rv < 0 || !swr) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- swr_alloc_set_opts2 fail, errorcode=" << rv);
        return UC_RESAMPLE_ERR_FAILED;
    }
    if (bForceResample) {
        av_opt_set_int(swr, "flags", SWR_FLAG_RESAMPLE, 0);
    }
    // Mono is copied to both sides unchanged and stereo averaged to mono,
    // instead of libswresample's -3 dB mix levels.
    if (m_nInChannels == 1 && m_nOutChannels == 2) {
        const double matrix[2] = {1.0, 1.0};
        swr_set_matrix(swr, matrix, 1);
    } else if (m_nInChannels == 2 && m_nOutChannels == 1) {
        const double matrix[2] = {0.5, 0.5};
        swr_set_matrix(swr, matrix, 2);
    }
    rv = swr_init(swr);
    if (rv < 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- swr_init fail, errorcode=" << rv);
        return UC_RESAMPLE_ERR_FAILED;
    }
    m_pSwr = std::move(context);
    m_bResampling = bForceResample || m_nInRate != m_nOutRate;
    return 0;
}

int CSwResampler::Convert(const unsigned char* pIn, int nInBytes, unsigned char** ppOut,
                          int* pOutBytes) {
    UC_ASSERTE_RETURN(ppOut && pOutBytes, UC_RESAMPLE_ERR_BAD_ARGUMENT);
    *ppOut = nullptr;
    *pOutBytes = 0;
    if (!m_pSwr) {
        return UC_RESAMPLE_ERR_WRONG_STATE;
    }
    if (nInBytes < 0 || (pIn == nullptr && nInBytes > 0)) {
        return UC_RESAMPLE_ERR_BAD_ARGUMENT;
    }
    const int inFrameBytes = m_nInChannels * av_get_bytes_per_sample(m_inFormat);
    const int outFrameBytes = m_nOutChannels * av_get_bytes_per_sample(m_outFormat);
    const int inFrames = pIn ? nInBytes / inFrameBytes : 0;
    int capacity = swr_get_out_samples(m_pSwr.get(), inFrames);
    if (capacity < 0) {
        return UC_RESAMPLE_ERR_FAILED;
    }
    if (capacity > kMaxBlockFrames) {
        return UC_RESAMPLE_ERR_BAD_ARGUMENT;
    }
    // Room for the rate adjustment on top of the nominal ratio.
    capacity += capacity / 8 + 64;
    m_vecOut.resize(static_cast<std::size_t>(capacity) * static_cast<std::size_t>(outFrameBytes));
    uint8_t* out = m_vecOut.data();
    const uint8_t* in = pIn;
    int produced = swr_convert(m_pSwr.get(), &out, capacity, pIn ? &in : nullptr, inFrames);
    if (produced < 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- swr_convert fail, errorcode=" << produced);
        return UC_RESAMPLE_ERR_FAILED;
    }
    _TrackCompensation(produced);
    *ppOut = m_vecOut.data();
    *pOutBytes = produced * outFrameBytes;
    return 0;
}

int CSwResampler::SetRateAdjust(double dRatio) {
    if (!m_pSwr) {
        return UC_RESAMPLE_ERR_WRONG_STATE;
    }
    if (!(dRatio >= kMinRatio && dRatio <= kMaxRatio)) {
        return UC_RESAMPLE_ERR_BAD_ARGUMENT;
    }
    m_dRatio = dRatio;
    return _ApplyCompensation(0, 0);
}

double CSwResampler::GetRateAdjust() { return m_dRatio; }

int CSwResampler::Compensate(int nSampleDelta, int nDistance) {
    if (!m_pSwr) {
        return UC_RESAMPLE_ERR_WRONG_STATE;
    }
    if (nDistance <= 0 || std::abs(static_cast<int64_t>(nSampleDelta)) * 10 >= nDistance) {
        return UC_RESAMPLE_ERR_BAD_ARGUMENT;
    }
    return _ApplyCompensation(nSampleDelta, nDistance);
}

int CSwResampler::GetDelaySamples() {
    return m_pSwr ? static_cast<int>(swr_get_delay(m_pSwr.get(), m_nOutRate)) : 0;
}

int CSwResampler::_ApplyCompensation(int nExtra, int nDistance) {
    const bool bOneOff = nDistance > 0;
    if (!bOneOff && m_dRatio == 1.0) {
        m_bOneOff = false;
        if (m_bCompensating) {
            m_bCompensating = false;
            return swr_set_compensation(m_pSwr.get(), 0, 0) < 0 ? UC_RESAMPLE_ERR_FAILED : 0;
        }
        return 0;
    }
    if (!m_bResampling) {
        // Equal rates run without a resampler; it holds no samples, so it can
        // be rebuilt with one now.
        int rv = _Open(true);
        if (rv != 0) {
            return rv;
        }
    }
    const int distance = bOneOff ? nDistance : kRatioDistance;
    const double fraction = 1.0 - 1.0 / m_dRatio;
    const int64_t delta = std::llround(fraction * distance) + nExtra;
    int rv = swr_set_compensation(m_pSwr.get(), static_cast<int>(delta), distance);
    if (rv < 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- swr_set_compensation fail, errorcode=" << rv);
        return UC_RESAMPLE_ERR_FAILED;
    }
    m_bCompensating = true;
    m_bOneOff = bOneOff;
    m_nCompensationLeft = distance;
    return 0;
}

void CSwResampler::_TrackCompensation(int nProduced) {
    if (!m_bCompensating) {
        return;
    }
    m_nCompensationLeft -= nProduced;
    if (m_bOneOff ? m_nCompensationLeft <= 0 : m_nCompensationLeft < kRenewBelow) {
        // The one-off is over (back to the ratio), or the ratio's run is
        // renewed before libswresample ends it.
        m_bOneOff = false;
        m_bCompensating = m_dRatio != 1.0;
        if (m_bCompensating) {
            _ApplyCompensation(0, 0);
        }
    }
}
