#include "devicecontext.h"

#include <cstring>

#include "screenbackend.h"
#include "screengrabber.h"

void CDeviceContext::Fill(std::uint8_t* bits, int w, int h, int stride, std::uint32_t argb) {
    if (!bits || w < 1 || h < 1) return;
    const std::uint8_t pixel[4] = {static_cast<std::uint8_t>(argb), static_cast<std::uint8_t>(argb >> 8),
                                   static_cast<std::uint8_t>(argb >> 16), static_cast<std::uint8_t>(argb >> 24)};
    std::uint8_t* first = bits;
    for (int x = 0; x < w; ++x) std::memcpy(first + x * 4, pixel, 4);
    for (int y = 1; y < h; ++y)
        std::memcpy(bits + static_cast<std::ptrdiff_t>(y) * stride, first, static_cast<std::size_t>(w) * 4);
}

void CDeviceContext::FillColor(std::uint32_t argb) { Fill(m_pBits, m_nWidth, m_nHeight, m_nStride, argb); }

IOBSEngineScreenDC* CDeviceContext::GetScreenDC() {
    if (m_pGrabber) return m_pGrabber->IsAlive() ? m_pGrabber : nullptr;
    return m_pScreen && m_pScreen->IsAlive() ? m_pScreen : nullptr;
}
