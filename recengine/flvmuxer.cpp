#include "flvmuxer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <utility>

#include "aacframe/adtsheader.h"
#include "basekit/datapackage.h"
#include "basekit/logwrapper.h"
#include "basekit/resultcodes.h"
#include "basekit/tickcount.h"
#include "basekit/timevaluewrapper.h"
#include "flvio/aacutil.h"
#include "flvio/flviotag.h"
#include "flvio/flvwriter.h"
#include "flvio/recordingmarker.h"
#include "recengine/enginecodes.h"

namespace {

constexpr std::size_t kVideoTagHeaderLen = 5;
// The first byte of a video tag body: frame type << 4 | codec.
constexpr std::uint8_t kAvcKeyFrame = (FLV_FRAME_KEY << 4) | FLV_CODEC_AVC;      // 0x17
constexpr std::uint8_t kAvcInterFrame = (FLV_FRAME_INTER << 4) | FLV_CODEC_AVC;  // 0x27
// The AVC packet type (second byte): sequence header or coded frame; the
// AAC packet type likewise.
constexpr std::uint8_t kAvcSequenceHeader = 0x00;
constexpr std::uint8_t kAvcNalu = 0x01;
constexpr std::uint8_t kAacSequenceHeader = 0x00;
constexpr std::uint8_t kAacRaw = 0x01;
// The sample-size and channel arguments of the audio byte: 0 is 16-bit and
// stereo.
constexpr int kAac16Bit = 0;
constexpr int kAacStereo = 0;
// onMetaData: the codec IDs it names, and the flag that writes every key so
// that the tag keeps its size when it is rewritten at the end.
constexpr unsigned kMetaVideoCodecId = FLV_CODEC_AVC;
constexpr unsigned kMetaAudioCodecId = FLV_SOUND_AAC;
constexpr int kMetaAllKeys = 1;

// The ADTS header in front of an AAC frame: 7 bytes, 9 when a CRC follows.
std::size_t AdtsHeaderLength(const CDataPackage& frame) {
    std::uint8_t head[2] = {0, 0};
    if (frame.Peek(head, sizeof head) != CDataPackage::PKG_OK) return CAdtsHeader::kHeaderBytes;
    return CAdtsHeader::HeaderLength(head[0], head[1]);
}

// Difference b - a of two 32-bit engine-clock values that may have wrapped.
std::int64_t ClockDiff(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(b - a);
}

}  // namespace

CFlvMuxer::CFlvMuxer() = default;

CFlvMuxer::~CFlvMuxer() {
    if (m_Worker.IsRunning()) Stop();
    m_pFlv.reset();
    if (m_nSyncFd >= 0) ::close(m_nSyncFd);
    if (m_pVideoHeader) m_pVideoHeader->DestroyPackage();
}

