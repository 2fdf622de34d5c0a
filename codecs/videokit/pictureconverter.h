// CPictureConverter: turns a caller's picture (any supported format code,
// any size) into the encoder's planar YUV picture: BT.709 limited range for
// RGB sources. BGRA into I420 of the same size goes through CBgraToI420;
// every other pair through libswscale, bicubic when the sizes differ.
#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/pixfmt.h>
}

struct SwsContext;

class CPictureConverter {
public:
    CPictureConverter() = default;
    ~CPictureConverter();
    CPictureConverter(const CPictureConverter&) = delete;
    CPictureConverter& operator=(const CPictureConverter&) = delete;

    // The libav pixel format of a format code, AV_PIX_FMT_NONE when the code
    // is reserved or unknown; `bFlipped` tells whether its rows are bottom-up.
    static AVPixelFormat PixelFormatOf(int nFormatCode, bool* pbFlipped = nullptr);
    // Bytes a tightly packed picture of that code and size takes; -1 for an
    // unknown code or a bad size.
    static int PictureBytes(int nFormatCode, int nWidth, int nHeight);

    // Sets the destination (kept across pictures).
    void SetTarget(AVPixelFormat dstFormat, int nWidth, int nHeight);
    // Converts one picture into the destination planes. False when the code
    // is unknown, the picture is shorter than its format needs, or
    // libswscale fails.
    bool Convert(int nFormatCode, const unsigned char* pData, int nLength, int nWidth, int nHeight,
                 uint8_t* const apDst[4], const int anDstStride[4]);

private:
    bool _Prepare(AVPixelFormat srcFormat, int nWidth, int nHeight);
    void _Release();

    SwsContext* m_pSws = nullptr;
    AVPixelFormat m_srcFormat = AV_PIX_FMT_NONE;
    int m_nSrcWidth = 0;
    int m_nSrcHeight = 0;
    AVPixelFormat m_dstFormat = AV_PIX_FMT_NONE;
    int m_nDstWidth = 0;
    int m_nDstHeight = 0;
};
