// CX11ScreenBackend: the X server's screen as a canvas's screen context; a
// thin owner of a CScreenGrabber on the default display.
#pragma once

#include <memory>
#include <string>

#include "screenbackend.h"

class CScreenGrabber;

class CX11ScreenBackend : public CScreenBackend {
public:
    // Null with `error` set when $DISPLAY cannot be opened.
    static std::unique_ptr<CScreenBackend> Open(std::string& error);
    ~CX11ScreenBackend() override;

    int GetWidth() override;
    int GetHeight() override;
    bool BitBlt(IOBSEngineDC* dc, int dx, int dy, int w, int h, int sx, int sy) override;
    bool StretchBlt(IOBSEngineDC* dc, int dx, int dy, int dw, int dh, int sx, int sy, int sw, int sh) override;
    bool IsAlive() override;
    void Shutdown() override;

private:
    explicit CX11ScreenBackend(std::unique_ptr<CScreenGrabber> grabber);
    std::unique_ptr<CScreenGrabber> m_pGrabber;
};