int CFlvMuxer::Init(const char* path, std::uint16_t nWidth, std::uint16_t nHeight,
                    std::uint16_t nFps, std::uint16_t wSampleRate, std::uint16_t wChannLayout,
                    int VideoType, int AudioType, std::uint32_t bHaveVideo,
                    std::uint32_t bHaveAudio, std::uint32_t bNeedBackup, IMuxErrorNotify* notify) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_pErrorNotify = notify;
    // Paths are UTF-8 end to end here, which is also the locale's encoding.
    std::string strFilePath = path ? path : "";
    UC_LOG_THIS(CLogWrapper::LOG_INFO,
                "flv muxer param, strFilePathTmp(ansi)= "
                    << strFilePath << ", strFilePathTmp(UTF8)= " << strFilePath
                    << ", nWidth=" << nWidth << ", nHeight=" << nHeight << ", nFps=" << nFps
                    << ", wSampleRate= " << wSampleRate << ", wChannLayout=" << wChannLayout
                    << ", VideoType=" << VideoType << ", AudioType=" << AudioType
                    << ", bHaveVideo=" << TrueFalse(bHaveVideo) << ", bHaveAudio="
                    << TrueFalse(bHaveAudio) << ", bNeedBackup=" << TrueFalse(bNeedBackup));
    if (m_Worker.IsRunning()) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- CreateThread fail, the muxer runs already");
        return MUX_INIT_NO_THREAD;
    }
    m_wWidth = nWidth;
    m_wHeight = nHeight;
    m_wFps = nFps;

    m_pFlv.reset(new (std::nothrow) CFlvWriter());
    if (!m_pFlv) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- ULL == m_pFlv");
        return MUX_INIT_NO_OUTPUT;
    }
    int rv = m_pFlv->Init(strFilePath, 0, 0, 2);
    if (rv != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- flv init fail, error= " << rv);
        return MUX_INIT_WRITER_FAILED;
    }
    m_strPath = strFilePath;
    m_bMarked = CRecordingMarker::Create(m_strPath);
    if (!m_bMarked)
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, "cannot write the marker " << CRecordingMarker::PathFor(m_strPath));
    if (m_nSyncFd >= 0) ::close(m_nSyncFd);
    m_nSyncFd = ::open(m_strPath.c_str(), O_RDONLY | O_CLOEXEC);
    m_nLastSyncMs = GetTickMs();
    rv = m_pFlv->CreateMetaData(0, m_wWidth, m_wHeight, 0, 0, kMetaVideoCodecId, 0, 0.0,
                                kMetaAudioCodecId, 1, m_dwMetaDataPos, m_dwMetaDataLen, kMetaAllKeys);
    if (rv != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- flv CreateMetaData fail, error= " << rv);
        return MUX_INIT_METADATA;
    }
    rv = m_pFlv->CreateAudioStream(FLV_SOUND_AAC, FLV_RATE_44KHZ, kAac16Bit, kAacStereo,
                                   m_dwAudioStreamId);
    if (rv != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- flv CreateAudioStream fail, error= " << rv);
        return MUX_INIT_AUDIO_STREAM;
    }
    rv = m_pFlv->CreateVideoStream(FLV_CODEC_AVC, m_dwVideoStreamId);
    if (rv != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- flv CreateVideoStream fail, error= " << rv);
        return MUX_INIT_VIDEO_STREAM;
    }
    // The audio byte of the declared stream (0xAF: AAC, 44 kHz, 16-bit,
    // stereo), then the AAC packet type of a raw frame.
    m_abAudioTagHeader[0] = CFlvioTag::GetAudioType(FLV_SOUND_AAC, FLV_RATE_44KHZ, kAac16Bit, kAacStereo);
    m_abAudioTagHeader[1] = kAacRaw;
    std::uint64_t now = GetTickMs();
    m_allLastPushMs[kAudio] = m_allLastPushMs[kVideo] = now;
    if (m_Worker.Start(&CFlvMuxer::PumpThread, this, "tv-flvmux") != CWorkerQueue::START_OK) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- CreateThread fail");
        return MUX_INIT_NO_THREAD;
    }
    return 0;
}

bool CFlvMuxer::MapTimestamp(std::uint32_t timestamp, bool bVideo, std::uint32_t& mapped) {
    std::int64_t rel = ClockDiff(m_dwBaseTimestamp, timestamp);
    if (rel <= 0) {
        mapped = 0;
        return true;
    }
    std::int64_t removed = 0;
    Pause* inside = nullptr;
    for (Pause& pause : m_Pauses) {
        std::int64_t begin = std::max<std::int64_t>(ClockDiff(m_dwBaseTimestamp, pause.dwBeginMs), 0);
        std::int64_t end = pause.bOpen ? INT64_MAX : ClockDiff(m_dwBaseTimestamp, pause.dwEndMs);
        if (end <= begin || rel <= begin) continue;  // before the base, or after this packet
        if (rel >= end) {
            // Pictures placed inside it keep 1 ms each, and one more, so that
            // the pictures after the pause come later still.
            std::int64_t kept = pause.dwPictures ? pause.dwPictures + 1 : 0;
            removed += (end - begin) - std::min(kept, end - begin);
        } else {
            removed += rel - begin;
            inside = &pause;
            break;
        }
    }
    mapped = static_cast<std::uint32_t>(rel - removed);
    if (!inside) return true;
    if (bVideo) mapped += ++inside->dwPictures;
    return false;
}

