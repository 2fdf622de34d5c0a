#include "tstoflvconverter.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "aacframe/adtsheader.h"
#include "avcsps.h"
#include "basekit/datapackage.h"
#include "basekit/resultcodes.h"
#include "flvinput.h"
#include "flvio/aacutil.h"
#include "flvio/flviotag.h"
#include "flvio/flvwriter.h"
#include "flvio/ts/tsreader.h"
#include "flvio/ts/tsvideoflv.h"
#include "flvio/ts/tswriter.h"
#include "stopsignals.h"

namespace {

constexpr int kAudioOnly = 0;
constexpr int kVideoOnly = 1;
constexpr int kAudioAndVideo = 2;
constexpr std::int64_t kWrap33 = std::int64_t{1} << 33;
constexpr unsigned kAacFrameSamples = 1024;

// FLV's first audio byte for an MP3 frame header: rate, size and channels.
unsigned char Mp3SoundByte(const unsigned char* h, std::size_t len) {
    FlvSoundRate rate = FLV_RATE_44KHZ;
    bool mono = false;
    if (len >= 4 && h[0] == 0xFF && (h[1] & 0xE0) == 0xE0) {
        const int version = (h[1] >> 3) & 0x03;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
        const int rateIndex = (h[2] >> 2) & 0x03;
        if (version == 2 && rateIndex == 0) rate = FLV_RATE_22KHZ;
        if (version == 0 && rateIndex == 0) rate = FLV_RATE_11KHZ;
        mono = ((h[3] >> 6) & 0x03) == 3;
    }
    return CFlvioTag::GetAudioType(FLV_SOUND_MP3, rate, 0, mono ? 1 : 0);
}

// Tags held back at most while the first tag of every stream is looked for.
constexpr std::size_t kMaxPending = 4096;

std::int64_t TagTime(const CTsTag& tag) { return tag.GetDts() >= 0 ? tag.GetDts() : tag.GetTimeStamp(); }

std::int64_t EarliestTime(const CTsTagList& tags) {
    std::int64_t earliest = -1;
    for (const CTsTagPtr& tag : tags) {
        const std::int64_t t = TagTime(*tag.Get());
        if (t >= 0 && (earliest < 0 || t < earliest)) earliest = t;
    }
    return earliest;
}

// The package's bytes in one piece: in place for a single block, else
// flattened into `flat`.
std::pair<const unsigned char*, std::size_t> Contiguous(const CDataPackage& package, std::string& flat) {
    if (!package.GetNext()) return {package.GetReadPtr(), package.GetPackageLength()};
    flat = package.FlattenPackage();
    return {reinterpret_cast<const unsigned char*>(flat.data()), flat.size()};
}

}  // namespace

bool CTsToFlvConverter::SawEveryStream(const CTsTagList& tags) const {
    bool video = !m_bHaveVideo;
    bool audio = !m_bHaveAudio;
    for (const CTsTagPtr& tag : tags) {
        const int type = tag->GetType();
        if (type == CTsTag::TS_TAG_AAC || type == CTsTag::TS_TAG_MP3) {
            audio = true;
        } else if (type == TS_TAG_SLICE || type == TS_TAG_IDR) {
            video = true;
        }
    }
    return video && audio;
}

CTsToFlvConverter::CTsToFlvConverter() = default;

CTsToFlvConverter::~CTsToFlvConverter() = default;

std::uint32_t CTsToFlvConverter::ToMs(std::int64_t ticks) {
    if (ticks < 0) ticks = m_nBase < 0 ? 0 : m_nBase;
    if (m_nBase < 0) m_nBase = ticks;
    std::int64_t rel = ticks - m_nBase;
    // Time stamps are 33 bits: a step back by more than half the range is a wrap.
    if (rel < -(kWrap33 / 2)) rel += kWrap33;
    if (rel < 0) rel = 0;
    const std::uint32_t ms = static_cast<std::uint32_t>((rel + 45) / 90);
    if (ms > m_dwMaxTimeStamp) m_dwMaxTimeStamp = ms;
    return ms;
}

