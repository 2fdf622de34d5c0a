// canvasengine: the drawing surfaces handed to OBSEngineDsSourceSink::DrawFrame.
//
// A device context is a BGRA surface: width x height pixels of 4 bytes (B, G,
// R, A), rows top-down, GetStride() bytes apart. The screen context reads the
// X screen (the root window, so all monitors in root coordinates) with the
// mouse cursor drawn into the picture. Both belong to the canvas and are valid
// only during the DrawFrame call, on the canvas thread.
#pragma once

#include <cstdint>

class IOBSEngineDC;

class IOBSEngineScreenDC {
public:
    // Size of the root window in pixels.
    virtual int GetWidth() = 0;
    virtual int GetHeight() = 0;
    // Copies the w x h screen area at (sx, sy) to (dx, dy) of dc, clipped to
    // dc. Screen parts outside the root window come out black. False when the
    // arguments are invalid or the screen could not be read (the connection to
    // the X server is gone).
    virtual bool BitBlt(IOBSEngineDC* dc, int dx, int dy, int w, int h, int sx, int sy) = 0;
    // Scales the sw x sh screen area at (sx, sy) onto the dw x dh area at
    // (dx, dy) of dc with CHalftoneScaler (a plain copy when the sizes match).
    virtual bool StretchBlt(IOBSEngineDC* dc, int dx, int dy, int dw, int dh, int sx, int sy, int sw,
                            int sh) = 0;

protected:
    ~IOBSEngineScreenDC() = default;
};

class IOBSEngineDC {
public:
    virtual std::uint8_t* GetBits() = 0;
    virtual int GetWidth() = 0;
    virtual int GetHeight() = 0;
    virtual int GetStride() = 0;
    // Fills the whole surface with a 32-bit ARGB colour (0xAARRGGBB).
    virtual void FillColor(std::uint32_t argb) = 0;
    // The screen to copy from; null when no X display can be read.
    virtual IOBSEngineScreenDC* GetScreenDC() = 0;

protected:
    ~IOBSEngineDC() = default;
};
