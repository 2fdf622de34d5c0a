#include "videoencodingworker.h"

#include <memory>
#include <new>
#include <string>
#include <utility>

#include "basekit/datapackage.h"
#include "basekit/logwrapper.h"
#include "basekit/tickcount.h"

namespace {

// An encoder drained at stop never holds more frames than this; the bound
// only guards against a codec that keeps answering.
constexpr int kMaxDrainedFrames = 1024;

struct CodecDeleter {
    void operator()(CUcH264codec* codec) const { DestoryH264Codec(codec); }
};
using CodecPtr = std::unique_ptr<CUcH264codec, CodecDeleter>;

bool IsKeyFrame(int type) {
    return type == UC_H264_FRAME_IDR || type == UC_H264_FRAME_I;
}

}  // namespace

CVideoEncodingWorker::CVideoEncodingWorker() {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry");
}

CVideoEncodingWorker::~CVideoEncodingWorker() {
    if (m_Worker.IsRunning()) StopEncoding();
}

bool CVideoEncodingWorker::Init(IMUXPushData* pMux, int iWidth, int iHeight,
                                std::uint32_t unformat, std::uint32_t iFps,
                                IVideoEncodingObserver* pSink) {
    std::lock_guard<std::mutex> lock(m_Lock);
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry, iWidth: " << iWidth << ", iHeight: " << iHeight
                                                         << ", unformat: " << unformat);
    m_pMux = pMux;
    if (!pSink) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- NULL == pSink");
        return false;
    }
    m_pObserver = pSink;
    m_EncodeParam.width = iWidth;
    m_EncodeParam.height = iHeight;
    m_EncodeParam.encoderValueA = 300;
    m_EncodeParam.encoderValueB = 150;
    m_EncodeParam.frameRate = static_cast<std::int32_t>(iFps);
    m_EncodeParam.inputFormat = static_cast<std::int32_t>(unformat);
    m_EncodeParam.secondFormat = static_cast<std::int32_t>(unformat);
    m_EncodeParam.value7 = 0;
    m_EncodeParam.bitRate = 1500000;
    m_EncodeParam.value9 = 0;
    m_EncodeParam.value10 = 0;
    m_EncodeParam.value11 = 0;
    m_EncodeParam.value12 = 0;
    UpdateConversionLocked();
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Exit ok");
    return true;
}

int CVideoEncodingWorker::StartEncoding() {
    std::lock_guard<std::mutex> lock(m_Lock);
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry");
    switch (m_Worker.Start(&CVideoEncodingWorker::VideoEncodingThread, this, "tv-videoenc")) {
    case CWorkerQueue::START_OK:
        return 0;
    case CWorkerQueue::START_RUNNING:
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- Create thread fail, the thread runs already");
        return -1;
    case CWorkerQueue::START_FAILED:
        break;
    }
    UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- Create thread fail");
    return -1;
}

int CVideoEncodingWorker::StopEncoding() {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry");
    m_Worker.Stop();
    return 0;
}

void CVideoEncodingWorker::EnableConversionAtPush() {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_bConvertWanted = true;
    UpdateConversionLocked();
}

void CVideoEncodingWorker::UpdateConversionLocked() {
    m_bConvertAtPush = m_bConvertWanted && m_EncodeParam.inputFormat == UC_PIX_BGRA &&
                       m_EncodeParam.width % 2 == 0 && m_EncodeParam.height % 2 == 0;
}

bool CVideoEncodingWorker::LeaveOutLocked(std::uint32_t timestampMs) {
    if (!IsPausedAt(timestampMs)) return false;
    ++m_dwPausedPictures;
    return true;
}

void CVideoEncodingWorker::LeftOut(const VideoPicture& picture) {
    std::lock_guard<std::mutex> lock(m_ConvertLock);
    ++m_nLeftOut;
    if (picture.nDirtyRows != 0) m_Converter.Invalidate();
}

void CVideoEncodingWorker::QueueCopy(std::uint32_t timestampMs, CDataPackage* picture) {
    // The caller may reuse its buffer as soon as the push returns.
    MediaPacket packet;
    packet.data = CDataPackage::CopyPackage(picture);
    packet.timestamp = timestampMs;
    packet.bKeyFrame = true;
    packet.bVideo = true;
    {
        std::lock_guard<std::mutex> lock(m_ConvertLock);
        ++m_nByteCopies;
    }
    m_Worker.Push(std::move(packet));
}

