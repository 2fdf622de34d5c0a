#include "screengrabber.h"

#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

#include <algorithm>
#include <cstring>

#include "basekit/logwrapper.h"
#include "pixelformat.h"
#include "shmimage.h"
#include "xconnection.h"

namespace {
// Largest area one grab may cover (the buffer it needs stays below 256 MB).
constexpr std::int64_t kMaxGrabPixels = std::int64_t{1} << 26;
// Consecutive failed shared-memory reads after which XGetImage takes over.
constexpr int kMaxShmFailures = 3;

void FillOpaqueBlack(std::uint8_t* bits, std::size_t pixels) {
    for (std::size_t i = 0; i < pixels; ++i, bits += 4) {
        bits[0] = bits[1] = bits[2] = 0;
        bits[3] = 255;
    }
}
}  // namespace

void CScreenGrabber::ImageDeleter::operator()(XImage* image) const { XDestroyImage(image); }

std::unique_ptr<CScreenGrabber> CScreenGrabber::Open(const char* displayName) {
    std::unique_ptr<CXConnection> connection = CXConnection::Open(displayName);
    if (!connection) return nullptr;
    return std::unique_ptr<CScreenGrabber>(new CScreenGrabber(std::move(connection)));
}

CScreenGrabber::CScreenGrabber(std::unique_ptr<CXConnection> connection)
    : m_pConnection(std::move(connection)), m_cursor(m_pConnection->GetDisplay()) {
    Display* display = m_pConnection->GetDisplay();
    const int screen = DefaultScreen(display);
    if (XShmQueryExtension(display))
        m_pShm = std::make_unique<CShmImage>(*m_pConnection, DefaultVisual(display, screen),
                                             DefaultDepth(display, screen));
    // Root size changes (monitors added or removed) arrive as ConfigureNotify.
    XSelectInput(display, m_pConnection->GetRoot(), StructureNotifyMask);
    RefreshRootSize();
    // A segment for the whole screen now: the first picture does not pay for
    // it, and a server that refuses shared memory (a remote one) is known at once.
    if (m_pShm && !m_pShm->Get(std::max(m_nRootWidth, 1), std::max(m_nRootHeight, 1))) m_pShm.reset();
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "screen " << m_nRootWidth << "x" << m_nRootHeight << ", depth "
                                                 << DefaultDepth(display, screen) << ", shared memory "
                                                 << (m_pShm ? "yes" : "no") << ", cursor "
                                                 << (m_cursor.IsAvailable() ? "yes" : "no"));
}

CScreenGrabber::~CScreenGrabber() {
    // Images and the segment go before the connection they belong to.
    m_pPlainImage.reset();
    m_pShm.reset();
}

bool CScreenGrabber::IsAlive() { return m_pConnection->CheckAlive(); }

void CScreenGrabber::SetUseShm(bool use) {
    if (!use) m_pShm.reset();
}

void CScreenGrabber::RefreshRootSize() {
    if (m_pConnection->IsLost()) return;
    Window root;
    int x, y;
    unsigned w = 0, h = 0, border, depth;
    if (XGetGeometry(m_pConnection->GetDisplay(), m_pConnection->GetRoot(), &root, &x, &y, &w, &h, &border, &depth)) {
        m_nRootWidth = static_cast<int>(w);
        m_nRootHeight = static_cast<int>(h);
    }
}

void CScreenGrabber::ProcessEvents() {
    Display* display = m_pConnection->GetDisplay();
    while (!m_pConnection->IsLost() && XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == ConfigureNotify && event.xconfigure.window == m_pConnection->GetRoot()) {
            m_nRootWidth = event.xconfigure.width;
            m_nRootHeight = event.xconfigure.height;
        }
    }
}

int CScreenGrabber::GetWidth() {
    if (m_pConnection->CheckAlive()) ProcessEvents();
    return m_nRootWidth;
}

int CScreenGrabber::GetHeight() {
    if (m_pConnection->CheckAlive()) ProcessEvents();
    return m_nRootHeight;
}

XImage* CScreenGrabber::ReadAreaShm(int x, int y, int w, int h, bool& tryPlain) {
    tryPlain = false;
    if (m_pShm->Read(x, y, w, h)) {
        m_nShmFailures = 0;
        return m_pShm->GetImage();
    }
    if (m_pConnection->IsLost()) return nullptr;
    if (m_pShm->IsRefused() || ++m_nShmFailures >= kMaxShmFailures) {
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- shared memory grabs fail, reading with XGetImage from now on");
        m_pShm.reset();
        tryPlain = true;
        return nullptr;
    }
    // Most likely the root window shrank since the last look.
    RefreshRootSize();
    return nullptr;
}

XImage* CScreenGrabber::ReadArea(int x, int y, int w, int h) {
    if (m_pShm) {
        bool tryPlain = false;
        XImage* image = ReadAreaShm(x, y, w, h, tryPlain);
        if (image || !tryPlain) return image;
    }
    m_pPlainImage.reset();
    m_pConnection->TakeError();
    XImage* image = XGetImage(m_pConnection->GetDisplay(), m_pConnection->GetRoot(), x, y,
                              static_cast<unsigned>(w), static_cast<unsigned>(h), AllPlanes, ZPixmap);
    const int error = m_pConnection->TakeError();
    if (!image) {
        if (!m_pConnection->IsLost()) {
            UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- XGetImage failed, error " << error);
            RefreshRootSize();
        }
        return nullptr;
    }
    m_pPlainImage.reset(image);
    return image;
}

