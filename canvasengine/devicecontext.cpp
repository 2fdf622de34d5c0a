#include "devicecontext.h"

#include <algorithm>
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

void CDeviceContext::Refresh() {
    if (m_bHoldsPrevious) {
        // After an incremental draw the area already is what a fresh picture
        // with that draw would hold, but the rows it did not redraw carry the
        // previous picture's gamma: the canvas starts the source over.
        if (m_nDraws == 0)
            Fill(m_pBits, m_nWidth, m_nHeight, m_nStride, m_dwBackground);
        else
            m_bMixed = true;
    }
    m_bHoldsPrevious = false;
    m_changed.SetAll();
}

std::uint8_t* CDeviceContext::GetBits() {
    Refresh();
    m_bForeign = true;
    return m_pBits;
}

void CDeviceContext::FillColor(std::uint32_t argb) {
    Refresh();
    m_bForeign = true;
    Fill(m_pBits, m_nWidth, m_nHeight, m_nStride, argb);
}

void CDeviceContext::AddChanged(int top, int bottom, int left, int right) {
    if (top >= bottom || left >= right) return;
    if (m_changed.IsEmpty()) {
        m_nChangedLeft = left;
        m_nChangedRight = right;
    } else {
        m_nChangedLeft = std::min(m_nChangedLeft, left);
        m_nChangedRight = std::max(m_nChangedRight, right);
    }
    m_changed.Add(top, bottom);
}

CDeviceContext* CDeviceContext::FromInterface(IOBSEngineDC* dc) { return dynamic_cast<CDeviceContext*>(dc); }

std::uint8_t* CDeviceContext::BeginDraw(bool incremental) {
    if (!incremental || !HoldsPrevious()) Refresh();
    ++m_nDraws;
    return m_pBits;
}

void CDeviceContext::Finish() {
    if (HoldsPrevious()) Refresh();
}

IOBSEngineScreenDC* CDeviceContext::GetScreenDC() {
    if (m_pGrabber) return m_pGrabber->IsAlive() ? m_pGrabber : nullptr;
    return m_pScreen && m_pScreen->IsAlive() ? m_pScreen : nullptr;
}