void CVideoEncodingWorker::PushFrame(std::uint32_t timestampMs, CDataPackage* picture) {
    if (!picture) return;
    VideoPicture described;  // every row may have changed
    bool copy = false;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (LeaveOutLocked(timestampMs)) {
            LeftOut(described);
            return;
        }
        copy = !m_bConvertAtPush;
        described.nWidth = m_EncodeParam.width;
        described.nHeight = m_EncodeParam.height;
        described.nStride = m_EncodeParam.width * 4;
        described.nFormat = m_EncodeParam.inputFormat;
    }
    if (copy) {
        QueueCopy(timestampMs, picture);
        return;
    }
    // A chained package is flattened first (callers normally hand one block).
    std::string flat;
    if (picture->GetNext()) {
        flat = picture->FlattenPackage();
        described.pData = reinterpret_cast<const std::uint8_t*>(flat.data());
        described.nLength = flat.size();
        std::lock_guard<std::mutex> lock(m_ConvertLock);
        ++m_nByteCopies;
    } else {
        described.pData = picture->GetReadPtr();
        described.nLength = picture->GetPackageLength();
    }
    ConvertAndQueue(timestampMs, described);
}

void CVideoEncodingWorker::PushPicture(std::uint32_t timestampMs, const VideoPicture& picture) {
    bool copy = false;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (LeaveOutLocked(timestampMs)) {
            LeftOut(picture);
            return;
        }
        if (!m_bConvertAtPush) {
            // The codec converts: it gets the bytes as they are.
            copy = picture.pData && picture.nFormat == m_EncodeParam.inputFormat &&
                   picture.nWidth == m_EncodeParam.width && picture.nHeight == m_EncodeParam.height;
            if (!copy) {
                LeftOut(picture);
                return;
            }
        }
    }
    if (copy) {
        CDataPackage wrapped(picture.nLength, picture.pData, CDataPackage::FLAG_WRAP, picture.nLength);
        QueueCopy(timestampMs, &wrapped);
        return;
    }
    ConvertAndQueue(timestampMs, picture);
}

void CVideoEncodingWorker::ConvertAndQueue(std::uint32_t timestampMs, const VideoPicture& picture) {
    int width, height;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        width = m_EncodeParam.width;
        height = m_EncodeParam.height;
    }
    std::lock_guard<std::mutex> lock(m_ConvertLock);
    if (picture.nWidth != width || picture.nHeight != height || !CVideoPictureConverter::CanConvert(picture)) {
        if (picture.nWidth != m_nLastRejectedWidth || picture.nHeight != m_nLastRejectedHeight) {
            UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- picture left out, width=" << picture.nWidth << ", height="
                            << picture.nHeight << ", stride=" << picture.nStride << ", length=" << picture.nLength
                            << ", format=" << picture.nFormat << " (encoding " << width << "x" << height << ")");
            m_nLastRejectedWidth = picture.nWidth;
            m_nLastRejectedHeight = picture.nHeight;
        }
        ++m_nLeftOut;
        m_Converter.Invalidate();
        return;
    }
    MediaPacket packet;
    try {
        m_Converter.Convert(picture, packet);
    } catch (const std::bad_alloc&) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- no memory for a picture, left out");
        ++m_nLeftOut;
        m_Converter.Invalidate();
        return;
    }
    packet.timestamp = timestampMs;
    packet.bKeyFrame = true;
    packet.bVideo = true;
    // Queued under the lock, so that concurrent pushes queue in the order
    // their pictures were taken into the kept one.
    m_Worker.Push(std::move(packet));
}

CVideoEncodingWorker::PictureStats CVideoEncodingWorker::GetPictureStats() {
    std::lock_guard<std::mutex> lock(m_ConvertLock);
    PictureStats stats;
    stats.conversion = m_Converter.GetStats();
    stats.nByteCopies = m_nByteCopies;
    stats.nLeftOut = m_nLeftOut;
    stats.nPooled = m_Converter.PoolCount();
    return stats;
}

int CVideoEncodingWorker::SetPause(bool paused) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (paused == m_bPaused) return 0;
    m_bPaused = paused;
    auto now = static_cast<std::uint32_t>(GetTickMs());
    if (paused) {
        m_bHavePause = true;
        m_dwPauseBeginMs = now;
        m_dwPausedPictures = 0;
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "pause at " << now);
    } else {
        m_dwPauseEndMs = now;
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "resume at " << now << ", pictures left out=" << m_dwPausedPictures);
    }
    return 0;
}

bool CVideoEncodingWorker::IsPausedAt(std::uint32_t timestampMs) const {
    if (!m_bHavePause) return false;
    // Differences of 32-bit clock values that may have wrapped.
    bool fromBegin = static_cast<std::int32_t>(timestampMs - m_dwPauseBeginMs) >= 0;
    bool beforeEnd = m_bPaused || static_cast<std::int32_t>(m_dwPauseEndMs - timestampMs) > 0;
    return fromBegin && beforeEnd;
}

UcH264EncodeParam CVideoEncodingWorker::GetEncodeParam() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_EncodeParam;
}

UC_WORKER_THREAD_ENTRY(CVideoEncodingWorker, VideoEncodingThread, EncodingLoop)

