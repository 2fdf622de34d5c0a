// CDeviceContext: the device context handed to DrawFrame: a view of a
// source's area inside the canvas picture, with the canvas's screen context.
#pragma once

#include "canvasengine/obsenginedc.h"

class CScreenBackend;
class CScreenGrabber;

class CDeviceContext : public IOBSEngineDC {
public:
    // bits: the area's top-left pixel inside a picture whose rows are stride bytes apart.
    // screen: the canvas's screen backend (X11 or portal).
    CDeviceContext(std::uint8_t* bits, int width, int height, int stride, CScreenBackend* screen)
        : m_pBits(bits), m_nWidth(width), m_nHeight(height), m_nStride(stride), m_pScreen(screen) {}
    // screen: an X screen grabber used directly.
    CDeviceContext(std::uint8_t* bits, int width, int height, int stride, CScreenGrabber* screen)
        : m_pBits(bits), m_nWidth(width), m_nHeight(height), m_nStride(stride), m_pGrabber(screen) {}
    virtual ~CDeviceContext() = default;
    CDeviceContext(const CDeviceContext&) = delete;
    CDeviceContext& operator=(const CDeviceContext&) = delete;

    std::uint8_t* GetBits() override { return m_pBits; }
    int GetWidth() override { return m_nWidth; }
    int GetHeight() override { return m_nHeight; }
    int GetStride() override { return m_nStride; }
    void FillColor(std::uint32_t argb) override;
    IOBSEngineScreenDC* GetScreenDC() override;

    // Fills w x h pixels at bits (stride bytes per row) with an ARGB colour.
    static void Fill(std::uint8_t* bits, int w, int h, int stride, std::uint32_t argb);

private:
    std::uint8_t* m_pBits;
    int m_nWidth;
    int m_nHeight;
    int m_nStride;
    CScreenBackend* m_pScreen = nullptr;
    CScreenGrabber* m_pGrabber = nullptr;
};
