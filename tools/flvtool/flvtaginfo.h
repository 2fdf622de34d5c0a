// CFlvTagInfo: what the first body bytes of an FLV tag say. For video the
// frame type and codec id (and for AVC the packet type and composition
// time), for audio the sound format, rate, sample size and channels (and for
// AAC the packet type), for script data the name in front of the value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "flvio/flviotag.h"

class CFlvTagInfo {
public:
    // Packet types of the AVC and AAC bodies.
    enum { AVC_SEQUENCE_HEADER = 0, AVC_NALU = 1, AVC_END_OF_SEQUENCE = 2 };
    enum { AAC_SEQUENCE_HEADER = 0, AAC_RAW = 1 };

    explicit CFlvTagInfo(const CFlvioTag& tag);
    // `body` holds the first `len` bytes of the body (more are not needed
    // beyond the script name); `bodySize` is the whole body's size.
    CFlvTagInfo(TagType type, const std::uint8_t* body, std::size_t len, std::size_t bodySize);

    TagType GetType() const { return m_type; }
    bool IsAudio() const { return m_type == TAG_TYPE_AUDIO; }
    bool IsVideo() const { return m_type == TAG_TYPE_VIDEO; }
    bool IsScript() const { return m_type == TAG_TYPE_SCRIPT; }
    bool IsEmpty() const { return m_nBodySize == 0; }

    // Video: the FrameType and CodecID nibbles.
    unsigned GetFrameType() const { return m_nFrameType; }
    unsigned GetCodecId() const { return m_nCodecId; }
    bool IsKeyFrame() const { return IsVideo() && m_nFrameType == FLV_FRAME_KEY; }
    // AVC packet type, -1 when the tag is no AVC tag or too short.
    int GetAvcPacketType() const { return m_nAvcPacketType; }
    // The signed 24-bit composition time offset of an AVC NAL unit tag (ms).
    int GetCompositionTime() const { return m_nCompositionTime; }

    // Audio: the SoundFormat, SoundRate, SoundSize and SoundType fields.
    unsigned GetSoundFormat() const { return m_nSoundFormat; }
    unsigned GetSoundRate() const { return m_nSoundRate; }
    unsigned GetSampleBits() const { return m_nSampleBits; }
    unsigned GetChannels() const { return m_nChannels; }
    // AAC packet type, -1 when the tag is no AAC tag or too short.
    int GetAacPacketType() const { return m_nAacPacketType; }

    // Script data: the name (an AMF string with its marker), empty when the
    // body does not start with one.
    const std::string& GetScriptName() const { return m_strScriptName; }

    // Sequence headers: AVC packet type 0, AAC packet type 0.
    bool IsSequenceHeader() const;
    // A tag that carries a picture or a sound frame: audio and video tags that
    // are not empty, not sequence headers, not AVC end-of-sequence markers and
    // not video info/command frames.
    bool IsFrame() const;

    // The details column of `flvtool dump`: "key AVC nalu cts=0",
    // "AAC 44kHz 16-bit stereo raw", "onMetaData" ...
    std::string Describe() const;

    static std::string SoundFormatName(unsigned format);
    static std::string SoundRateName(unsigned rate);  // "44kHz"
    static unsigned SoundRateHz(unsigned rate);
    static std::string VideoCodecName(unsigned codec);
    static std::string FrameTypeName(unsigned frame);
    static std::string TagTypeName(TagType type);  // "audio", "video", "script"
    // A byte string with control bytes, backslashes and bytes that are not
    // valid UTF-8 as \xNN.
    static std::string Printable(const std::string& text);

    // How many leading body bytes the constructor looks at beside the name.
    static constexpr std::size_t kPeekLen = 5;
    static constexpr std::size_t kMaxNameLen = 255;

private:
    void ParseVideo(const std::uint8_t* body, std::size_t len);
    void ParseAudio(const std::uint8_t* body, std::size_t len);
    void ParseScript(const std::uint8_t* body, std::size_t len);

    TagType m_type;
    std::size_t m_nBodySize = 0;
    unsigned m_nFrameType = 0;
    unsigned m_nCodecId = 0;
    int m_nAvcPacketType = -1;
    int m_nCompositionTime = 0;
    unsigned m_nSoundFormat = 0;
    unsigned m_nSoundRate = 0;
    unsigned m_nSampleBits = 0;
    unsigned m_nChannels = 0;
    int m_nAacPacketType = -1;
    std::string m_strScriptName;
};
