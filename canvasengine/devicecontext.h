// CDeviceContext: the device context handed to DrawFrame: a view of a
// source's area inside the canvas picture, with the canvas's screen context.
//
// Between two pictures the canvas may keep a source's area as it was (the
// previous picture of that source): the context then starts "holding the
// previous picture", and a screen grab that can tell which rows changed since
// its last draw into this very area redraws only those (BeginDraw(true) and
// AddChanged). Anything else that draws (a whole grab, FillColor, a
// caller writing through GetBits) first sees the area as a fresh picture
// would show it, the background colour, and the whole area counts as changed.
// Canvas thread only; the bits belong to the canvas.
#pragma once

#include <cstdint>

#include "canvasengine/obsenginedc.h"
#include "rowspans.h"

class CScreenBackend;
class CScreenGrabber;

class CDeviceContext : public IOBSEngineDC {
public:
    // bits: the area's top-left pixel inside a picture whose rows are stride bytes apart.
    // screen: the canvas's screen backend (X11 or portal). holdsPrevious: the
    // area holds what the previous picture's single grab drew into it over the
    // background colour `background` (ARGB); false: the area is background.
    CDeviceContext(std::uint8_t* bits, int width, int height, int stride, CScreenBackend* screen,
                   bool holdsPrevious = false, std::uint32_t background = 0xFF000000u)
        : m_pBits(bits), m_nWidth(width), m_nHeight(height), m_nStride(stride), m_pScreen(screen),
          m_dwBackground(background), m_bHoldsPrevious(holdsPrevious) {}
    // screen: an X screen grabber used directly.
    CDeviceContext(std::uint8_t* bits, int width, int height, int stride, CScreenGrabber* screen)
        : m_pBits(bits), m_nWidth(width), m_nHeight(height), m_nStride(stride), m_pGrabber(screen) {}
    virtual ~CDeviceContext() = default;
    CDeviceContext(const CDeviceContext&) = delete;
    CDeviceContext& operator=(const CDeviceContext&) = delete;

    // A caller that writes through these bits sees a fresh area (see above).
    std::uint8_t* GetBits() override;
    int GetWidth() override { return m_nWidth; }
    int GetHeight() override { return m_nHeight; }
    int GetStride() override { return m_nStride; }
    void FillColor(std::uint32_t argb) override;
    IOBSEngineScreenDC* GetScreenDC() override;

    // Fills w x h pixels at bits (stride bytes per row) with an ARGB colour.
    static void Fill(std::uint8_t* bits, int w, int h, int stride, std::uint32_t argb);

    // The screen grab's side. Null when dc is not one of these.
    static CDeviceContext* FromInterface(IOBSEngineDC* dc);
    // Where the area is, without drawing: what identifies it from one picture to the next.
    const void* GetArea() const { return m_pBits; }
    // True while no draw has touched an area that holds the previous picture.
    bool HoldsPrevious() const { return m_bHoldsPrevious && m_nDraws == 0; }
    // A grab starts drawing: incremental (it redraws only rows it then passes
    // to AddChanged, the area holding its own previous draw) or whole
    // (every row changed). Returns the bits to draw into.
    std::uint8_t* BeginDraw(bool incremental);
    // Rows [top, bottom) of columns [left, right) were redrawn.
    void AddChanged(int top, int bottom, int left, int right);

    // The canvas's side, after DrawFrame. An area nothing drew into is the
    // background, as in a fresh picture.
    void Finish();
    // The rows of the area that may differ from the previous picture, and
    // the columns of those rows that were drawn.
    const CRowSpans& GetChangedRows() const { return m_changed; }
    int GetChangedLeft() const { return m_changed.IsAll() ? 0 : m_nChangedLeft; }
    int GetChangedRight() const { return m_changed.IsAll() ? m_nWidth : m_nChangedRight; }
    // True when something wrote into the area after an incremental draw:
    // what was drawn is right, but which pixels changed is not known any
    // more; the canvas draws such a source again from a fresh area.
    bool IsMixed() const { return m_bMixed; }
    // True when the area is exactly one grab's draw over the background, so
    // that the next picture may keep it.
    bool IsKeepable() const { return m_nDraws == 1 && !m_bForeign; }

private:
    // The area as a fresh picture would have it; every row changed.
    void Refresh();

    std::uint8_t* m_pBits;
    int m_nWidth;
    int m_nHeight;
    int m_nStride;
    CScreenBackend* m_pScreen = nullptr;
    CScreenGrabber* m_pGrabber = nullptr;
    std::uint32_t m_dwBackground = 0xFF000000u;
    bool m_bHoldsPrevious = false;  // the area still holds the previous picture (until Refresh)
    bool m_bForeign = false;        // drawn by something other than a grab
    bool m_bMixed = false;
    int m_nChangedLeft = 0;
    int m_nChangedRight = 0;
    int m_nDraws = 0;
    CRowSpans m_changed;
};