void CFlvMuxer::PushMediaData(bool bVideo, bool bKeyFrame, CDataPackage* payload,
                              std::uint32_t timestampMs) {
    std::unique_lock<std::mutex> lock(m_Lock);
    if (!m_bHaveBase) {
        m_dwBaseTimestamp = timestampMs;
        m_bHaveBase = true;
    }
    // Sound from before the first packet would pile up at time 0 and push the
    // rest of the sound late against the pictures: it is left out.
    if (!bVideo && ClockDiff(m_dwBaseTimestamp, timestampMs) < 0) return;
    std::uint32_t mapped = 0;
    bool outsidePause = MapTimestamp(timestampMs, bVideo, mapped);
    // Sound stamped while paused is left out of both files; pictures stay
    // (later frames refer to them) and take no time at the pause's start.
    if (!bVideo && !outsidePause) return;
    for (IMUXPushData* sub : m_SubMuxers) sub->PushMediaData(bVideo, bKeyFrame, payload, timestampMs);

    // Producers hand over packages that wrap their codec's output buffer.
    MediaPacket packet;
    packet.data = CDataPackage::CopyPackage(payload);
    packet.timestamp = mapped;
    packet.bKeyFrame = bKeyFrame;
    packet.bVideo = bVideo;
    Stream stream = bVideo ? kVideo : kAudio;
    if (bVideo) ++m_nVideoPushed;
    m_adwNewestMs[stream] = m_abPushed[stream] ? std::max(m_adwNewestMs[stream], mapped) : mapped;
    m_abPushed[stream] = true;
    m_allLastPushMs[stream] = GetTickMs();
    // Queued after the lock is let go: the writer thread this wakes takes
    // the same lock at once, and would only block on it again. Each stream
    // has one pushing thread, so its packets still queue in order.
    lock.unlock();
    m_Worker.Push(std::move(packet));
}

std::uint32_t CFlvMuxer::SetVideoConfig(CDataPackage& config) {
    std::lock_guard<std::mutex> lock(m_Lock);
    std::string bytes = config.FlattenPackage();
    if (m_pVideoHeader) {
        std::string current = m_pVideoHeader->FlattenPackage();
        if (current.size() >= kVideoTagHeaderLen &&
            current.compare(kVideoTagHeaderLen, std::string::npos, bytes) == 0)
            return 0;
    }
    static const std::uint8_t kHeader[kVideoTagHeaderLen] = {kAvcKeyFrame, kAvcSequenceHeader, 0x00,
                                                             0x00, 0x00};
    auto* header = new CDataPackage(kVideoTagHeaderLen + bytes.size());
    header->Write(kHeader, sizeof kHeader);
    header->Write(bytes.data(), bytes.size());
    if (m_pVideoHeader) m_pVideoHeader->DestroyPackage();
    m_pVideoHeader = header;
    // The writer switches to it at the next picture pushed from now on and
    // writes it before the next key frame.
    m_PendingVideoHeaders.push_back({m_nVideoPushed, header->FlattenPackage()});
    return 0;
}

int CFlvMuxer::SetPause(bool paused) {
    std::lock_guard<std::mutex> lock(m_Lock);
    auto now = static_cast<std::uint32_t>(GetTickMs());
    bool open = !m_Pauses.empty() && m_Pauses.back().bOpen;
    if (paused) {
        if (open) return 0;
        m_dwPauseBeginMs = now;
        Pause pause;
        pause.dwBeginMs = now;
        m_Pauses.push_back(pause);
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "pause at " << now);
        return 0;
    }
    // A resume without a pause changes nothing.
    if (!open) return 0;
    m_Pauses.back().dwEndMs = now;
    m_Pauses.back().bOpen = false;
    m_dwPausedMs += now - m_dwPauseBeginMs;
    m_dwPauseBeginMs = 0;
    // Neither stream pushes while paused, and neither was silent for that:
    // the interleave wait starts over here. Otherwise the first sound after
    // the pause would be written at once, ahead of the pictures stamped
    // before it that the encoder has not handed over yet.
    m_allLastPushMs[kAudio] = m_allLastPushMs[kVideo] = GetTickMs();
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "resume at " << now << ", paused ms=" << m_dwPausedMs);
    return 0;
}

