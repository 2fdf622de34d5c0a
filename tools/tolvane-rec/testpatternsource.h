// CTestPatternSource: a synthetic moving picture in 32-bit BGRA (the
// engine's format code 12): a dark background, a bright bar sweeping from
// left to right, a square bouncing between the edges and the picture number
// drawn as big seven-segment digits in the middle. A flash picture is white
// all over (for A/V sync checks).
#pragma once

#include <cstdint>
#include <vector>

class CTestPatternSource {
public:
    static constexpr int kFormatBgra = 12;

    CTestPatternSource(int width, int height);

    // Draws picture `index` into the source's buffer and returns it
    // (width * height * 4 bytes, rows top-down, tightly packed).
    const std::vector<std::uint8_t>& Render(std::uint64_t index, bool bFlash);

    int Width() const { return m_nWidth; }
    int Height() const { return m_nHeight; }
    std::size_t FrameBytes() const { return m_Pixels.size() * 4; }

private:
    void FillRect(int x, int y, int w, int h, std::uint32_t color);
    void DrawDigit(int digit, int x, int y, int w, int h, std::uint32_t color);
    void DrawNumber(std::uint64_t value, std::uint32_t color);

    int m_nWidth;
    int m_nHeight;
    std::vector<std::uint32_t> m_Pixels;  // one BGRA pixel each (little-endian: 0xAARRGGBB)
    std::vector<std::uint8_t> m_Bytes;
};
