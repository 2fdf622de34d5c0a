// CBgraToI420: BGRA pictures into planar I420, BT.709 matrix, limited range
// (Y 16..235, U/V 16..240), each chroma sample the average of its 2x2 block.
// libyuv's RGB -> YUV conversions use the BT.601 matrix only, which would be
// the wrong colour in a stream that signals BT.709; these rows are our own,
// written for the compiler's vectoriser (integer math, no tables).
//
// Stateless; any thread. Pointers belong to the caller.
#pragma once

#include <cstddef>
#include <cstdint>

// The three planes of an I420 picture.
struct I420Planes {
    std::uint8_t* pY = nullptr;
    std::uint8_t* pU = nullptr;
    std::uint8_t* pV = nullptr;
    int nStrideY = 0;
    int nStrideUV = 0;

    // Bytes of a tightly packed I420 picture of that (even) size: Y, then
    // U, then V, each row exactly as long as the plane is wide.
    static std::size_t PackedBytes(int nWidth, int nHeight) {
        return static_cast<std::size_t>(nWidth) * static_cast<std::size_t>(nHeight) * 3 / 2;
    }
    // The planes of such a picture whose first byte is pBase.
    static I420Planes Packed(std::uint8_t* pBase, int nWidth, int nHeight) {
        const std::size_t luma = static_cast<std::size_t>(nWidth) * static_cast<std::size_t>(nHeight);
        return I420Planes{pBase, pBase + luma, pBase + luma + luma / 4, nWidth, nWidth / 2};
    }
};

class CBgraToI420 {
public:
    // Converts rows [nTop, nTop + nRows) of a BGRA picture (nStride bytes per
    // row, pBgra its top row) into the same rows of dst. nWidth, nTop and
    // nRows must be even (chroma rows pair picture rows); the alpha byte is
    // ignored.
    static void ConvertRows(const std::uint8_t* pBgra, int nStride, int nWidth, int nTop, int nRows,
                            const I420Planes& dst);
    // Copies rows [nTop, nTop + nRows) (even) of an I420 picture nWidth
    // pixels wide into another of the same size.
    static void CopyRows(const I420Planes& src, const I420Planes& dst, int nWidth, int nTop,
                         int nRows);
    // Rounds the row band [nTop, nTop + nRows) outwards to even rows inside
    // [0, nHeight); false when the band lies outside the picture or is empty.
    static bool EvenBand(int nHeight, int& nTop, int& nRows);
};
