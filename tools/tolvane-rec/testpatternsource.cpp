#include "testpatternsource.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr std::uint32_t kBackground = 0xFF1E2A3C;  // dark slate
constexpr std::uint32_t kBar = 0xFFE0C040;         // amber
constexpr std::uint32_t kSquare = 0xFF40A0E0;      // sky blue
constexpr std::uint32_t kDigits = 0xFFF0F0F0;      // near white
constexpr std::uint32_t kWhite = 0xFFFFFFFF;

// Segments a..g of the seven-segment digits 0..9 (bit 0 = a).
constexpr std::uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

}  // namespace

CTestPatternSource::CTestPatternSource(int width, int height)
    : m_nWidth(width), m_nHeight(height),
      m_Pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height)),
      m_Bytes(m_Pixels.size() * 4) {}

const std::vector<std::uint8_t>& CTestPatternSource::Render(std::uint64_t index, bool bFlash) {
    if (bFlash) {
        std::fill(m_Pixels.begin(), m_Pixels.end(), kWhite);
    } else {
        std::fill(m_Pixels.begin(), m_Pixels.end(), kBackground);
        // The bar crosses the picture in four seconds at 15 pictures a second.
        const int barWidth = std::max(4, m_nWidth / 32);
        const int barX = static_cast<int>(index % 60) * (m_nWidth - barWidth) / 59;
        FillRect(barX, 0, barWidth, m_nHeight, kBar);
        // The square bounces vertically, period 2 s.
        const int side = std::max(8, m_nHeight / 8);
        const int travel = m_nHeight - side;
        const int phase = static_cast<int>(index % 30);
        const int y = (phase < 15 ? phase : 30 - phase) * travel / 15;
        FillRect(m_nWidth / 8, y, side, side, kSquare);
        DrawNumber(index, kDigits);
    }
    std::memcpy(m_Bytes.data(), m_Pixels.data(), m_Bytes.size());
    return m_Bytes;
}

void CTestPatternSource::FillRect(int x, int y, int w, int h, std::uint32_t color) {
    const int x0 = std::max(0, x);
    const int y0 = std::max(0, y);
    const int x1 = std::min(m_nWidth, x + w);
    const int y1 = std::min(m_nHeight, y + h);
    for (int row = y0; row < y1; ++row) {
        std::uint32_t* line = m_Pixels.data() + static_cast<std::size_t>(row) * m_nWidth;
        std::fill(line + x0, line + x1, color);
    }
}

void CTestPatternSource::DrawDigit(int digit, int x, int y, int w, int h, std::uint32_t color) {
    const std::uint8_t seg = kSegments[digit % 10];
    const int t = std::max(2, w / 6);  // stroke
    const int half = h / 2;
    if (seg & 0x01) FillRect(x, y, w, t, color);                     // a: top
    if (seg & 0x02) FillRect(x + w - t, y, t, half, color);          // b: top right
    if (seg & 0x04) FillRect(x + w - t, y + half, t, h - half, color);  // c: bottom right
    if (seg & 0x08) FillRect(x, y + h - t, w, t, color);             // d: bottom
    if (seg & 0x10) FillRect(x, y + half, t, h - half, color);       // e: bottom left
    if (seg & 0x20) FillRect(x, y, t, half, color);                  // f: top left
    if (seg & 0x40) FillRect(x, y + half - t / 2, w, t, color);      // g: middle
}

void CTestPatternSource::DrawNumber(std::uint64_t value, std::uint32_t color) {
    const std::string text = std::to_string(value);
    const int digitH = std::max(10, m_nHeight / 4);
    const int digitW = digitH / 2;
    const int gap = std::max(2, digitW / 4);
    const int n = static_cast<int>(text.size());
    const int totalW = n * digitW + (n - 1) * gap;
    int x = (m_nWidth - totalW) / 2;
    const int y = (m_nHeight - digitH) / 2;
    for (char c : text) {
        DrawDigit(c - '0', x, y, digitW, digitH, color);
        x += digitW + gap;
    }
}
