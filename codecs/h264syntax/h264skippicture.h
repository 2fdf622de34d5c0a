// CH264SkipPicture: writes an H.264 picture that repeats the picture before
// it without an encoder: one P slice in which every macroblock is skipped
// (no motion, no residual), coded as a non-reference picture, so that the
// encoder's own next picture finds the decoder's reference list exactly as
// the encoder left it.
//
// A repeat needs a stream coded as frames with one slice group whose picture
// order follows the frame number (picture order count type 2, the type x264
// uses without B pictures), and it must follow a reference picture of the
// encoder: under type 2 two non-reference pictures in a row would share a
// picture order count. The frame number is the one after the reference
// picture's, which the encoder's next reference picture takes as well.
//
// Threads: one object per stream, used on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class CH264SkipPicture {
public:
    // Reads the stream's parameter sets (NAL units, header byte first).
    // False when the stream cannot take repeats; no repeat is written then.
    bool Open(const std::uint8_t* sps, std::size_t spsLen, const std::uint8_t* pps,
              std::size_t ppsLen);
    bool IsOpen() const { return m_bOpen; }

    // Notes a picture the encoder wrote: NAL units behind 4-byte big-endian
    // lengths. Its first slice tells the frame number and whether it is a
    // reference picture.
    void NoteEncoded(const std::uint8_t* data, std::size_t len);
    // Whether a repeat may come next.
    bool CanRepeat() const { return m_bOpen && m_bAfterReference; }
    // Replaces out with the repeat, one NAL unit behind its 4-byte length.
    // Only when CanRepeat(); a second repeat has to wait for the encoder's
    // next reference picture.
    void Write(std::vector<std::uint8_t>& out);

private:
    bool m_bOpen = false;
    unsigned m_nPpsId = 0;
    unsigned m_nFrameNumBits = 4;
    unsigned m_nChromaArrayType = 1;
    bool m_bCabac = false;
    bool m_bWeightedPred = false;
    bool m_bDeblockingControl = false;
    bool m_bRedundantPicCnt = false;
    int m_nInitQp = 26;
    std::uint32_t m_nMbCount = 0;
    // The last picture the encoder wrote: its frame number, and whether it
    // was a reference picture with no repeat written since.
    std::uint32_t m_nFrameNum = 0;
    bool m_bAfterReference = false;
};
