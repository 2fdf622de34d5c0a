#include "aacconfig.h"

#include "bitreader.h"

namespace {

const unsigned kSampleRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                   22050, 16000, 12000, 11025, 8000,  7350};

bool ReadObjectType(CBitReader& bits, std::uint32_t& type) {
    if (!bits.ReadBits(5, type)) return false;
    if (type != 31) return true;
    std::uint32_t extended = 0;
    if (!bits.ReadBits(6, extended)) return false;
    type = 32 + extended;
    return true;
}

bool ReadSampleRate(CBitReader& bits, std::uint32_t& rate) {
    std::uint32_t index = 0;
    if (!bits.ReadBits(4, index)) return false;
    if (index == 15) return bits.ReadBits(24, rate);
    if (index >= 13) return false;
    rate = kSampleRates[index];
    return true;
}

}  // namespace

bool CAacConfig::Parse(const std::uint8_t* data, std::size_t len) {
    if (!data) return false;
    CBitReader bits(data, len);
    std::uint32_t type = 0, rate = 0, channels = 0;
    if (!ReadObjectType(bits, type) || !ReadSampleRate(bits, rate) || !bits.ReadBits(4, channels)) {
        return false;
    }
    m_nObjectType = type;
    m_nSampleRate = rate;
    m_nChannelConfig = channels;
    return true;
}

unsigned CAacConfig::GetChannels() const {
    static const unsigned kChannels[8] = {0, 1, 2, 3, 4, 5, 6, 8};
    return m_nChannelConfig < 8 ? kChannels[m_nChannelConfig] : 0;
}

std::string CAacConfig::GetObjectTypeName() const {
    switch (m_nObjectType) {
        case 1: return "AAC Main";
        case 2: return "AAC LC";
        case 3: return "AAC SSR";
        case 4: return "AAC LTP";
        case 5: return "HE-AAC (SBR)";
        case 6: return "AAC Scalable";
        case 23: return "AAC LD";
        case 29: return "HE-AAC v2 (PS)";
        case 39: return "AAC ELD";
        default: return "AAC object type " + std::to_string(m_nObjectType);
    }
}