std::uint32_t CFlvMuxer::AddSubMuxer(IMUXPushData* other) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (other && other != this) m_SubMuxers.insert(other);
    return 0;
}

std::uint32_t CFlvMuxer::GetPausedMs() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_dwPausedMs;
}

int CFlvMuxer::Stop() {
    m_Worker.Stop();
    std::lock_guard<std::mutex> lock(m_Lock);
    m_pFlv.reset();
    return 0;
}

UC_WORKER_THREAD_ENTRY(CFlvMuxer, PumpThread, PumpLoop)

int CFlvMuxer::PumpLoop() {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Thread Working now");
    IMuxErrorNotify* notify = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        notify = m_pErrorNotify;
    }
    bool holding = false;
    std::uint64_t holdUntilMs = 0;
    bool stopping = false;
    while (!stopping) {
        // A packet kept back is written when the other stream catches up
        // (a push wakes the thread) or, at the latest, when the other stream
        // has been silent for the interleave wait: the only time to wake
        // without a push.
        const auto waitMs = static_cast<long long>(holdUntilMs) - static_cast<long long>(GetTickMs());
        const CTimeValueWrapper hold = CTimeValueWrapper::FromMilliseconds(std::max(1LL, waitMs));
        stopping = m_Worker.Wait(holding ? &hold : nullptr) == CWorkerQueue::WAKE_STOP;
        int code = 0;
        Stream failed = kAudio;
        bool sync = false;
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            for (MediaPacket& packet : m_Worker.TakeAll())
                (packet.bVideo ? m_VideoQueue : m_AudioQueue).push_back(std::move(packet));
            // At stop everything still queued is written, in order, before
            // the file is finished.
            code = WriteQueued(stopping, holding, failed);
            holdUntilMs = m_nHoldUntilMs;
            if (code == 0 && stopping) {
                code = FinishFile();
                if (code != 0) {
                    UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- Finish Fail, errorcode= " << code);
                }
            } else if (code != 0) {
                UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- Write Fail(" << (failed == kAudio ? 1 : 2)
                                                                       << "), errorcode= " << code);
            }
            sync = code == 0 && !stopping && GetTickMs() - m_nLastSyncMs >= kSyncIntervalMs;
        }
        // The tags flushed so far reach the disk; pushing threads go on meanwhile.
        if (sync) SyncFile();
        if (code != 0) {
            // Outside the muxer lock: the engine takes its own lock here.
            if (notify) notify->OnMuxError(code);
            UC_LOG_THIS(CLogWrapper::LOG_INFO, "Thread go stop");
            return -1;
        }
    }
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Thread go stop");
    return 0;
}

bool CFlvMuxer::MayWrite(Stream stream, std::uint32_t timestamp, std::uint64_t nowMs) const {
    Stream other = stream == kAudio ? kVideo : kAudio;
    if (m_abPushed[other] && timestamp <= m_adwNewestMs[other]) return true;
    if (m_abPushed[stream] && m_adwNewestMs[stream] - timestamp >= kInterleaveWaitMs) return true;
    return nowMs - m_allLastPushMs[other] >= kInterleaveWaitMs;
}

