#include "pictureconverter.h"

#include <cstddef>
#include <utility>

#include "bgratoi420.h"
#include "videokit/h264codec.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {

struct FormatEntry {
    AVPixelFormat format;
    bool bFlipped;
};

// Indexed by the format codes of h264codec.h.
const FormatEntry kFormats[UC_PIX_FORMAT_COUNT] = {
    {AV_PIX_FMT_YUV420P, false},  // 0 I420
    {AV_PIX_FMT_YUV420P, false},  // 1 YV12 (U and V swapped at conversion)
    {AV_PIX_FMT_NV12, false},     // 2 NV12
    {AV_PIX_FMT_NV21, false},     // 3 NV21
    {AV_PIX_FMT_YUYV422, false},  // 4 YUY2
    {AV_PIX_FMT_UYVY422, false},  // 5 UYVY
    {AV_PIX_FMT_YUV422P, false},  // 6 I422
    {AV_PIX_FMT_YUV444P, false},  // 7 I444
    {AV_PIX_FMT_RGB24, false},    // 8 RGB24
    {AV_PIX_FMT_BGR24, false},    // 9 BGR24
    {AV_PIX_FMT_RGB565LE, false}, // 10 RGB565
    {AV_PIX_FMT_RGB555LE, false}, // 11 RGB555
    {AV_PIX_FMT_BGRA, false},     // 12 BGRA
    {AV_PIX_FMT_RGBA, false},     // 13 RGBA
    {AV_PIX_FMT_ARGB, false},     // 14 ARGB
    {AV_PIX_FMT_ABGR, false},     // 15 ABGR
    {AV_PIX_FMT_GRAY8, false},    // 16 GRAY8
    {AV_PIX_FMT_BGRA, true},      // 17 BGRA bottom-up
    {AV_PIX_FMT_BGR24, true},     // 18 BGR24 bottom-up
    {AV_PIX_FMT_NONE, false},     // 19..23 reserved
    {AV_PIX_FMT_NONE, false},
    {AV_PIX_FMT_NONE, false},
    {AV_PIX_FMT_NONE, false},
    {AV_PIX_FMT_NONE, false},
};

bool IsRgbSource(AVPixelFormat format) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    return desc && (desc->flags & AV_PIX_FMT_FLAG_RGB);
}

}  // namespace

CPictureConverter::~CPictureConverter() { _Release(); }

AVPixelFormat CPictureConverter::PixelFormatOf(int nFormatCode, bool* pbFlipped) {
    if (nFormatCode < 0 || nFormatCode >= UC_PIX_FORMAT_COUNT) {
        return AV_PIX_FMT_NONE;
    }
    if (pbFlipped) {
        *pbFlipped = kFormats[nFormatCode].bFlipped;
    }
    return kFormats[nFormatCode].format;
}

int CPictureConverter::PictureBytes(int nFormatCode, int nWidth, int nHeight) {
    AVPixelFormat format = PixelFormatOf(nFormatCode);
    if (format == AV_PIX_FMT_NONE || nWidth <= 0 || nHeight <= 0) {
        return -1;
    }
    int bytes = av_image_get_buffer_size(format, nWidth, nHeight, 1);
    return bytes < 0 ? -1 : bytes;
}

void CPictureConverter::SetTarget(AVPixelFormat dstFormat, int nWidth, int nHeight) {
    if (dstFormat != m_dstFormat || nWidth != m_nDstWidth || nHeight != m_nDstHeight) {
        _Release();
        m_dstFormat = dstFormat;
        m_nDstWidth = nWidth;
        m_nDstHeight = nHeight;
    }
}

bool CPictureConverter::Convert(int nFormatCode, const unsigned char* pData, int nLength,
                                int nWidth, int nHeight, uint8_t* const apDst[4],
                                const int anDstStride[4]) {
    bool bFlipped = false;
    AVPixelFormat srcFormat = PixelFormatOf(nFormatCode, &bFlipped);
    int needed = PictureBytes(nFormatCode, nWidth, nHeight);
    if (srcFormat == AV_PIX_FMT_NONE || !pData || needed < 0 || nLength < needed) {
        return false;
    }
    if (nFormatCode == UC_PIX_BGRA && m_dstFormat == AV_PIX_FMT_YUV420P && nWidth == m_nDstWidth &&
        nHeight == m_nDstHeight && nWidth % 2 == 0 && nHeight % 2 == 0) {
        const I420Planes dst{apDst[0], apDst[1], apDst[2], anDstStride[0], anDstStride[1]};
        CBgraToI420::ConvertRows(pData, nWidth * 4, nWidth, 0, nHeight, dst);
        return true;
    }
    if (!_Prepare(srcFormat, nWidth, nHeight)) {
        return false;
    }

    uint8_t* srcPlanes[4] = {};
    int srcStrides[4] = {};
    if (av_image_fill_arrays(srcPlanes, srcStrides, pData, srcFormat, nWidth, nHeight, 1) < 0) {
        return false;
    }
    if (nFormatCode == UC_PIX_YV12) {
        std::swap(srcPlanes[1], srcPlanes[2]);
    }
    if (bFlipped) {
        // Packed formats only: start at the last row and walk upwards.
        srcPlanes[0] += static_cast<std::ptrdiff_t>(srcStrides[0]) * (nHeight - 1);
        srcStrides[0] = -srcStrides[0];
    }
    int rows = sws_scale(m_pSws, srcPlanes, srcStrides, 0, nHeight, apDst, anDstStride);
    return rows == m_nDstHeight;
}

bool CPictureConverter::_Prepare(AVPixelFormat srcFormat, int nWidth, int nHeight) {
    if (m_pSws && srcFormat == m_srcFormat && nWidth == m_nSrcWidth && nHeight == m_nSrcHeight) {
        return true;
    }
    _Release();
    int flags = SWS_BICUBIC | SWS_FULL_CHR_H_INP;
    m_pSws = sws_getContext(nWidth, nHeight, srcFormat, m_nDstWidth, m_nDstHeight, m_dstFormat,
                            flags, nullptr, nullptr, nullptr);
    if (!m_pSws) {
        return false;
    }
    // RGB sources are full range; the stream signals BT.709 limited range.
    // YUV sources are taken to be in that form already.
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    int srcRange = IsRgbSource(srcFormat) ? 1 : 0;
    sws_setColorspaceDetails(m_pSws, bt709, srcRange, bt709, 0, 0, 1 << 16, 1 << 16);
    m_srcFormat = srcFormat;
    m_nSrcWidth = nWidth;
    m_nSrcHeight = nHeight;
    return true;
}

void CPictureConverter::_Release() {
    if (m_pSws) {
        sws_freeContext(m_pSws);
        m_pSws = nullptr;
    }
    m_srcFormat = AV_PIX_FMT_NONE;
}
