#include "flvtaginfo.h"

#include <algorithm>
#include <cstdio>

#include "basekit/datapackage.h"
#include "jsonwriter.h"

namespace {

// Room for the name marker, its 16-bit length and the longest name looked at.
constexpr std::size_t kScriptPeekLen = 3 + CFlvTagInfo::kMaxNameLen;

}  // namespace

CFlvTagInfo::CFlvTagInfo(const CFlvioTag& tag) : m_type(tag.GetTagType()) {
    std::uint8_t head[kScriptPeekLen] = {};
    std::size_t len = 0;
    if (const CDataPackage* body = tag.GetData()) {
        const std::size_t want = m_type == TAG_TYPE_SCRIPT ? kScriptPeekLen : kPeekLen;
        len = std::min(want, body->GetPackageLength());
        if (body->Peek(head, len) != 0) len = 0;
    }
    *this = CFlvTagInfo(m_type, head, len, tag.GetDataSize());
}

CFlvTagInfo::CFlvTagInfo(TagType type, const std::uint8_t* body, std::size_t len,
                         std::size_t bodySize)
    : m_type(type), m_nBodySize(bodySize) {
    if (!body) len = 0;
    if (type == TAG_TYPE_VIDEO) ParseVideo(body, len);
    if (type == TAG_TYPE_AUDIO) ParseAudio(body, len);
    if (type == TAG_TYPE_SCRIPT) ParseScript(body, len);
}

void CFlvTagInfo::ParseVideo(const std::uint8_t* body, std::size_t len) {
    if (len < 1) return;
    FlvVideoFrame frame;
    FlvVideoCodec codec;
    CFlvioTag::AnalyzeVideoType(body[0], frame, codec);
    m_nFrameType = frame;
    m_nCodecId = codec;
    if (m_nCodecId != FLV_CODEC_AVC || m_nFrameType == FLV_FRAME_INFO || len < 2) return;
    m_nAvcPacketType = body[1];
    if (len < 5) return;
    std::uint32_t cts = (std::uint32_t{body[2]} << 16) | (std::uint32_t{body[3]} << 8) | body[4];
    // Sign-extend the 24-bit value.
    m_nCompositionTime = static_cast<int>(cts ^ 0x800000u) - 0x800000;
}

void CFlvTagInfo::ParseAudio(const std::uint8_t* body, std::size_t len) {
    if (len < 1) return;
    FlvSoundType format;
    FlvSoundRate rate;
    int is8Bit = 0, isMono = 0;
    CFlvioTag::AnalyzeAudioType(body[0], format, rate, is8Bit, isMono);
    m_nSoundFormat = format;
    m_nSoundRate = rate;
    m_nSampleBits = is8Bit ? 8 : 16;
    m_nChannels = isMono ? 1 : 2;
    if (m_nSoundFormat == FLV_SOUND_AAC && len >= 2) m_nAacPacketType = body[1];
}

void CFlvTagInfo::ParseScript(const std::uint8_t* body, std::size_t len) {
    if (len < 3 || body[0] != 2) return;
    const std::size_t nameLen = (std::size_t{body[1]} << 8) | body[2];
    const std::size_t have = std::min({nameLen, len - 3, kMaxNameLen});
    m_strScriptName.assign(reinterpret_cast<const char*>(body + 3), have);
}

bool CFlvTagInfo::IsSequenceHeader() const {
    return m_nAvcPacketType == AVC_SEQUENCE_HEADER || m_nAacPacketType == AAC_SEQUENCE_HEADER;
}

bool CFlvTagInfo::IsFrame() const {
    if (IsEmpty()) return false;
    if (IsVideo()) {
        if (m_nFrameType == FLV_FRAME_INFO) return false;
        return m_nCodecId != FLV_CODEC_AVC || m_nAvcPacketType == AVC_NALU;
    }
    if (IsAudio()) return m_nSoundFormat != FLV_SOUND_AAC || m_nAacPacketType == AAC_RAW;
    return false;
}