int CFlvMuxer::WriteQueued(bool bDrainAll, bool& bHolding, Stream& failed) {
    bHolding = false;
    bool wrote = false;
    std::uint64_t now = GetTickMs();
    for (;;) {
        bool haveAudio = !m_AudioQueue.empty();
        bool haveVideo = !m_VideoQueue.empty();
        if (!haveAudio && !haveVideo) break;
        Stream stream = haveAudio && (!haveVideo || m_AudioQueue.front().timestamp <=
                                                        m_VideoQueue.front().timestamp)
                            ? kAudio
                            : kVideo;
        std::list<MediaPacket>& queue = stream == kAudio ? m_AudioQueue : m_VideoQueue;
        MediaPacket& packet = queue.front();
        bool otherQueued = stream == kAudio ? haveVideo : haveAudio;
        if (!bDrainAll && !otherQueued && !MayWrite(stream, packet.timestamp, now)) {
            bHolding = true;
            m_nHoldUntilMs = m_allLastPushMs[stream == kAudio ? kVideo : kAudio] + kInterleaveWaitMs;
            break;
        }
        PlaceAfterWritten(stream, packet);
        int code = stream == kAudio ? WriteAudioPacket(packet) : WriteVideoPacket(packet);
        if (code != 0) {
            failed = stream;
            return code;
        }
        m_dwLastTimestamp = std::max(m_dwLastTimestamp, packet.timestamp);
        m_adwLastWrittenMs[stream] = packet.timestamp;
        m_abWritten[stream] = true;
        queue.pop_front();
        wrote = true;
    }
    if (wrote) {
        // Buffered tags reach the file now, so that a file that cannot grow
        // is noticed with this batch.
        m_pFlv->Flush();
        if (m_pFlv->GetLastWriteError() != 0) {
            failed = m_nLastGrowCode <= ERR_AUDIO_FRAME_WRITE ? kAudio : kVideo;
            return m_nLastGrowCode;
        }
    }
    return 0;
}

void CFlvMuxer::PlaceAfterWritten(Stream stream, MediaPacket& packet) {
    if (!m_abWritten[stream]) return;
    const std::uint32_t earliest = m_adwLastWrittenMs[stream] + 1;
    if (packet.timestamp >= earliest) return;
    if (m_nLatePackets++ == 0) {
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, "out of order " << (stream == kAudio ? "audio" : "video")
                                                      << " packet at " << packet.timestamp
                                                      << " written at " << earliest);
    }
    packet.timestamp = earliest;
}

int CFlvMuxer::WriteTag(bool bVideo, std::uint32_t timestamp, CDataPackage& body, int growCode) {
    if (!m_pFlv) return UC_ERR_NO_WRITER;
    unsigned long tagPos = 0;
    int rv = bVideo ? m_pFlv->WriteVideo(timestamp, body, m_dwVideoStreamId, &tagPos)
                    : m_pFlv->WriteAudio(timestamp, body, m_dwAudioStreamId, &tagPos);
    if (rv != 0) return rv;
    m_nLastGrowCode = growCode;
    // A tag that starts where the previous one did means that the previous
    // write did not make the file grow.
    if (static_cast<std::uint32_t>(tagPos) == m_dwLastTagPos) return growCode;
    m_dwLastTagPos = static_cast<std::uint32_t>(tagPos);
    if (m_pFlv->GetLastWriteError() != 0) return growCode;
    return 0;
}

int CFlvMuxer::WriteAudioHeader(const MediaPacket& packet) {
    char adts[CAdtsHeader::kHeaderBytes];
    if (!packet.data || packet.data->Peek(adts, sizeof adts) != CDataPackage::PKG_OK)
        return ERR_SHORT_AUDIO_HEADER;
    char config[5];
    unsigned configLen = sizeof config;
    if (!GetAACConfigureFromAdts(adts, sizeof adts, config, &configLen)) return ERR_BAD_ADTS_HEADER;
    CDataPackage body(2 + configLen);
    const std::uint8_t kHeader[2] = {m_abAudioTagHeader[0], kAacSequenceHeader};
    body.Write(kHeader, sizeof kHeader);
    body.Write(config, configLen);
    return WriteTag(false, packet.timestamp, body, ERR_AUDIO_HEADER_WRITE);
}

int CFlvMuxer::WriteAudioPacket(MediaPacket& packet) {
    if (!m_bAudioHeaderWritten) {
        m_bAudioHeaderWritten = 1;
        int code = WriteAudioHeader(packet);
        if (code != 0) return code;
    }
    std::size_t headerLen = AdtsHeaderLength(*packet.data);
    if (packet.data->GetPackageLength() <= headerLen) {
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, "audio packet without AAC data skipped, length="
                                                  << packet.data->GetPackageLength());
        return 0;
    }
    CDataPackage* frame = packet.data->DuplicatePackage();
    frame->AdvancePackageReadPtr(headerLen);
    CDataPackage body(sizeof m_abAudioTagHeader, m_abAudioTagHeader, CDataPackage::FLAG_NONE,
                      sizeof m_abAudioTagHeader);
    body.Append(frame);
    int code = WriteTag(false, packet.timestamp, body, ERR_AUDIO_FRAME_WRITE);
    frame->DestroyPackage();
    return code;
}

