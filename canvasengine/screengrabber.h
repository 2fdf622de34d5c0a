// CScreenGrabber: the screen context of a canvas: reads areas of the root
// window (all monitors, root coordinates) over its own X connection with
// MIT-SHM, or with plain XGetImage where shared memory is not available (a
// remote display, a server without the extension), converts them to BGRA and
// draws the cursor in. Used by one thread at a time.
//
// Change tracking: where the server has the DAMAGE extension (and it is not
// turned off), a draw into a canvas device context that holds this grabber's
// previous draw with the same arguments reads, scales and copies only the
// rows that changed since (what the server reports damaged, and the rows of
// the cursor's old and new place when it moved or changed its image); every
// other draw reads the whole area.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "canvasengine/halftonescaler.h"
#include "canvasengine/obsenginedc.h"
#include "cursorpainter.h"
#include "rowspans.h"

class CDamageTracker;
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
    // False: no change tracking, every draw reads its whole area. True (the
    // default) has no effect without DAMAGE on the server or with
    // TOLVANE_CAPTURE_DAMAGE=0 in the environment.
    void SetUseDamage(bool use);
    bool IsTrackingChanges() const { return m_pDamage != nullptr; }
    bool IsAlive();
    CXConnection& GetConnection() { return *m_pConnection; }

private:
    struct ImageDeleter {
        void operator()(XImage* image) const;
    };

    // The arguments of a draw into a device context: the next draw may be
    // incremental only with the same ones.
    struct DrawKey {
        const void* pArea = nullptr;  // the device context's first pixel
        int nStride = 0, nTargetWidth = 0, nTargetHeight = 0;
        int nDx = 0, nDy = 0, nDw = 0, nDh = 0, nSx = 0, nSy = 0, nSw = 0, nSh = 0;
        bool operator==(const DrawKey&) const = default;
    };
    // What the kept picture holds after a tracked read.
    struct TrackedRead {
        bool bValid = false;
        int nX = 0, nY = 0, nWidth = 0, nHeight = 0;
        int nRootWidth = 0, nRootHeight = 0;
        bool bDirect = false;  // the picture is the shared-memory image itself
        bool bCursor = false;
        CCursorPainter::Place cursor;
    };

    explicit CScreenGrabber(std::unique_ptr<CXConnection> connection);
    // Reads the w x h root area at (x, y) into the kept picture. With
    // `changed` (a tracked read) and `keep` (the caller still holds what the
    // last tracked read of the same area gave), only the rows that changed
    // since are read again and `changed` receives them (relative to y);
    // otherwise the whole area is read and `changed`, if given, is "all".
    bool ReadPicture(int x, int y, int w, int h, GrabbedPicture& picture, CRowSpans* changed, bool keep);
    // The changed rows of an incremental read into the kept picture.
    bool ReadChangedRows(int x, int y, int w, int h, const std::vector<CRowSpans::Span>& spans);
    // Adds the rows of a cursor place that overlaps the w x h area at (x, y).
    static void AddCursorRows(const CCursorPainter::Place& place, int x, int y, int w, CRowSpans& rows);
    void ProcessEvents();
    void RefreshRootSize();
    // The image of the w x h root area at (x, y), inside the root window.
    XImage* ReadArea(int x, int y, int w, int h);
    XImage* ReadAreaShm(int x, int y, int w, int h, bool& tryPlain);
    // Copies the visible part of a w x h picture placed at (dx, dy) into an
    // outW x outH surface (outStride bytes per row).
    static void CopyInto(std::uint8_t* out, int outStride, int outW, int outH, int dx, int dy,
                         const std::uint8_t* bits, int stride, int w, int h);

    std::unique_ptr<CXConnection> m_pConnection;
    std::unique_ptr<CShmImage> m_pShm;                    // null: XGetImage
    std::unique_ptr<XImage, ImageDeleter> m_pPlainImage;  // the latest XGetImage result
    std::unique_ptr<CDamageTracker> m_pDamage;            // null: no change tracking
    CCursorPainter m_cursor;
    CHalftoneScaler m_scaler;
    std::vector<std::uint8_t> m_buffer;         // pictures that were converted or clipped
    std::vector<std::uint8_t> m_stretchBuffer;  // scaled pictures that stick out of the dc
    int m_nRootWidth = 0;
    int m_nRootHeight = 0;
    int m_nShmFailures = 0;
    bool m_bDrawCursor = true;
    bool m_bFormatReported = false;
    TrackedRead m_tracked;
    DrawKey m_lastDraw;
    bool m_bLastDrawValid = false;
};
