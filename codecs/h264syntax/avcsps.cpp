#include "avcsps.h"

#include <vector>

#include "bitreader.h"
#include "rbsp.h"

namespace {

// Profiles whose SPS carries the chroma format, bit depths and scaling lists.
bool HasHighProfileFields(unsigned profile) {
    switch (profile) {
        case 100: case 110: case 122: case 244: case 44: case 83: case 86:
        case 118: case 128: case 138: case 139: case 134: case 135:
            return true;
        default:
            return false;
    }
}

bool SkipScalingList(CBitReader& bits, unsigned size) {
    std::int32_t last = 8;
    std::int32_t next = 8;
    for (unsigned j = 0; j < size; ++j) {
        if (next != 0) {
            std::int32_t delta = 0;
            if (!bits.ReadSe(delta)) return false;
            next = ((last + delta) % 256 + 256) % 256;
        }
        if (next != 0) last = next;
    }
    return true;
}

// Reads the fields between seq_parameter_set_id and log2_max_frame_num that
// the high profiles add; returns the chroma format through `chroma`.
bool ReadHighProfileFields(CBitReader& bits, unsigned& chroma, bool& separatePlanes,
                           unsigned& bitDepth) {
    std::uint32_t v = 0;
    if (!bits.ReadUe(v) || v > 3) return false;
    chroma = v;
    if (chroma == 3 && !bits.ReadFlag(separatePlanes)) return false;
    std::uint32_t depthLuma = 0, depthChroma = 0;
    if (!bits.ReadUe(depthLuma) || !bits.ReadUe(depthChroma) || depthLuma > 6) return false;
    bitDepth = depthLuma + 8;
    bool bypass = false, scaling = false;
    if (!bits.ReadFlag(bypass) || !bits.ReadFlag(scaling)) return false;
    if (!scaling) return true;
    const unsigned lists = chroma != 3 ? 8 : 12;
    for (unsigned i = 0; i < lists; ++i) {
        bool present = false;
        if (!bits.ReadFlag(present)) return false;
        if (present && !SkipScalingList(bits, i < 6 ? 16 : 64)) return false;
    }
    return true;
}

bool SkipPictureOrderCount(CBitReader& bits, std::uint32_t& type) {
    std::uint32_t v = 0;
    if (!bits.ReadUe(type)) return false;
    if (type == 0) return bits.ReadUe(v);
    if (type != 1) return type == 2;
    std::int32_t s = 0;
    bool flag = false;
    if (!bits.ReadFlag(flag) || !bits.ReadSe(s) || !bits.ReadSe(s)) return false;
    std::uint32_t cycle = 0;
    if (!bits.ReadUe(cycle) || cycle > 255) return false;
    for (std::uint32_t i = 0; i < cycle; ++i) {
        if (!bits.ReadSe(s)) return false;
    }
    return true;
}

}  // namespace

bool CAvcSps::ParseDecoderConfig(const std::uint8_t* record, std::size_t len) {
    // version, profile, compatibility, level, 0xFC | length size - 1, 0xE0 | SPS count
    if (!record || len < 8 || record[0] != 1) return false;
    const unsigned spsCount = record[5] & 0x1F;
    if (spsCount == 0) return false;
    const std::size_t spsLen = (static_cast<std::size_t>(record[6]) << 8) | record[7];
    if (spsLen == 0 || spsLen > len - 8) return false;
    if (!ParseSps(record + 8, spsLen)) return false;
    m_nNalLengthSize = (record[4] & 0x03) + 1u;
    return true;
}

