#include "resamplerproxy.h"

#include <cstdlib>

#include "basekit/logwrapper.h"
#include "decodekit/audioresample.h"

namespace {
constexpr double kMinRatio = 0.9;
constexpr double kMaxRatio = 1.1;
}  // namespace

CResamplerProxy::CResamplerProxy() = default;

CResamplerProxy::~CResamplerProxy() {
    _DestroyResampler();
}

void CResamplerProxy::_DestroyResampler() {
    if (m_pResample) {
        DestoryAudioResample(m_pResample);
        m_pResample = nullptr;
    }
}

bool CResamplerProxy::Init(std::uint32_t inChannels, std::uint32_t inFormat, std::uint32_t inRate,
                           std::uint32_t outChannels, std::uint32_t outFormat,
                           std::uint32_t outRate) {
    _DestroyResampler();
    m_pResample = CreateAudioResample();
    if (!m_pResample) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- CreateAudioResample fail");
        return false;
    }
    m_bNeedConvert = inChannels != outChannels || inFormat != outFormat || inRate != outRate;
    int rv = m_pResample->Init(static_cast<int>(outChannels), static_cast<int>(outFormat),
                               static_cast<int>(outRate), static_cast<int>(inChannels),
                               static_cast<int>(inFormat), static_cast<int>(inRate));
    if (rv != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- resampler init fail, errorcode=" << rv);
        return false;
    }
    m_dAppliedRatio = 1.0;
    {
        std::lock_guard<std::mutex> lock(m_correctionLock);
        m_nCompensateDelta = 0;
        m_nCompensateDistance = 0;
        // A ratio in force carries over to the new resampler.
        m_bCorrectionPending = m_dRatio != 1.0;
    }
    return true;
}

void CResamplerProxy::Resample(std::uint32_t inBytes, const std::uint8_t* inData,
                               std::uint32_t* outBytes, const std::uint8_t** outData) {
    if (m_bCorrectionPending.load(std::memory_order_acquire)) {
        _ApplyPendingCorrections();
    }
    if (!m_bNeedConvert) {
        *outBytes = inBytes;
        *outData = inData;
        return;
    }
    *outData = nullptr;
    *outBytes = 0;
    if (!m_pResample) {
        return;
    }
    unsigned char* out = nullptr;
    int outLen = 0;
    int rv = m_pResample->Convert(inData, static_cast<int>(inBytes), &out, &outLen);
    if (rv != 0 || !out || outLen < 0) {
        return;
    }
    *outData = out;
    *outBytes = static_cast<std::uint32_t>(outLen);
}

bool CResamplerProxy::SetRateAdjust(double ratio) {
    if (!(ratio >= kMinRatio && ratio <= kMaxRatio)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_correctionLock);
    m_dRatio = ratio;
    m_bCorrectionPending.store(true, std::memory_order_release);
    return true;
}

double CResamplerProxy::GetRateAdjust() const {
    std::lock_guard<std::mutex> lock(m_correctionLock);
    return m_dRatio;
}

bool CResamplerProxy::Compensate(int sampleDelta, int distance) {
    if (distance <= 0 || static_cast<long long>(std::llabs(sampleDelta)) * 10 >= distance) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_correctionLock);
    m_nCompensateDelta = sampleDelta;
    m_nCompensateDistance = distance;
    m_bCorrectionPending.store(true, std::memory_order_release);
    return true;
}

int CResamplerProxy::GetDelayFrames() const {
    return (m_pResample && m_bNeedConvert) ? m_pResample->GetDelaySamples() : 0;
}

void CResamplerProxy::_ApplyPendingCorrections() {
    double ratio;
    int delta, distance;
    {
        std::lock_guard<std::mutex> lock(m_correctionLock);
        ratio = m_dRatio;
        delta = m_nCompensateDelta;
        distance = m_nCompensateDistance;
        m_nCompensateDelta = 0;
        m_nCompensateDistance = 0;
        m_bCorrectionPending.store(false, std::memory_order_relaxed);
    }
    if (!m_pResample) {
        return;
    }
    if (ratio != m_dAppliedRatio) {
        int rv = m_pResample->SetRateAdjust(ratio);
        if (rv == 0) {
            m_dAppliedRatio = ratio;
            if (ratio != 1.0) m_bNeedConvert = true;
        } else {
            UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- SetRateAdjust fail, errorcode=" << rv);
        }
    }
    if (distance > 0) {
        int rv = m_pResample->Compensate(delta, distance);
        if (rv == 0) {
            m_bNeedConvert = true;
        } else {
            UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- Compensate fail, errorcode=" << rv);
        }
    }
}
