#include "flvtotsconverter.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "basekit/datapackage.h"
#include "flvdamageprobe.h"
#include "flvio/aacutil.h"
#include "flvio/flviotag.h"
#include "flvio/flvreader.h"
#include "flvio/ts/tsvideoflv.h"
#include "flvio/ts/tswriter.h"
#include "hlssegmenter.h"

namespace {

constexpr int kEndOfData = 10015;
constexpr std::uint64_t kFirstTagOffset = 13;
constexpr std::size_t kMaxReadAhead = 256;
constexpr std::int64_t kTicksPerMs = 90;
constexpr int kAacObjectLc = 2;
constexpr int kAacObjectSbr = 5;

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace

void CFlvToTsConverter::TagRelease::operator()(CFlvioTag* tag) const { tag->ReleaseReference(); }

CFlvToTsConverter::CFlvToTsConverter() = default;

CFlvToTsConverter::~CFlvToTsConverter() = default;

CFlvToTsConverter::TagPtr CFlvToTsConverter::NextTag() {
    if (m_bDamaged) return nullptr;
    CFlvioTag* tag = nullptr;
    const int rv = m_pReader->GetNextTag(tag);
    if (rv == 0 && tag) {
        TagPtr held(tag);
        m_nOffset += tag->GetEncodeLen();
        return held;
    }
    if (rv != kEndOfData) {
        m_bDamaged = true;
        m_strError = "damaged file at offset " + std::to_string(m_nOffset) + ": " +
                     CFlvDamageProbe(m_strIn, m_nInSize).CheckTag(m_nOffset, rv ? rv : kEndOfData);
    }
    return nullptr;
}

int CFlvToTsConverter::WriteVideo(const std::string& body, std::uint32_t ms) {
    if (body.size() < 5 || (static_cast<unsigned char>(body[0]) & 0x0F) != FLV_CODEC_AVC) return 0;
    const auto* b = reinterpret_cast<const unsigned char*>(body.data());
    const int packetType = b[1];
    unsigned char* out = nullptr;
    unsigned long outLen = 0;
    if (packetType == 0) {
        m_pVideo->TransferFlv(AVC_PACKAGE_CONFIG, b + 5, static_cast<unsigned long>(body.size() - 5), out,
                              outLen);
        return 0;
    }
    if (packetType != 1 || body.size() <= 9) return 0;
    const bool key = (b[0] >> 4) == FLV_FRAME_KEY;
    std::int32_t cts = (b[2] << 16) | (b[3] << 8) | b[4];
    if (cts & 0x800000) cts -= 0x1000000;
    if (cts != 0) ++m_nReordered;
    if (m_pVideo->TransferFlv(key ? AVC_PACKAGE_KEY : AVC_PACKAGE_INTER, b + 5,
                              static_cast<unsigned long>(body.size() - 5), out, outLen) != 0 ||
        outLen == 0) {
        return 0;  // no configuration yet, or a malformed frame: the converter logged it
    }
    if (key && m_pSegmenter) {
        const std::string next = m_pSegmenter->CutBefore(ms);
        if (!next.empty()) {
            const int rv = m_pWriter->AddNewSeg(next);
            if (rv != 0) {
                m_strError = "cannot create " + next + ": " + std::strerror(rv);
                return rv;
            }
        }
    }
    const int rv = m_pWriter->WriteAVCVideo(static_cast<std::int64_t>(ms) * kTicksPerMs, out, outLen, key);
    if (rv != 0) return rv;
    if (m_pSegmenter) m_pSegmenter->Frame(ms);
    ++m_nVideoFrames;
    return 0;
}

int CFlvToTsConverter::WriteAudio(const std::string& body, std::uint32_t ms) {
    if (body.size() < 2) return 0;
    const auto* b = reinterpret_cast<const unsigned char*>(body.data());
    const int format = b[0] >> 4;
    const unsigned char* frame = nullptr;
    unsigned long frameLen = 0;
    if (format == FLV_SOUND_AAC) {
        if (b[1] == 0) {
            m_strAacConfig.assign(body, 2, std::string::npos);
            return 0;
        }
        if (m_strAacConfig.size() < 2 || body.size() <= 2) return 0;
        const auto* config = reinterpret_cast<const unsigned char*>(m_strAacConfig.data());
        const int objectType = (config[0] >> 3) == kAacObjectSbr ? kAacObjectSbr : kAacObjectLc;
        char adts[7];
        int adtsLen = sizeof adts;
        if (!GetAdtsFromDecInfo(adts, &adtsLen, config, objectType, static_cast<unsigned>(body.size() - 2))) {
            return 0;
        }
        m_strFrame.assign(adts, 7);
        m_strFrame.append(body, 2, std::string::npos);
        frame = reinterpret_cast<const unsigned char*>(m_strFrame.data());
        frameLen = static_cast<unsigned long>(m_strFrame.size());
    } else if (format == FLV_SOUND_MP3 || format == FLV_SOUND_MP3_8K) {
        frame = b + 1;
        frameLen = static_cast<unsigned long>(body.size() - 1);
    } else {
        return 0;
    }
    if (!m_bHaveVideo && m_pSegmenter) {
        const std::string next = m_pSegmenter->CutBefore(ms);
        if (!next.empty()) {
            const int rv = m_pWriter->AddNewSeg(next);
            if (rv != 0) {
                m_strError = "cannot create " + next + ": " + std::strerror(rv);
                return rv;
            }
        }
    }
    const int rv = m_pWriter->WriteAudio(static_cast<std::int64_t>(ms) * kTicksPerMs, frame, frameLen, 0);
    if (rv != 0) return rv;
    if (m_pSegmenter) m_pSegmenter->Frame(ms);
    ++m_nAudioFrames;
    return 0;
}

int CFlvToTsConverter::WriteTag(const CFlvioTag& tag) {
    if (!tag.GetData()) return 0;
    const std::string body = tag.GetData()->FlattenPackage();
    const std::uint32_t ms = tag.GetTimeStampAll();
    if (tag.GetTagType() == TAG_TYPE_VIDEO) return WriteVideo(body, ms);
    if (tag.GetTagType() == TAG_TYPE_AUDIO) return WriteAudio(body, ms);
    return 0;
}

void CFlvToTsConverter::ShowProgress() {
    if (!m_bShowProgress || m_nInSize == 0) return;
    const unsigned percent = static_cast<unsigned>(m_nOffset * 100 / m_nInSize);
    if (percent == m_nLastPercent) return;
    m_nLastPercent = percent;
    std::fprintf(stderr, "\rflvtool: %s %3u%%", m_pSegmenter ? "hls" : "to-ts", percent > 100 ? 100 : percent);
    std::fflush(stderr);
}

int CFlvToTsConverter::Convert(const std::string& in, const std::string& out) {
    m_strIn = in;
    if (!m_pSegmenter && SameFile(in, out)) {
        m_strError = "IN and OUT are the same file";
        return CONVERT_SAME_FILE;
    }
    m_strError = CFlvDamageProbe::CheckInput(in, m_nInSize);
    if (!m_strError.empty()) return CONVERT_FAILED;
    m_pReader = std::make_unique<CFlvReader>();
    int rv = m_pReader->Init(in, 1, 0, 1);
    if (rv != 0) {
        m_strError = "cannot open " + in + ": " + std::strerror(rv);
        return CONVERT_FAILED;
    }
    CFlvioHeader header;
    rv = m_pReader->ReadHeader(header);
    std::string damage = CFlvDamageProbe(in, m_nInSize).CheckHeader();
    if (damage.empty() && rv != 0) damage = "the header cannot be read (result " + std::to_string(rv) + ")";
    if (!damage.empty()) {
        m_strError = "damaged file at offset 0: " + damage;
        return CONVERT_DAMAGED;
    }
    m_nOffset = kFirstTagOffset;

    // The writer declares its streams up front: look for the first audio and
    // video tags.
    bool sawVideo = false;
    int audioFormat = -1;
    while (m_readAhead.size() < kMaxReadAhead && (!sawVideo || audioFormat < 0)) {
        TagPtr tag = NextTag();
        if (!tag) break;
        if (tag->GetData() && tag->GetData()->GetPackageLength() > 0) {
            std::uint8_t first = 0;
            tag->GetData()->Peek(&first, 1);
            if (tag->GetTagType() == TAG_TYPE_VIDEO) sawVideo = true;
            if (tag->GetTagType() == TAG_TYPE_AUDIO && audioFormat < 0) audioFormat = first >> 4;
        }
        m_readAhead.push_back(std::move(tag));
    }
    m_bHaveVideo = sawVideo || (header.GetFlags() & 0x01);
    const bool mp3 = audioFormat == FLV_SOUND_MP3 || audioFormat == FLV_SOUND_MP3_8K;

    m_pVideo = std::make_unique<CFlv2TsH264>();
    m_pWriter = std::make_unique<CTsWriter>();
    const std::string first = m_pSegmenter ? m_pSegmenter->Start() : out;
    rv = m_pWriter->Init(first, m_bHaveVideo ? 1 : 0, mp3 ? 1 : 0, 0, 0, 0);
    if (rv != 0) {
        m_strError = "cannot create " + first + ": " + std::strerror(rv);
        return CONVERT_FAILED;
    }
    rv = 0;
    for (TagPtr& tag : m_readAhead) {
        if (rv == 0) rv = WriteTag(*tag);
    }
    m_readAhead.clear();
    while (rv == 0) {
        TagPtr tag = NextTag();
        if (!tag) break;
        rv = WriteTag(*tag);
        ShowProgress();
    }
    if (m_bShowProgress && m_nLastPercent <= 100) std::fputc('\n', stderr);
    // Closing writes the audio still gathered; its result counts too.
    const int closed = m_pWriter->AddNewSeg(std::string());
    if (rv == 0) rv = closed;
    if (rv != 0) {
        if (m_strError.empty() || m_bDamaged) m_strError = "cannot write the transport stream (result " + std::to_string(rv) + ")";
        return CONVERT_FAILED;
    }
    if (m_pSegmenter) {
        std::string error;
        if (!m_pSegmenter->Finish(error)) {
            m_strError = error;
            return CONVERT_FAILED;
        }
    }
    return m_bDamaged ? CONVERT_DAMAGED : CONVERT_OK;
}
