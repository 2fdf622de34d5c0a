// CPortalScreen: a Wayland desktop's monitor as a canvas's screen context:
// the screen-cast portal session and its PipeWire video. Areas are asked for
// in desktop coordinates (logical pixels, as the X server of the desktop
// (XWayland) counts them) and cut from the newest stream picture in stream
// coordinates: scaled by the stream size over the monitor size, so that a
// scaled monitor or a size change mid-recording still fills the same picture.
// Pictures are never waited for: the canvas thread takes the newest.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "canvasengine/halftonescaler.h"
#include "screenbackend.h"
#include "screencastportal.h"

class CPipeWireStream;

class CPortalScreen : public CScreenBackend {
public:
    // Time Open waits for the stream's first picture (a picture drawn before
    // shows black).
    static constexpr int kFirstPictureMs = 3000;

    // The environment variable that names a PipeWire video node to read
    // straight from PipeWire's own socket instead of asking the portal (for
    // developers and tests: a source other than a compositor's cast).
    static constexpr const char* kNodeVariable = "TOLVANE_PIPEWIRE_NODE";

    // Null with `error` set when the portal refused, failed or is missing
    // (or the node of kNodeVariable cannot be read).
    static std::unique_ptr<CScreenBackend> Open(std::string& error);
    // A screen over a stream already connected, without a portal session;
    // monitor: the monitor's place and size on the desktop (0 sizes: the
    // stream's own). Used by the tests with a stream of their own.
    static std::unique_ptr<CScreenBackend> FromStream(std::unique_ptr<CPipeWireStream> stream,
                                                      const CScreenCastPortal::Stream& monitor);
    ~CPortalScreen() override;

    int GetWidth() override;
    int GetHeight() override;
    bool BitBlt(IOBSEngineDC* dc, int dx, int dy, int w, int h, int sx, int sy) override;
    bool StretchBlt(IOBSEngineDC* dc, int dx, int dy, int dw, int dh, int sx, int sy, int sw, int sh) override;
    bool IsAlive() override;
    void Shutdown() override;

    // The stream rectangle (x0, y0)-(x1, y1) of a desktop area: the area
    // relative to the monitor at (monX, monY), scaled by stream / monitor size.
    static void ToStream(int sx, int sy, int sw, int sh, int monX, int monY, int monW, int monH, int streamW,
                         int streamH, double& x0, double& y0, double& x1, double& y1);

private:
    CPortalScreen(std::unique_ptr<CScreenCastPortal> portal, const CScreenCastPortal::Stream& monitor,
                  std::unique_ptr<CPipeWireStream> stream);

    std::unique_ptr<CScreenCastPortal> m_pPortal;  // null without a portal session
    const CScreenCastPortal::Stream m_monitor;
    std::unique_ptr<CPipeWireStream> m_pStream;
    CHalftoneScaler m_scaler;
    std::vector<std::uint8_t> m_area;    // the area cut from the stream picture
    std::vector<std::uint8_t> m_scaled;  // the area at its destination size
    bool m_bAlive = true;
};