int CTsToFlvConverter::Open(const std::string& out) {
    for (const CTSReader::StreamInfo& s : m_pReader->GetStreams()) {
        if (s.nCodec == CODEC_ID_H264) m_bHaveVideo = true;
        if (s.nCodec == CODEC_ID_AAC || s.nCodec == CODEC_ID_MP3) {
            m_bHaveAudio = true;
            m_bMp3 = m_bMp3 || s.nCodec == CODEC_ID_MP3;
        }
    }
    m_pWriter = std::make_unique<CFlvWriter>();
    const int kinds = m_bHaveAudio && !m_bHaveVideo ? kAudioOnly
                      : m_bHaveVideo && !m_bHaveAudio ? kVideoOnly
                                                      : kAudioAndVideo;
    int rv = m_pWriter->Init(out, 0, 0, kinds);
    if (rv != 0) {
        m_strError = "cannot create " + out + ": " + std::strerror(rv);
        return rv;
    }
    rv = m_pWriter->CreateMetaData(0, 0, 0, 0, 0, m_bHaveVideo ? FLV_CODEC_AVC : 0, 0, 0.0,
                                   m_bHaveAudio ? (m_bMp3 ? FLV_SOUND_MP3 : FLV_SOUND_AAC) : 0, 1,
                                   m_dwMetaDataPos, m_dwMetaDataLen, 1);
    if (rv != 0) m_strError = "cannot write " + out + ": writer result " + std::to_string(rv);
    return rv;
}

int CTsToFlvConverter::WriteVideo(const CTsTag& tag) {
    const int type = tag.GetType();
    if (type != TS_TAG_SLICE && type != TS_TAG_IDR && type != TS_TAG_SPS && type != TS_TAG_PPS) return 0;
    AVCPackageType outType = AVC_PACKAGE_INTER;
    CDataPackage* out = nullptr;
    if (m_pVideo->Transfer(static_cast<TsTagType>(type), *tag.GetData(), outType, out) != 0 || !out) return 0;
    // The converter's package goes behind the 5 FLV bytes as it is.
    struct ChainRelease {
        void operator()(CDataPackage* p) const { p->DestroyPackage(); }
    };
    std::unique_ptr<CDataPackage, ChainRelease> unit(out);
    const std::int64_t dts = TagTime(tag);
    unsigned char head[5] = {0, 0, 0, 0, 0};
    if (outType == AVC_PACKAGE_CONFIG) {
        // A record goes out once per change (the stream repeats its parameter sets).
        const std::string record = out->FlattenPackage();
        if (record == m_strConfigRecord) return 0;
        m_strConfigRecord = record;
        CAvcSps sps;
        if (sps.ParseDecoderConfig(reinterpret_cast<const std::uint8_t*>(record.data()), record.size())) {
            m_nWidth = sps.GetWidth();
            m_nHeight = sps.GetHeight();
        }
        head[0] = CFlvioTag::GetVideoType(FLV_FRAME_KEY, FLV_CODEC_AVC);
        head[1] = 0;
    } else {
        std::int64_t cts = 0;
        if (tag.GetTimeStamp() >= 0 && dts >= 0) cts = (tag.GetTimeStamp() - dts + 45) / 90;
        if (cts < -0x800000 || cts > 0x7FFFFF) cts = 0;
        head[0] = CFlvioTag::GetVideoType(outType == AVC_PACKAGE_KEY ? FLV_FRAME_KEY : FLV_FRAME_INTER,
                                          FLV_CODEC_AVC);
        head[1] = 1;
        head[2] = static_cast<unsigned char>((cts >> 16) & 0xFF);
        head[3] = static_cast<unsigned char>((cts >> 8) & 0xFF);
        head[4] = static_cast<unsigned char>(cts & 0xFF);
        ++m_nVideoFrames;
    }
    std::unique_ptr<CDataPackage, ChainRelease> body(new CDataPackage(sizeof head, head, CDataPackage::FLAG_NONE,
                                                                     sizeof head));
    body->Append(unit.release());
    const std::uint32_t ms = outType == AVC_PACKAGE_CONFIG && m_nBase < 0 && dts < 0 ? 0 : ToMs(dts);
    return m_pWriter->WriteVideo(ms, *body, 0, nullptr);
}