std::string CFlvTagInfo::Describe() const {
    if (IsEmpty()) return "empty";
    std::string text;
    if (IsVideo()) {
        text = FrameTypeName(m_nFrameType) + " " + VideoCodecName(m_nCodecId);
        switch (m_nAvcPacketType) {
            case AVC_SEQUENCE_HEADER: text += " seq-header"; break;
            case AVC_NALU: text += " nalu cts=" + std::to_string(m_nCompositionTime); break;
            case AVC_END_OF_SEQUENCE: text += " end-of-seq"; break;
            case -1: break;
            default: text += " packet-type=" + std::to_string(m_nAvcPacketType); break;
        }
    } else if (IsAudio()) {
        text = SoundFormatName(m_nSoundFormat) + " " + SoundRateName(m_nSoundRate) + " " +
               std::to_string(m_nSampleBits) + "-bit " + (m_nChannels == 1 ? "mono" : "stereo");
        switch (m_nAacPacketType) {
            case AAC_SEQUENCE_HEADER: text += " seq-header"; break;
            case AAC_RAW: text += " raw"; break;
            case -1: break;
            default: text += " packet-type=" + std::to_string(m_nAacPacketType); break;
        }
    } else {
        text = m_strScriptName.empty() ? "(no name)" : Printable(m_strScriptName);
    }
    return text;
}

std::string CFlvTagInfo::SoundFormatName(unsigned format) {
    switch (format) {
        case FLV_SOUND_PCM: return "PCM";
        case FLV_SOUND_ADPCM: return "ADPCM";
        case FLV_SOUND_MP3: return "MP3";
        case FLV_SOUND_PCM_LE: return "PCM-LE";
        case FLV_SOUND_NELLYMOSER_16K_MONO: return "Nellymoser-16kHz";
        case FLV_SOUND_NELLYMOSER_8K_MONO: return "Nellymoser-8kHz";
        case FLV_SOUND_NELLYMOSER: return "Nellymoser";
        case FLV_SOUND_G711_ALAW: return "G.711-A-law";
        case FLV_SOUND_G711_MULAW: return "G.711-mu-law";
        case FLV_SOUND_AAC: return "AAC";
        case FLV_SOUND_SPEEX: return "Speex";
        case FLV_SOUND_MP3_8K: return "MP3-8kHz";
        case FLV_SOUND_DEVICE_SPECIFIC: return "device-specific";
        default: return "sound-format-" + std::to_string(format);
    }
}

std::string CFlvTagInfo::SoundRateName(unsigned rate) {
    switch (rate) {
        case FLV_RATE_5_5KHZ: return "5.5kHz";
        case FLV_RATE_11KHZ: return "11kHz";
        case FLV_RATE_22KHZ: return "22kHz";
        default: return "44kHz";
    }
}

unsigned CFlvTagInfo::SoundRateHz(unsigned rate) {
    static const unsigned kRates[4] = {5512, 11025, 22050, 44100};
    return kRates[rate & 3];
}

std::string CFlvTagInfo::VideoCodecName(unsigned codec) {
    switch (codec) {
        case FLV_CODEC_JPEG: return "JPEG";
        case FLV_CODEC_H263: return "H.263";
        case FLV_CODEC_SCREEN: return "ScreenVideo";
        case FLV_CODEC_VP6: return "VP6";
        case FLV_CODEC_VP6_ALPHA: return "VP6-alpha";
        case FLV_CODEC_SCREEN_V2: return "ScreenVideo2";
        case FLV_CODEC_AVC: return "AVC";
        default: return "codec-" + std::to_string(codec);
    }
}

std::string CFlvTagInfo::FrameTypeName(unsigned frame) {
    switch (frame) {
        case FLV_FRAME_KEY: return "key";
        case FLV_FRAME_INTER: return "inter";
        case FLV_FRAME_DISPOSABLE_INTER: return "disposable";
        case FLV_FRAME_GENERATED_KEY: return "generated-key";
        case FLV_FRAME_INFO: return "info";
        default: return "frame-type-" + std::to_string(frame);
    }
}

std::string CFlvTagInfo::TagTypeName(TagType type) {
    switch (type) {
        case TAG_TYPE_AUDIO: return "audio";
        case TAG_TYPE_VIDEO: return "video";
        case TAG_TYPE_SCRIPT: return "script";
        default: return "type-" + std::to_string(static_cast<unsigned>(type));
    }
}

std::string CFlvTagInfo::Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t left = text.size();
    while (left > 0) {
        std::size_t len = CJsonWriter::Utf8SequenceLength(p, left);
        if (len == 0 || *p < 0x20 || *p == 0x7F || *p == '\\') {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", *p);
            out += buf;
            len = 1;
        } else {
            out.append(reinterpret_cast<const char*>(p), len);
        }
        p += len;
        left -= len;
    }
    return out;
}
