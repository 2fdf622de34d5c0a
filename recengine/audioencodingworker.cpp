#include "audioencodingworker.h"

#include "basekit/datapackage.h"
#include "basekit/logwrapper.h"
#include "basekit/tickcount.h"
#include "basekit/timevaluewrapper.h"

void CAudioEncodingWorker::CodecDeleter::operator()(CUcAudioCodec* p) const { DestoryAudioCodec(p); }

CAudioEncodingWorker::CAudioEncodingWorker() = default;

CAudioEncodingWorker::~CAudioEncodingWorker() { StopEncoding(); }

int CAudioEncodingWorker::Init(IDataGetter* pGetter, IMUXPushData* pSink) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry");
    std::lock_guard<std::mutex> lock(m_lock);
    m_pGetter = pGetter;
    m_pSink = pSink;
    return 0;
}

int CAudioEncodingWorker::StartEncoding() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_bStarted || m_Worker.Start(&CAudioEncodingWorker::EncodingThread, this, "tv-audioenc") != CWorkerQueue::START_OK) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- CreateThread fail");
        return -1;
    }
    m_bStarted = true;
    return 0;
}

int CAudioEncodingWorker::StopEncoding() {
    m_Worker.Stop();
    return 0;
}

int CAudioEncodingWorker::EncodingThread(CAudioEncodingWorker* pTmp) {
    UC_LOG(CLogWrapper::LOG_INFO, "Thread Working now");
    if (!pTmp) {
        UC_LOG(CLogWrapper::LOG_ERROR, " --- WTF!!!! NULL == pTmp");
        return -1;
    }
    return pTmp->RunThread();
}

int CAudioEncodingWorker::RunThread() {
    if (!OpenStream(GetTickNs())) return -1;
    const CTimeValueWrapper wait(0, kWaitMs * 1000);
    while (m_Worker.Wait(&wait) == CWorkerQueue::WAKE_TIMEOUT) {
        EncodeDueSlots(GetTickNs());
    }
    CloseStream(GetTickNs());
    return 0;
}

bool CAudioEncodingWorker::OpenStream(std::uint64_t startNs) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_pStreamGetter = m_pGetter;
        m_pStreamSink = m_pSink;
    }
    _UCAudioCodecInfo info;
    info.sampleRate = static_cast<std::int32_t>(kSampleRate);
    info.codecType = UC_AUDIO_CODEC_AAC_LC;
    info.channels = 2;
    info.bitRate = 72000;
    info.mode = UC_AUDIO_MODE_ADTS;
    m_pCodec.reset(CreateAudioCodec(&info, 0));
    if (!m_pCodec) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- CreateAudioCodec fail");
        return false;
    }
    const int delay = m_pCodec->GetDelaySamples();
    m_nPrimingFrames = delay > 0 ? (static_cast<std::uint64_t>(delay) + kSlotFrames - 1) / kSlotFrames : 0;
    m_nStartNs = startNs;
    m_nSlotStartNs = startNs;
    m_nSamples = 0;
    m_nFramesOut = 0;
    m_nLastStampNs = 0;
    m_PendingStamps.clear();
    return true;
}

void CAudioEncodingWorker::EncodeDueSlots(std::uint64_t nowNs) {
    if (!m_pCodec) return;
    while (m_nSlotStartNs <= nowNs) {
        const std::uint64_t slotEndNs = NextSlotEnd();
        EncodeData(slotEndNs, m_nSlotStartNs);
        m_nSlotStartNs = slotEndNs;
    }
}

void CAudioEncodingWorker::CloseStream(std::uint64_t nowNs) {
    if (!m_pCodec) return;
    EncodeDueSlots(nowNs);
    if (m_pStreamGetter) {
        // What was captured before the stop, slot by slot on the same grid.
        m_Mixer.CollectRest(m_pStreamGetter);
        while (const std::uint32_t bytes = m_Mixer.MixRest(m_Run)) {
            const std::uint64_t slotEndNs = NextSlotEnd();
            EncodeBuff(m_Run, bytes, StampFor(m_nSlotStartNs));
            m_nSlotStartNs = slotEndNs;
        }
    }
    // The frames the encoder still holds back.
    if (m_pStreamSink) {
        for (;;) {
            unsigned char* out = nullptr;
            int outLen = 0;
            unsigned short samples = 0;
            if (m_pCodec->Flush(&out, &outLen, &samples) != 0 || !out || outLen <= 0) break;
            PushFrame(out, outLen);
        }
    }
    m_pCodec.reset();
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Thread go stop");
}

