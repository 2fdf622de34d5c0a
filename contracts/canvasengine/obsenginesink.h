// canvasengine: the picture record and the two callback interfaces the
// canvas calls on its own thread.
#pragma once

#include <cstdint>

class IOBSEngineDC;

// Picture formats of OBSVideoFrame::nFormat.
enum { OBS_FRAME_FORMAT_BGRA = 12 };  // 4 bytes per pixel B, G, R, A; rows top-down, tightly packed

// One finished canvas picture. The bytes belong to the canvas and stay valid
// until OnVideoFrame returns; a receiver that keeps them copies them.
struct OBSVideoFrame {
    std::uint32_t dwLength = 0;     // bytes at pData: nStride x nHeight
    std::uint8_t* pData = nullptr;  // first byte of the top row
    std::uint32_t dwTimeStamp = 0;  // GetTickMs() of the grab, truncated to 32 bits
    int nWidth = 0;                 // canvas size in pixels
    int nHeight = 0;
    int nStride = 0;                // bytes per row (nWidth x 4)
    int nFormat = OBS_FRAME_FORMAT_BGRA;
    // Rows [nDirtyTop, nDirtyTop + nDirtyRows) are the only ones that may differ from the
    // previous picture delivered to the sink; nDirtyRows == -1: any row may differ (unknown),
    // 0: the picture equals the previous one.
    int nDirtyTop = 0;
    int nDirtyRows = -1;
};

// Receives the canvas pictures.
class OBSEngineSink {
public:
    // nSlot: the picture's place on the frame-rate grid since the canvas
    // started or its frame rate changed (0, 1, 2, ...; a slot skipped after a
    // late picture is missing).
    virtual void OnVideoFrame(int nSlot, OBSVideoFrame* frame) = 0;

protected:
    ~OBSEngineSink() = default;
};

// Draws a source's picture into the device context the canvas provides.
class OBSEngineDsSourceSink {
public:
    // width x height is the source's area on the canvas (the size of dc).
    // True when a picture was drawn or nothing was due, false when there was
    // nothing to draw from; the canvas delivers the picture either way.
    virtual bool DrawFrame(IOBSEngineDC* dc, int width, int height) = 0;

protected:
    ~OBSEngineDsSourceSink() = default;
};