bool CAvcSps::ParseSps(const std::uint8_t* nal, std::size_t len) {
    if (!nal || len < 4 || (nal[0] & 0x1F) != 7) return false;
    const std::vector<std::uint8_t> rbsp = RbspOf(nal + 1, len - 1);
    CBitReader bits(rbsp.data(), rbsp.size());

    std::uint32_t profile = 0, constraints = 0, level = 0, id = 0;
    if (!bits.ReadBits(8, profile) || !bits.ReadBits(8, constraints) || !bits.ReadBits(8, level) ||
        !bits.ReadUe(id) || id > 31) {
        return false;
    }
    unsigned chroma = 1, bitDepth = 8;
    bool separatePlanes = false;
    if (HasHighProfileFields(profile) &&
        !ReadHighProfileFields(bits, chroma, separatePlanes, bitDepth)) {
        return false;
    }
    std::uint32_t frameNumBits = 0, pocType = 0;
    if (!bits.ReadUe(frameNumBits) || frameNumBits > 12 || !SkipPictureOrderCount(bits, pocType)) {
        return false;
    }
    bool flag = false;
    std::uint32_t refFrames = 0;
    if (!bits.ReadUe(refFrames) || refFrames > 16 || !bits.ReadFlag(flag)) return false;  // gaps allowed
    std::uint32_t widthMbs = 0, heightUnits = 0;
    bool frameMbsOnly = false;
    if (!bits.ReadUe(widthMbs) || !bits.ReadUe(heightUnits) || !bits.ReadFlag(frameMbsOnly)) {
        return false;
    }
    if (!frameMbsOnly && !bits.ReadFlag(flag)) return false;  // mb_adaptive_frame_field
    bool cropping = false;
    if (!bits.ReadFlag(flag) || !bits.ReadFlag(cropping)) return false;  // direct_8x8_inference
    std::uint32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    if (cropping && (!bits.ReadUe(cropLeft) || !bits.ReadUe(cropRight) || !bits.ReadUe(cropTop) ||
                     !bits.ReadUe(cropBottom))) {
        return false;
    }
    if (widthMbs > 1023 || heightUnits > 1023) return false;  // beyond any level's limits

    const unsigned frameFactor = frameMbsOnly ? 1 : 2;
    const std::uint64_t codedWidth = (widthMbs + 1) * 16ull;
    const std::uint64_t codedHeight = (heightUnits + 1) * 16ull * frameFactor;
    // Crop units: whole samples without chroma (or with separate planes),
    // else the chroma subsampling factors.
    const unsigned chromaArrayType = separatePlanes ? 0 : chroma;
    const unsigned subWidth = (chromaArrayType == 1 || chromaArrayType == 2) ? 2 : 1;
    const unsigned subHeight = chromaArrayType == 1 ? 2 : 1;
    const std::uint64_t cropX = std::uint64_t{subWidth} * (std::uint64_t{cropLeft} + cropRight);
    const std::uint64_t cropY =
        std::uint64_t{subHeight} * frameFactor * (std::uint64_t{cropTop} + cropBottom);
    if (cropX >= codedWidth || cropY >= codedHeight) return false;

    m_nProfile = profile;
    m_nConstraints = constraints;
    m_nLevel = level;
    m_nChromaFormat = chroma;
    m_nBitDepth = bitDepth;
    m_nCodedWidth = static_cast<unsigned>(codedWidth);
    m_nCodedHeight = static_cast<unsigned>(codedHeight);
    m_nWidth = static_cast<unsigned>(codedWidth - cropX);
    m_nHeight = static_cast<unsigned>(codedHeight - cropY);
    m_bCropped = cropX != 0 || cropY != 0;
    m_nId = id;
    m_nFrameNumBits = frameNumBits + 4;
    m_nPocType = pocType;
    m_nMaxRefFrames = refFrames;
    m_bFrameMbsOnly = frameMbsOnly;
    m_nChromaArrayType = chromaArrayType;
    m_bSeparatePlanes = separatePlanes;
    return true;
}

std::string CAvcSps::GetProfileName() const {
    const bool set1 = (m_nConstraints & 0x40) != 0;
    const bool set3 = (m_nConstraints & 0x10) != 0;
    switch (m_nProfile) {
        case 66: return set1 ? "Constrained Baseline" : "Baseline";
        case 77: return "Main";
        case 88: return "Extended";
        case 100: return "High";
        case 110: return set3 ? "High 10 Intra" : "High 10";
        case 122: return set3 ? "High 4:2:2 Intra" : "High 4:2:2";
        case 244: return set3 ? "High 4:4:4 Intra" : "High 4:4:4 Predictive";
        case 44: return "CAVLC 4:4:4 Intra";
        case 83: return "Scalable Baseline";
        case 86: return "Scalable High";
        case 118: return "Multiview High";
        case 128: return "Stereo High";
        default: return "Unknown";
    }
}

std::string CAvcSps::GetLevelName() const {
    // Level 1b: level_idc 9, or 11 with constraint_set3 in the baseline/main profiles.
    if (m_nLevel == 9 || (m_nLevel == 11 && (m_nConstraints & 0x10) &&
                          (m_nProfile == 66 || m_nProfile == 77 || m_nProfile == 88))) {
        return "1b";
    }
    return std::to_string(m_nLevel / 10) + "." + std::to_string(m_nLevel % 10);
}

std::string CAvcSps::GetChromaName() const {
    switch (m_nChromaFormat) {
        case 0: return "monochrome";
        case 1: return "4:2:0";
        case 2: return "4:2:2";
        default: return "4:4:4";
    }
}
