#include "videopictureconverter.h"

#include <cstddef>

#include "videokit/h264codec.h"

bool CVideoPictureConverter::CanConvert(const VideoPicture& picture) {
    if (picture.nFormat != UC_PIX_BGRA || !picture.pData || picture.nWidth <= 0 ||
        picture.nHeight <= 0 || picture.nWidth % 2 != 0 || picture.nHeight % 2 != 0 ||
        picture.nStride / 4 < picture.nWidth) {
        return false;
    }
    const std::size_t needed = static_cast<std::size_t>(picture.nStride) * (picture.nHeight - 1) +
                               static_cast<std::size_t>(picture.nWidth) * 4;
    return picture.nLength >= needed;
}

void CVideoPictureConverter::Convert(const VideoPicture& picture, MediaPacket& packet) {
    const int width = picture.nWidth;
    const int height = picture.nHeight;
    if (m_pKept && (m_pKept->Width() != width || m_pKept->Height() != height)) m_pKept = nullptr;

    int top = picture.nDirtyTop;
    int rows = picture.nDirtyRows;
    bool whole = !m_pKept || rows < 0;
    // A band outside the picture contradicts the rows it claims to change:
    // trust nothing then.
    if (!whole && rows > 0 && !CBgraToI420::EvenBand(height, top, rows)) whole = true;

    CI420PicturePool::CPicture* target = m_pKept;
    if (whole) {
        if (!target || !CI420PicturePool::IsFree(target)) target = m_pool.Acquire(width, height, nullptr);
        CBgraToI420::ConvertRows(picture.pData, picture.nStride, width, 0, height, target->Planes());
        ++m_stats.nWholeConversions;
        m_stats.nRowsConverted += static_cast<std::uint64_t>(height);
    } else if (rows == 0) {
        ++m_stats.nReused;
    } else {
        if (!CI420PicturePool::IsFree(target)) {
            target = m_pool.Acquire(width, height, m_pKept);
            const I420Planes from = m_pKept->Planes();
            const I420Planes to = target->Planes();
            CBgraToI420::CopyRows(from, to, width, 0, top);
            CBgraToI420::CopyRows(from, to, width, top + rows, height - top - rows);
            ++m_stats.nPictureCopies;
        }
        CBgraToI420::ConvertRows(picture.pData, picture.nStride, width, top, rows, target->Planes());
        ++m_stats.nBandConversions;
        m_stats.nRowsConverted += static_cast<std::uint64_t>(rows);
    }
    m_pKept = target;
    ++m_stats.nPictures;
    // The band as converted (widened to even rows): the only rows in which
    // this picture differs from the one handed on before it.
    packet.nChangedTop = whole || rows == 0 ? 0 : top;
    packet.nChangedRows = whole ? -1 : rows;

    if (packet.data) packet.data->DestroyPackage();
    packet.data = new CDataPackage(target->Bytes(), target->Data(), CDataPackage::FLAG_WRAP, target->Bytes());
    packet.hold = CI420PicturePool::Lease(target);
}