std::uint64_t CAudioEncodingWorker::GridTimeNs(std::uint64_t samples) const {
    // samples x 1e9 / 44100 without overflowing 64 bits.
    return m_nStartNs + samples / kSampleRate * 1000000000ULL + samples % kSampleRate * 1000000000ULL / kSampleRate;
}

std::uint64_t CAudioEncodingWorker::NextSlotEnd() {
    m_nSamples += kSlotFrames;
    return GridTimeNs(m_nSamples);
}

void CAudioEncodingWorker::EncodeData(std::uint64_t /*slotEndNs*/, std::uint64_t slotStartNs) {
    if (!m_pStreamGetter) return;
    const std::uint32_t bytes = m_Mixer.MixSlot(m_pStreamGetter, slotStartNs, m_Run);
    if (!bytes) return;
    EncodeBuff(m_Run, bytes, StampFor(slotStartNs));
}

std::uint64_t CAudioEncodingWorker::StampFor(std::uint64_t slotStartNs) const {
    const std::uint64_t delayNs = m_Mixer.CaptureDelayNs();
    return slotStartNs > delayNs ? slotStartNs - delayNs : 0;
}

void CAudioEncodingWorker::EncodeBuff(const std::uint8_t* buffer, std::uint32_t length, std::uint64_t stampNs) {
    if (!m_pStreamSink || !m_pCodec) {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "Thread go stop");
        return;
    }
    unsigned char* out = nullptr;
    int outLen = 0;
    unsigned short samples = 0;
    const int rc = m_pCodec->Encode(buffer, static_cast<int>(length), &out, &outLen, &samples,
                                    static_cast<int>(kSampleRate));
    if (rc != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, "EncodeBuff fail!");
        return;
    }
    m_PendingStamps.push_back(stampNs);
    PushFrame(out, outLen);
}

void CAudioEncodingWorker::PushFrame(const unsigned char* data, int length) {
    if (!data || length <= 0) return;
    // A frame's duration in ns, for n frames: n x 1024 x 1e9 / 44100.
    const auto frames = [](std::uint64_t n) { return n * kSlotFrames * 1000000000ULL / kSampleRate; };
    std::uint64_t stampNs;
    if (m_nFramesOut < m_nPrimingFrames && !m_PendingStamps.empty()) {
        // Priming: the frames before the first slot's audio.
        const std::uint64_t back = frames(m_nPrimingFrames - m_nFramesOut);
        const std::uint64_t first = m_PendingStamps.front();
        stampNs = first > back ? first - back : 0;
    } else if (!m_PendingStamps.empty()) {
        stampNs = m_PendingStamps.front();
        m_PendingStamps.pop_front();
    } else {
        stampNs = m_nLastStampNs + frames(1);
    }
    // A source that starts (or restarts before its delay is measured) with
    // more audio buffered than the one before moves the stamps back; they
    // still increase, so the muxer keeps the order.
    if (m_nFramesOut > 0 && stampNs < m_nLastStampNs + 1000000ULL) stampNs = m_nLastStampNs + 1000000ULL;
    m_nLastStampNs = stampNs;
    ++m_nFramesOut;
    const auto timestampMs = static_cast<std::uint32_t>(stampNs / 1000000ULL);
    // The muxer's copy shares the package's bytes, and the codec reuses its
    // output memory: hand over bytes the package owns.
    CDataPackage frame(static_cast<std::size_t>(length), data, CDataPackage::FLAG_NONE,
                       static_cast<std::size_t>(length));
    m_pStreamSink->PushMediaData(false, false, &frame, timestampMs);
}
