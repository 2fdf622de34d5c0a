// ADTS framing of AAC-LC access units and the matching AudioSpecificConfig.
#pragma once

#include <cstddef>

namespace audiokit {

constexpr std::size_t kAdtsHeaderBytes = 7;
// The largest ADTS frame: its length field has 13 bits.
constexpr std::size_t kAdtsMaxFrameBytes = 8191;

// Index of `sampleRate` in the MPEG-4 sampling-frequency table, -1 when absent.
int SamplingFrequencyIndex(int sampleRate);

// Writes the 7-byte header (MPEG-4, no CRC, AAC LC, one raw data block,
// buffer fullness 0x7FF = variable rate) for a frame of `frameBytes` bytes,
// header included. False when the length does not fit the 13-bit field or
// the index or channel count is out of range.
bool WriteAdtsHeader(unsigned char* pOut, int nFrequencyIndex, int nChannels,
                     std::size_t frameBytes);

// The 2-byte AudioSpecificConfig of AAC LC.
void WriteAudioSpecificConfig(unsigned char* pOut, int nFrequencyIndex, int nChannels);

}  // namespace audiokit