int CFlvMuxer::WriteVideoPacket(MediaPacket& packet) {
    while (!m_PendingVideoHeaders.empty() && m_PendingVideoHeaders.front().nFromPicture <= m_nVideoWritten) {
        m_strActiveVideoHeader = std::move(m_PendingVideoHeaders.front().strBody);
        m_PendingVideoHeaders.pop_front();
        m_bVideoHeaderWritten = 0;
    }
    if (!m_bVideoHeaderWritten && packet.bKeyFrame && !m_strActiveVideoHeader.empty()) {
        CDataPackage header(m_strActiveVideoHeader.size(), m_strActiveVideoHeader.data(),
                            CDataPackage::FLAG_WRAP, m_strActiveVideoHeader.size());
        int code = WriteTag(true, packet.timestamp, header, ERR_VIDEO_HEADER_WRITE);
        if (code != 0) return code;
        m_bVideoHeaderWritten = 1;
    }
    const std::uint8_t header[kVideoTagHeaderLen] = {
        packet.bKeyFrame ? kAvcKeyFrame : kAvcInterFrame, kAvcNalu, 0x00, 0x00, 0x00};
    CDataPackage body(sizeof header, header, CDataPackage::FLAG_NONE, sizeof header);
    CDataPackage* frame = packet.data ? packet.data->DuplicatePackage() : nullptr;
    body.Append(frame);
    int code = WriteTag(true, packet.timestamp, body, ERR_VIDEO_FRAME_WRITE);
    if (frame) frame->DestroyPackage();
    if (code == 0) ++m_nVideoWritten;
    return code;
}

int CFlvMuxer::FinishFile() {
    if (!m_pFlv) return UC_ERR_NO_WRITER;
    // The time line has the pauses removed already, so the last time stamp
    // is the recorded length; the writer takes whole seconds, rounded here
    // to the nearest.
    unsigned seconds = (m_dwLastTimestamp + 500) / 1000;
    unsigned long tagPos = 0, tagLen = 0;
    int rv = m_pFlv->Seek(static_cast<long>(m_dwMetaDataPos), 0);
    if (rv == 0) {
        rv = m_pFlv->CreateMetaData(seconds, m_wWidth, m_wHeight, 0, 0, kMetaVideoCodecId, 0, 0.0,
                                    kMetaAudioCodecId, 1, tagPos, tagLen, kMetaAllKeys);
    }
    m_pFlv->Flush();
    m_pFlv->Finished();
    SyncFile();
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "file finished, duration=" << seconds << ", last timestamp="
                                                                   << m_dwLastTimestamp
                                                                   << ", paused ms=" << m_dwPausedMs
                                                                   << ", late packets=" << m_nLatePackets);
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "data syncs=" << m_nSyncs << ", mean us="
                                                     << (m_nSyncs ? m_nSyncUs / m_nSyncs : 0)
                                                     << ", max us=" << m_nSyncMaxUs);
    if (rv != 0 || tagPos != m_dwMetaDataPos || tagLen != m_dwMetaDataLen ||
        m_pFlv->GetLastWriteError() != 0)
        return ERR_FINISH_FAILED;
    // Finished: a crash from now on leaves nothing to repair.
    if (m_bMarked) CRecordingMarker::Remove(m_strPath);
    m_bMarked = false;
    return 0;
}

void CFlvMuxer::SyncFile() {
    m_nLastSyncMs = GetTickMs();
    if (m_nSyncFd < 0) return;
    const auto begin = std::chrono::steady_clock::now();
    ::fdatasync(m_nSyncFd);
    const auto us = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begin).count());
    ++m_nSyncs;
    m_nSyncUs += us;
    m_nSyncMaxUs = std::max(m_nSyncMaxUs, us);
}
