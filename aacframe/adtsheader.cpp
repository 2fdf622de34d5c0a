#include "aacframe/adtsheader.h"

namespace {

const unsigned kSampleRates[16] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                                   16000, 12000, 11025, 8000,  7350,  0,     0,     0};

}  // namespace

bool CAdtsHeader::Parse(const unsigned char* in, std::size_t length, CAdtsHeader& out) {
    if (!in || length < kHeaderBytes) return false;
    out.bSync = in[0] == 0xFF && (in[1] & 0xF0) == 0xF0;
    out.bMpeg2 = (in[1] & 0x08) != 0;
    out.bProtectionAbsent = (in[1] & 0x01) != 0;
    out.profile = in[2] >> 6;
    out.rateIndex = (in[2] >> 2) & 0x0F;
    out.channelConfig = ((in[2] & 0x01) << 2) | (in[3] >> 6);
    out.frameBytes = (static_cast<std::size_t>(in[3] & 0x03) << 11) | (static_cast<std::size_t>(in[4]) << 3) |
                     (in[5] >> 5);
    return true;
}

std::size_t CAdtsHeader::HeaderLength(unsigned char byte0, unsigned char byte1) {
    bool sync = byte0 == 0xFF && (byte1 & 0xF0) == 0xF0;
    return sync && !(byte1 & 0x01) ? kHeaderWithCrcBytes : kHeaderBytes;
}

bool CAdtsHeader::Write(unsigned char* out) const {
    if (!out || profile > 3 || rateIndex > 15 || channelConfig > 7 || frameBytes < kHeaderBytes ||
        frameBytes > kMaxFrameBytes) {
        return false;
    }
    const auto len = static_cast<unsigned>(frameBytes);
    out[0] = 0xFF;                                   // syncword (12 bits)
    out[1] = bMpeg2 ? 0xF9 : 0xF1;                   // ID, layer 0, protection_absent 1
    out[2] = static_cast<unsigned char>((profile << 6) | (rateIndex << 2) | (channelConfig >> 2));
    out[3] = static_cast<unsigned char>(((channelConfig & 3) << 6) | (len >> 11));
    out[4] = static_cast<unsigned char>((len >> 3) & 0xFF);
    out[5] = static_cast<unsigned char>(((len & 7) << 5) | 0x1F);  // buffer fullness 0x7FF ...
    out[6] = 0xFC;                                                 // ... and one raw data block
    return true;
}

void CAdtsHeader::WriteAacLcConfig(unsigned char* out) const {
    constexpr unsigned kAacLcObjectType = 2;
    const unsigned sfi = rateIndex & 15;
    const unsigned ch = channelConfig & 15;
    out[0] = static_cast<unsigned char>((kAacLcObjectType << 3) | (sfi >> 1));
    out[1] = static_cast<unsigned char>(((sfi & 1) << 7) | (ch << 3));
}

unsigned CAdtsHeader::SampleRate(unsigned rateIndex) { return rateIndex < 16 ? kSampleRates[rateIndex] : 0; }

int CAdtsHeader::RateIndex(unsigned sampleRate) {
    for (unsigned i = 0; i <= kMaxRateIndex; ++i) {
        if (kSampleRates[i] == sampleRate) return static_cast<int>(i);
    }
    return -1;
}
