// CScreenGrabber: the screen context of a canvas: reads areas of the root
// window (all monitors, root coordinates) over its own X connection with
// MIT-SHM, or with plain XGetImage where shared memory is not available (a
// remote display, a server without the extension), converts them to BGRA and
// draws the cursor in. Used by one thread at a time.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "canvasengine/halftonescaler.h"
#include "canvasengine/obsenginedc.h"
#include "cursorpainter.h"

class CShmImage;
class CXConnection;

// A grabbed picture: B, G, R, x pixels, rows top-down; valid until the next grab.
struct GrabbedPicture {
    std::uint8_t* pBits = nullptr;
    int nStride = 0;
    int nWidth = 0;
    int nHeight = 0;
};

class CScreenGrabber : public IOBSEngineScreenDC {
public:
    // Null when the display (null: $DISPLAY) cannot be opened.
    static std::unique_ptr<CScreenGrabber> Open(const char* displayName);
    virtual ~CScreenGrabber();
    CScreenGrabber(const CScreenGrabber&) = delete;
    CScreenGrabber& operator=(const CScreenGrabber&) = delete;

    int GetWidth() override;
    int GetHeight() override;
    bool BitBlt(IOBSEngineDC* dc, int dx, int dy, int w, int h, int sx, int sy) override;
    bool StretchBlt(IOBSEngineDC* dc, int dx, int dy, int dw, int dh, int sx, int sy, int sw, int sh) override;

    // Reads the w x h root area at (x, y); parts outside the root window are
    // black. False when the area is too large or the screen cannot be read.
    bool Grab(int x, int y, int w, int h, GrabbedPicture& picture);

    // False: plain XGetImage from now on. True (the default) has no effect
    // once shared memory failed.
    void SetUseShm(bool use);
    bool IsUsingShm() const { return m_pShm != nullptr; }
    void SetDrawCursor(bool draw) { m_bDrawCursor = draw; }
    bool IsAlive();
    CXConnection& GetConnection() { return *m_pConnection; }

private:
    struct ImageDeleter {
        void operator()(XImage* image) const;
    };

    explicit CScreenGrabber(std::unique_ptr<CXConnection> connection);
    void ProcessEvents();
    void RefreshRootSize();
    // The image of the w x h root area at (x, y), inside the root window.
    XImage* ReadArea(int x, int y, int w, int h);
    XImage* ReadAreaShm(int x, int y, int w, int h, bool& tryPlain);
    // Copies the visible part of a w x h picture placed at (dx, dy) into dc.
    static void CopyInto(IOBSEngineDC* dc, int dx, int dy, const std::uint8_t* bits, int stride, int w, int h);

    std::unique_ptr<CXConnection> m_pConnection;
    std::unique_ptr<CShmImage> m_pShm;                    // null: XGetImage
    std::unique_ptr<XImage, ImageDeleter> m_pPlainImage;  // the latest XGetImage result
    CCursorPainter m_cursor;
    CHalftoneScaler m_scaler;
    std::vector<std::uint8_t> m_buffer;         // pictures that were converted or clipped
    std::vector<std::uint8_t> m_stretchBuffer;  // scaled pictures that stick out of the dc
    int m_nRootWidth = 0;
    int m_nRootHeight = 0;
    int m_nShmFailures = 0;
    bool m_bDrawCursor = true;
    bool m_bFormatReported = false;
};