int CTsToFlvConverter::WriteAac(const CTsTag& tag) {
    std::string flat;
    const std::pair<const unsigned char*, std::size_t> bytes = Contiguous(*tag.GetData(), flat);
    const unsigned char* p = bytes.first;
    const std::string_view pes(reinterpret_cast<const char*>(p), bytes.second);
    std::size_t pos = 0;
    unsigned index = 0;
    while (pos + CAdtsHeader::kHeaderBytes <= pes.size()) {
        const unsigned char* h = p + pos;
        CAdtsHeader adts;
        if (!CAdtsHeader::Parse(h, pes.size() - pos, adts) || !adts.bSync) {
            ++pos;  // not at a frame: look for the next sync word
            continue;
        }
        const std::size_t frameLen = adts.frameBytes;
        const std::size_t headerLen = CAdtsHeader::HeaderLength(h[0], h[1]);
        if (frameLen <= headerLen || pos + frameLen > pes.size()) break;
        char config[5];
        unsigned configLen = sizeof config;
        if (!GetAACConfigureFromAdts(reinterpret_cast<const char*>(h), CAdtsHeader::kHeaderBytes, config, &configLen)) {
            pos += frameLen;
            continue;
        }
        const unsigned rate = CAdtsHeader::SampleRate(adts.rateIndex) ? CAdtsHeader::SampleRate(adts.rateIndex) : 44100;
        const std::int64_t pts = tag.GetTimeStamp() < 0
                                     ? -1
                                     : tag.GetTimeStamp() + static_cast<std::int64_t>(index) * kAacFrameSamples * 90000 / rate;
        const std::uint32_t ms = ToMs(pts);
        const unsigned char first = CFlvioTag::GetAudioType(FLV_SOUND_AAC, FLV_RATE_44KHZ, 0, 0);
        int rv = 0;
        if (m_strAacConfig != std::string(config, configLen)) {
            m_strAacConfig.assign(config, configLen);
            CDataPackage header(2 + configLen);
            const unsigned char lead[2] = {first, 0};
            header.Write(lead, 2);
            header.Write(config, configLen);
            rv = m_pWriter->WriteAudio(ms, header, 0, nullptr);
        }
        if (rv == 0) {
            CDataPackage body(2 + frameLen - headerLen);
            const unsigned char lead[2] = {first, 1};
            body.Write(lead, 2);
            body.Write(h + headerLen, frameLen - headerLen);
            rv = m_pWriter->WriteAudio(ms, body, 0, nullptr);
        }
        if (rv != 0) return rv;
        ++m_nAudioFrames;
        ++index;
        pos += frameLen;
    }
    return 0;
}

int CTsToFlvConverter::WriteMp3(const CTsTag& tag) {
    const std::string pes = tag.GetData()->FlattenPackage();
    const unsigned char first = Mp3SoundByte(reinterpret_cast<const unsigned char*>(pes.data()), pes.size());
    CDataPackage body(1 + pes.size());
    body.Write(&first, 1);
    body.Write(pes.data(), pes.size());
    ++m_nAudioFrames;
    return m_pWriter->WriteAudio(ToMs(tag.GetTimeStamp()), body, 0, nullptr);
}

int CTsToFlvConverter::WriteTag(const CTsTag& tag) {
    if (!tag.GetData()) return 0;
    int rv = 0;
    if (tag.GetType() == CTsTag::TS_TAG_AAC) {
        rv = WriteAac(tag);
    } else if (tag.GetType() == CTsTag::TS_TAG_MP3) {
        rv = WriteMp3(tag);
    } else {
        rv = WriteVideo(tag);
    }
    if (rv == 0 && m_pWriter->GetLastWriteError() != 0) rv = m_pWriter->GetLastWriteError();
    if (rv != 0) {
        m_strError = "cannot write " + m_strOut + ": " +
                     (m_pWriter->GetLastWriteError() ? std::strerror(m_pWriter->GetLastWriteError())
                                                     : "writer result " + std::to_string(rv));
    }
    return rv;
}

void CTsToFlvConverter::ShowProgress(std::int64_t position) {
    if (!m_bShowProgress || m_nInSize == 0) return;
    const unsigned percent = static_cast<unsigned>(static_cast<std::uint64_t>(position) * 100 / m_nInSize);
    if (percent == m_nLastPercent) return;
    m_nLastPercent = percent;
    std::fprintf(stderr, "\rflvtool: from-ts %3u%%", percent > 100 ? 100 : percent);
    std::fflush(stderr);
}