bool CScreenGrabber::Grab(int x, int y, int w, int h, GrabbedPicture& picture) {
    if (w < 1 || h < 1 || static_cast<std::int64_t>(w) * h > kMaxGrabPixels) return false;
    if (!m_pConnection->CheckAlive()) return false;
    ProcessEvents();
    const std::int64_t x0 = std::max<std::int64_t>(x, 0), y0 = std::max<std::int64_t>(y, 0);
    const std::int64_t x1 = std::min<std::int64_t>(std::int64_t{x} + w, m_nRootWidth);
    const std::int64_t y1 = std::min<std::int64_t>(std::int64_t{y} + h, m_nRootHeight);
    const bool visible = x0 < x1 && y0 < y1;
    XImage* image = nullptr;
    if (visible) {
        image = ReadArea(static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0),
                         static_cast<int>(y1 - y0));
        if (!image) return false;
    }
    const bool whole = visible && x0 == x && y0 == y && x1 - x0 == w && y1 - y0 == h;
    if (image) {
        CPixelFormat format(*image);
        if (!format.IsSupported()) {
            if (!m_bFormatReported)
                UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- unsupported screen format, " << image->bits_per_pixel
                                                                                       << " bits per pixel");
            m_bFormatReported = true;
            return false;
        }
        if (whole && format.IsBgrx()) {
            picture = {reinterpret_cast<std::uint8_t*>(image->data), image->bytes_per_line, w, h};
        } else {
            m_buffer.resize(static_cast<std::size_t>(w) * h * 4);
            if (!whole) FillOpaqueBlack(m_buffer.data(), static_cast<std::size_t>(w) * h);
            const int cw = static_cast<int>(x1 - x0);
            for (int row = 0; row < image->height; ++row)
                format.ConvertRow(reinterpret_cast<const std::uint8_t*>(image->data) +
                                      static_cast<std::ptrdiff_t>(row) * image->bytes_per_line,
                                  &m_buffer[((static_cast<std::size_t>(y0 - y) + row) * w + (x0 - x)) * 4], cw);
            picture = {m_buffer.data(), w * 4, w, h};
        }
    } else {
        m_buffer.resize(static_cast<std::size_t>(w) * h * 4);
        FillOpaqueBlack(m_buffer.data(), static_cast<std::size_t>(w) * h);
        picture = {m_buffer.data(), w * 4, w, h};
    }
    if (m_bDrawCursor) m_cursor.Paint(picture.pBits, picture.nStride, x, y, w, h);
    return true;
}

void CScreenGrabber::CopyInto(IOBSEngineDC* dc, int dx, int dy, const std::uint8_t* bits, int stride, int w,
                              int h) {
    const int x0 = std::max(dx, 0), y0 = std::max(dy, 0);
    const int x1 = std::min<std::int64_t>(std::int64_t{dx} + w, dc->GetWidth());
    const int y1 = std::min<std::int64_t>(std::int64_t{dy} + h, dc->GetHeight());
    if (x0 >= x1 || y0 >= y1) return;
    std::uint8_t* out = dc->GetBits();
    const int outStride = dc->GetStride();
    for (int y = y0; y < y1; ++y)
        std::memcpy(out + static_cast<std::ptrdiff_t>(y) * outStride + x0 * 4,
                    bits + static_cast<std::ptrdiff_t>(y - dy) * stride + (x0 - dx) * 4,
                    static_cast<std::size_t>(x1 - x0) * 4);
}

bool CScreenGrabber::BitBlt(IOBSEngineDC* dc, int dx, int dy, int w, int h, int sx, int sy) {
    if (!dc || !dc->GetBits() || w < 1 || h < 1) return false;
    // Only the part that lands inside the dc is read.
    const std::int64_t x0 = std::max(dx, 0), y0 = std::max(dy, 0);
    const std::int64_t x1 = std::min<std::int64_t>(std::int64_t{dx} + w, dc->GetWidth());
    const std::int64_t y1 = std::min<std::int64_t>(std::int64_t{dy} + h, dc->GetHeight());
    if (x0 >= x1 || y0 >= y1) return true;
    GrabbedPicture picture;
    if (!Grab(static_cast<int>(sx + (x0 - dx)), static_cast<int>(sy + (y0 - dy)), static_cast<int>(x1 - x0),
              static_cast<int>(y1 - y0), picture))
        return false;
    CopyInto(dc, static_cast<int>(x0), static_cast<int>(y0), picture.pBits, picture.nStride, picture.nWidth,
             picture.nHeight);
    return true;
}

bool CScreenGrabber::StretchBlt(IOBSEngineDC* dc, int dx, int dy, int dw, int dh, int sx, int sy, int sw, int sh) {
    if (!dc || !dc->GetBits() || dw < 1 || dh < 1 || sw < 1 || sh < 1) return false;
    if (dw == sw && dh == sh) return BitBlt(dc, dx, dy, dw, dh, sx, sy);
    if (static_cast<std::int64_t>(dw) * dh > kMaxGrabPixels) return false;
    GrabbedPicture picture;
    if (!Grab(sx, sy, sw, sh, picture)) return false;
    const bool inside = dx >= 0 && dy >= 0 && std::int64_t{dx} + dw <= dc->GetWidth() &&
                        std::int64_t{dy} + dh <= dc->GetHeight();
    if (inside) {
        const int stride = dc->GetStride();
        return m_scaler.Draw(picture.pBits, sw, sh, picture.nStride,
                             dc->GetBits() + static_cast<std::ptrdiff_t>(dy) * stride + dx * 4, dw, dh, stride);
    }
    m_stretchBuffer.resize(static_cast<std::size_t>(dw) * dh * 4);
    if (!m_scaler.Draw(picture.pBits, sw, sh, picture.nStride, m_stretchBuffer.data(), dw, dh, dw * 4)) return false;
    CopyInto(dc, dx, dy, m_stretchBuffer.data(), dw * 4, dw, dh);
    return true;
}
