// CAdtsHeader: the ADTS header in front of an AAC frame, read and written in
// one place for the FLV library, the AAC encoder and the engine's muxer. The
// layout is that of ISO/IEC 13818-7 / 14496-3: syncword 0xFFF, ID (1 =
// MPEG-2), layer, protection_absent, profile (object type - 1), sampling
// frequency index, private bit, channel configuration, the frame length
// (header included, 13 bits), buffer fullness and the number of raw data
// blocks less one; a CRC of 2 bytes follows when protection_absent is clear.
#pragma once

#include <cstddef>

class CAdtsHeader {
public:
    static constexpr std::size_t kHeaderBytes = 7;
    static constexpr std::size_t kHeaderWithCrcBytes = 9;
    // The largest frame: the length field has 13 bits.
    static constexpr std::size_t kMaxFrameBytes = 0x1FFF;
    // The highest usable sampling frequency index (13 to 15 are reserved).
    static constexpr unsigned kMaxRateIndex = 12;

    bool bSync = false;              // the syncword is there
    bool bMpeg2 = false;             // ID bit
    bool bProtectionAbsent = true;   // no CRC follows
    unsigned profile = 0;            // object type - 1
    unsigned rateIndex = 0;          // sampling frequency index
    unsigned channelConfig = 0;
    std::size_t frameBytes = 0;      // header included

    // Reads the fields of the 7 bytes at `header` (the syncword is reported,
    // not required). False for null or fewer than 7 bytes.
    static bool Parse(const unsigned char* header, std::size_t length, CAdtsHeader& out);
    // The header's length from its first two bytes: 9 when they carry the
    // syncword and protection_absent is clear, else 7.
    static std::size_t HeaderLength(unsigned char byte0, unsigned char byte1);
    // Writes the 7 bytes (no CRC, buffer fullness 0x7FF, one raw data block)
    // from the fields of this record (bSync and bProtectionAbsent are
    // implied). False for null, an index or a configuration that does not fit
    // its field, or a frame length outside 7..8191.
    bool Write(unsigned char* out) const;
    // The 2-byte AudioSpecificConfig of AAC LC (object type 2) with this
    // record's sampling frequency index and channel configuration.
    void WriteAacLcConfig(unsigned char* out) const;

    // The sampling frequency of an index (0 for 13 to 15), and the index of
    // a frequency (-1 when it has none).
    static unsigned SampleRate(unsigned rateIndex);
    static int RateIndex(unsigned sampleRate);
};
