#include "flvtotsconverter.h"

#include <cstdio>
#include <cstring>

#include "basekit/datapackage.h"
#include "flvinput.h"
#include "flvio/aacutil.h"
#include "flvio/flviotag.h"
#include "flvio/ts/tsvideoflv.h"
#include "flvio/ts/tswriter.h"
#include "hlssegmenter.h"

namespace {

constexpr std::size_t kMaxReadAhead = 256;
constexpr std::int64_t kTicksPerMs = 90;
constexpr int kAacObjectLc = 2;
constexpr int kAacObjectSbr = 5;

}  // namespace

CFlvToTsConverter::CFlvToTsConverter() : m_pInput(std::make_unique<CFlvInput>()) {}

CFlvToTsConverter::~CFlvToTsConverter() = default;

int CFlvToTsConverter::CutBefore(std::uint32_t ms) {
    const std::string next = m_pSegmenter->CutBefore(ms);
    if (next.empty()) return 0;
    const int rv = m_pWriter->AddNewSeg(next);
    if (rv != 0) m_strError = "cannot create " + next + ": " + std::strerror(rv);
    return rv;
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
        const int rv = CutBefore(ms);
        if (rv != 0) return rv;
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
        const int rv = CutBefore(ms);
        if (rv != 0) return rv;
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

int CFlvToTsConverter::Convert(const std::string& in, const std::string& out) {
    if (!m_pSegmenter && CFlvInput::SameFile(in, out)) {
        m_strError = "IN and OUT are the same file";
        return CONVERT_SAME_FILE;
    }
    m_pInput->SetShowProgress(m_bShowProgress);
    CFlvioHeader header;
    int rv = m_pInput->Open(in, header);
    if (rv != CFlvInput::OPEN_OK) {
        m_strError = m_pInput->GetError();
        return rv == CFlvInput::OPEN_DAMAGED ? CONVERT_DAMAGED : CONVERT_FAILED;
    }

    // The writer declares its streams up front: look for the first audio and
    // video tags.
    bool sawVideo = false;
    int audioFormat = -1;
    while (m_readAhead.size() < kMaxReadAhead && (!sawVideo || audioFormat < 0)) {
        CFlvInput::TagPtr tag = m_pInput->NextTag();
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
    for (CFlvInput::TagPtr& tag : m_readAhead) {
        if (rv == 0) rv = WriteTag(*tag);
    }
    m_readAhead.clear();
    while (rv == 0) {
        CFlvInput::TagPtr tag = m_pInput->NextTag();
        if (!tag) break;
        rv = WriteTag(*tag);
        m_pInput->ShowProgress(m_pSegmenter ? "hls" : "to-ts");
    }
    m_pInput->EndProgress();
    // Closing writes the audio still gathered; its result counts too.
    const int closed = m_pWriter->AddNewSeg(std::string());
    if (rv == 0) rv = closed;
    if (rv != 0) {
        if (m_strError.empty()) m_strError = "cannot write the transport stream (result " + std::to_string(rv) + ")";
        return CONVERT_FAILED;
    }
    if (m_pSegmenter) {
        std::string error;
        if (!m_pSegmenter->Finish(error)) {
            m_strError = error;
            return CONVERT_FAILED;
        }
    }
    if (m_pInput->IsDamaged()) {
        m_strError = m_pInput->GetError();
        return CONVERT_DAMAGED;
    }
    return CONVERT_OK;
}
