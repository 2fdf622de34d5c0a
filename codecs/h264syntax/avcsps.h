// CAvcSps: the facts of an H.264 sequence parameter set that a reader of an
// FLV file wants to see (profile, level, chroma format, picture size after
// cropping), parsed from the AVC decoder configuration record that an AVC
// sequence-header tag carries, and those a writer of slice headers needs
// (frame number width, picture order count type, frame coding).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CAvcSps {
public:
    // Parses the first SPS of an AVCDecoderConfigurationRecord. False when the
    // record or the SPS is malformed or cut short.
    bool ParseDecoderConfig(const std::uint8_t* record, std::size_t len);
    // Parses one SPS NAL unit (NAL header byte first, emulation prevention
    // bytes still in place).
    bool ParseSps(const std::uint8_t* nal, std::size_t len);

    unsigned GetProfile() const { return m_nProfile; }
    unsigned GetConstraints() const { return m_nConstraints; }
    unsigned GetLevel() const { return m_nLevel; }
    unsigned GetChromaFormat() const { return m_nChromaFormat; }
    unsigned GetBitDepth() const { return m_nBitDepth; }
    unsigned GetWidth() const { return m_nWidth; }
    unsigned GetHeight() const { return m_nHeight; }
    // The size in whole macroblocks, before cropping.
    unsigned GetCodedWidth() const { return m_nCodedWidth; }
    unsigned GetCodedHeight() const { return m_nCodedHeight; }
    bool IsCropped() const { return m_bCropped; }
    // The NAL length field size of the configuration record (1, 2 or 4).
    unsigned GetNalLengthSize() const { return m_nNalLengthSize; }

    unsigned GetId() const { return m_nId; }
    // Bits of a slice header's frame_num (4 to 16).
    unsigned GetFrameNumBits() const { return m_nFrameNumBits; }
    unsigned GetPocType() const { return m_nPocType; }
    unsigned GetMaxRefFrames() const { return m_nMaxRefFrames; }
    bool IsFrameMbsOnly() const { return m_bFrameMbsOnly; }
    // 0 without chroma or with separately coded colour planes, else the
    // chroma format.
    unsigned GetChromaArrayType() const { return m_nChromaArrayType; }
    bool HasSeparatePlanes() const { return m_bSeparatePlanes; }

    // "High", "Main", "Constrained Baseline" ... ("Unknown" for others).
    std::string GetProfileName() const;
    // "3.1", "1b" ...
    std::string GetLevelName() const;
    // "4:2:0", "4:4:4", "monochrome" ...
    std::string GetChromaName() const;

private:
    unsigned m_nProfile = 0;
    unsigned m_nConstraints = 0;
    unsigned m_nLevel = 0;
    unsigned m_nChromaFormat = 1;
    unsigned m_nBitDepth = 8;
    unsigned m_nWidth = 0;
    unsigned m_nHeight = 0;
    unsigned m_nCodedWidth = 0;
    unsigned m_nCodedHeight = 0;
    bool m_bCropped = false;
    unsigned m_nNalLengthSize = 4;
    unsigned m_nId = 0;
    unsigned m_nFrameNumBits = 4;
    unsigned m_nPocType = 0;
    unsigned m_nMaxRefFrames = 0;
    bool m_bFrameMbsOnly = true;
    unsigned m_nChromaArrayType = 1;
    bool m_bSeparatePlanes = false;
};
