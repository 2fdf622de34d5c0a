#include "adtsheader.h"

namespace audiokit {

namespace {
constexpr int kFrequencies[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                  22050, 16000, 12000, 11025, 8000,  7350};
constexpr int kAacLcObjectType = 2;
}  // namespace

int SamplingFrequencyIndex(int sampleRate) {
    for (int i = 0; i < 13; ++i) {
        if (kFrequencies[i] == sampleRate) {
            return i;
        }
    }
    return -1;
}

bool WriteAdtsHeader(unsigned char* pOut, int nFrequencyIndex, int nChannels,
                     std::size_t frameBytes) {
    if (!pOut || nFrequencyIndex < 0 || nFrequencyIndex > 12 || nChannels < 1 || nChannels > 7 ||
        frameBytes < kAdtsHeaderBytes || frameBytes > kAdtsMaxFrameBytes) {
        return false;
    }
    const unsigned len = static_cast<unsigned>(frameBytes);
    const unsigned ch = static_cast<unsigned>(nChannels);
    const unsigned sfi = static_cast<unsigned>(nFrequencyIndex);
    pOut[0] = 0xFF;  // syncword (12 bits)
    pOut[1] = 0xF1;  // ID 0 (MPEG-4), layer 0, protection_absent 1
    pOut[2] = static_cast<unsigned char>(((kAacLcObjectType - 1) << 6) | (sfi << 2) | (ch >> 2));
    pOut[3] = static_cast<unsigned char>(((ch & 3) << 6) | (len >> 11));
    pOut[4] = static_cast<unsigned char>((len >> 3) & 0xFF);
    pOut[5] = static_cast<unsigned char>(((len & 7) << 5) | 0x1F);  // buffer fullness 0x7FF ...
    pOut[6] = 0xFC;                                                 // ... and one raw data block
    return true;
}

void WriteAudioSpecificConfig(unsigned char* pOut, int nFrequencyIndex, int nChannels) {
    const unsigned sfi = static_cast<unsigned>(nFrequencyIndex) & 15;
    const unsigned ch = static_cast<unsigned>(nChannels) & 15;
    pOut[0] = static_cast<unsigned char>((kAacLcObjectType << 3) | (sfi >> 1));
    pOut[1] = static_cast<unsigned char>(((sfi & 1) << 7) | (ch << 3));
}

}  // namespace audiokit