int CVideoEncodingWorker::EncodingLoop() {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Thread Working now");
    ThreadContext ctx;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        ctx.pMux = m_pMux;
        ctx.pObserver = m_pObserver;
        ctx.param = m_EncodeParam;
        // Pictures converted at push reach the codec as I420.
        if (m_bConvertAtPush) ctx.param.inputFormat = UC_PIX_I420;
    }
    CodecPtr codec(CreateH264Codec(0));
    if (!codec) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- Create H264 Encode codec fail");
        return -1;
    }
    ctx.pChangedRows = dynamic_cast<IH264ChangedRows*>(codec.get());
    int rv = codec->Init(&ctx.param);
    if (rv != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- Create H264 Encode codec init fail, errorcode=" << rv);
        return -2;
    }
    for (;;) {
        // The stop event comes first, so it wins when both are set. Whatever
        // was pushed before the stop is still queued then and is encoded
        // below before the thread ends.
        bool stopping = m_Worker.Wait() == CWorkerQueue::WAKE_STOP;
        std::list<MediaPacket> batch = m_Worker.TakeAll();
        EncodeBatch(codec.get(), ctx, batch);
        if (stopping) break;
    }
    DrainEncoder(codec.get(), ctx);
    codec.reset();
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Thread go stop");
    return 0;
}

void CVideoEncodingWorker::EncodeBatch(CUcH264codec* codec, ThreadContext& ctx,
                                       std::list<MediaPacket>& batch) {
    // Each picture is released as soon as it is encoded, so that its pooled
    // buffer can take the next picture.
    while (!batch.empty()) {
        EncodePicture(codec, ctx, batch.front());
        batch.pop_front();
    }
}

void CVideoEncodingWorker::EncodePicture(CUcH264codec* codec, ThreadContext& ctx,
                                         MediaPacket& picture) {
    // Pushed pictures are single blocks (PushFrame copies them into one);
    // a chain would be flattened here.
    std::string flat;
    const unsigned char* bytes = nullptr;
    std::size_t length = picture.data ? picture.data->GetPackageLength() : 0;
    if (picture.data && !picture.data->GetNext()) {
        bytes = picture.data->GetReadPtr();
    } else if (picture.data) {
        flat = picture.data->FlattenPackage();
        bytes = reinterpret_cast<const unsigned char*>(flat.data());
    }
    // The encoder may skip the macroblocks outside the picture's changed
    // rows; pictures are queued and encoded in the same order, so the rows
    // are relative to the picture the codec got before.
    if (ctx.pChangedRows) ctx.pChangedRows->SetNextChangedRows(picture.nChangedTop, picture.nChangedRows);
    unsigned char* out = nullptr;
    int outLen = 0;
    std::uint32_t timestamp = picture.timestamp;
    int type = codec->Encode(bytes, static_cast<int>(length), ctx.param.width, ctx.param.height,
                             &out, &outLen, &timestamp);
    // The codec read the picture during the call: a pooled picture goes back
    // before anyone hears of the frame.
    if (picture.data) picture.data->DestroyPackage();
    picture.data = nullptr;
    picture.hold.reset();
    DeliverFrame(codec, ctx, type, out, outLen, timestamp);
}

void CVideoEncodingWorker::DrainEncoder(CUcH264codec* codec, ThreadContext& ctx) {
    for (int i = 0; i < kMaxDrainedFrames; ++i) {
        unsigned char* out = nullptr;
        int outLen = 0;
        std::uint32_t timestamp = 0;
        int type = codec->Flush(&out, &outLen, &timestamp);
        if (type == UC_H264_FRAME_NONE || !out || outLen <= 0) return;
        DeliverFrame(codec, ctx, type, out, outLen, timestamp);
    }
}

void CVideoEncodingWorker::DeliverFrame(CUcH264codec* codec, ThreadContext& ctx, int type,
                                        unsigned char* out, int outLen, std::uint32_t timestamp) {
    if (type == UC_H264_FRAME_NONE || !out || outLen <= 0) {
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, "Invaild type");
        return;
    }
    bool key = IsKeyFrame(type);
    if (ctx.bNeedConfig && key) {
        unsigned char* config = nullptr;
        int configLen = 0;
        if (codec->GetAVCConfig(&config, &configLen) != 0 || !config || configLen <= 0) {
            UC_LOG_THIS(CLogWrapper::LOG_WARNING, "Invaild AvgData");
            return;
        }
        CDataPackage configPackage(static_cast<std::size_t>(configLen), config,
                                   CDataPackage::FLAG_WRAP, static_cast<std::size_t>(configLen));
        if (ctx.pMux) ctx.pMux->SetVideoConfig(configPackage);
        ctx.bNeedConfig = false;
    }
    CDataPackage frame(static_cast<std::size_t>(outLen), out, CDataPackage::FLAG_WRAP,
                       static_cast<std::size_t>(outLen));
    if (ctx.pMux) ctx.pMux->PushMediaData(true, key, &frame, timestamp);
    if (ctx.pObserver) ctx.pObserver->OnVideoFrameEncoded();
}