int CTsToFlvConverter::Finish() {
    const unsigned duration = m_dwMaxTimeStamp / 1000;
    unsigned long pos = m_dwMetaDataPos;
    unsigned long len = 0;
    int rv = m_pWriter->Seek(static_cast<long>(m_dwMetaDataPos), 0);
    if (rv == 0) {
        rv = m_pWriter->CreateMetaData(duration, m_nWidth, m_nHeight, 0, 0, m_bHaveVideo ? FLV_CODEC_AVC : 0, 0,
                                       0.0, m_bHaveAudio ? (m_bMp3 ? FLV_SOUND_MP3 : FLV_SOUND_AAC) : 0, 1,
                                       pos, len, 1);
    }
    m_pWriter->Flush();
    m_pWriter->Finished();
    const int writeError = m_pWriter->GetLastWriteError();
    if (rv == 0 && writeError == 0 && len == m_dwMetaDataLen) return 0;
    if (!m_strError.empty()) m_strError += "; ";
    m_strError += "cannot patch the duration in " + m_strOut;
    return rv ? rv : writeError ? writeError : -1;
}

int CTsToFlvConverter::Convert(const std::string& in, const std::string& out, bool follow, unsigned pollMs) {
    m_strOut = out;
    if (CFlvInput::SameFile(in, out)) {
        m_strError = "IN and OUT are the same file";
        return CONVERT_SAME_FILE;
    }
    struct stat st {};
    if (::stat(in.c_str(), &st) != 0) {
        m_strError = "cannot open " + in + ": " + std::strerror(errno);
        return CONVERT_FAILED;
    }
    m_nInSize = CFlvInput::FileSize(in);
    std::unique_ptr<CStopSignals> stop;
    if (follow) stop = std::make_unique<CStopSignals>();
    m_pReader = std::make_unique<CTSReader>();
    m_pVideo = std::make_unique<CTs2FlvH264>();
    int rv = m_pReader->Init(in, 0, follow ? 0 : 1, 0);
    if (rv != 0) {
        m_strError = rv == UC_ERR_BAD_DATA ? "damaged file at offset 0: no transport stream packets"
                                 : "cannot open " + in + ": " + std::strerror(rv);
        return rv == UC_ERR_BAD_DATA ? CONVERT_DAMAGED : CONVERT_FAILED;
    }
    bool stopping = false;
    bool opened = false;
    int result = CONVERT_OK;
    CTsTagList tags;
    CTsTagList pending;
    for (;;) {
        tags.clear();
        rv = m_pReader->mpegts_read_packet(tags);
        if (!opened && (!tags.empty() || rv != CTSReader::TS_READ_AGAIN)) {
            if (m_pReader->GetStreams().empty()) {
                if (rv == CTSReader::TS_READ_AGAIN) continue;
                m_strError = "damaged file at offset " + std::to_string(m_pReader->GetPosition()) +
                             ": no program map table with a stream";
                return CONVERT_DAMAGED;
            }
            if (Open(out) != 0) return CONVERT_FAILED;
            opened = true;
        }
        // The time line starts at the earliest time stamp of the first tags
        // of every stream (a muxer may put a stream's first PES late).
        pending.splice(pending.end(), tags);
        if (m_nBase < 0 && rv == CTSReader::TS_READ_OK && !SawEveryStream(pending) &&
            pending.size() < kMaxPending) {
            continue;
        }
        if (m_nBase < 0) m_nBase = EarliestTime(pending);
        for (const CTsTagPtr& tag : pending) {
            if (WriteTag(*tag.Get()) != 0) {
                Finish();
                return CONVERT_FAILED;
            }
        }
        pending.clear();
        if (rv == CTSReader::TS_READ_OK) {
            ShowProgress(m_pReader->GetPosition());
            continue;
        }
        if (rv == CTSReader::TS_READ_AGAIN && follow && !stopping) {
            if (stop->WaitForStop(pollMs)) {
                // Read what the file holds now as a finished file.
                stopping = true;
                m_pReader->Finished(in, 0, 1);
            }
            continue;
        }
        // The end, or lost sync.
        const std::uint64_t size = CFlvInput::FileSize(in);
        if (rv == CTSReader::TS_READ_END && static_cast<std::uint64_t>(m_pReader->GetPosition()) < size) {
            m_strError = "damaged file at offset " + std::to_string(m_pReader->GetPosition()) +
                         ": no sync byte in the next 65536 bytes";
            result = CONVERT_DAMAGED;
        }
        break;
    }
    if (m_bShowProgress && m_nLastPercent <= 100) std::fputc('\n', stderr);
    if (!opened) {
        m_strError = "damaged file at offset 0: no program map table";
        return CONVERT_DAMAGED;
    }
    if (Finish() != 0) return CONVERT_FAILED;
    return result;
}
