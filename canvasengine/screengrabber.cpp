#include "screengrabber.h"

#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

#include <algorithm>
#include <cstring>

#include "basekit/logwrapper.h"
#include "damagetracker.h"
#include "devicecontext.h"
#include "pixelformat.h"
#include "shmimage.h"
#include "xconnection.h"

namespace {
// Largest area one grab may cover (the buffer it needs stays below 256 MB).
constexpr std::int64_t kMaxGrabPixels = std::int64_t{1} << 26;
// Consecutive failed shared-memory reads after which XGetImage takes over.
constexpr int kMaxShmFailures = 3;
// Changed rows closer than this are read together: one request instead of two.
constexpr int kJoinRows = 16;
// At most this many reads (each a round trip to the server) per picture;
// more spans are read as one from the first changed row to the last.
constexpr std::size_t kMaxReads = 4;

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
    m_pDamage = CDamageTracker::Create(*m_pConnection);
    RefreshRootSize();
    // A segment for the whole screen now: the first picture does not pay for
    // it, and a server that refuses shared memory (a remote one) is known at once.
    if (m_pShm && !m_pShm->Get(std::max(m_nRootWidth, 1), std::max(m_nRootHeight, 1))) m_pShm.reset();
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "screen " << m_nRootWidth << "x" << m_nRootHeight << ", depth "
                                                 << DefaultDepth(display, screen) << ", shared memory "
                                                 << (m_pShm ? "yes" : "no") << ", cursor "
                                                 << (m_cursor.IsAvailable() ? "yes" : "no") << ", change tracking "
                                                 << (m_pDamage ? "yes" : "no"));
}

CScreenGrabber::~CScreenGrabber() {
    // Images, the segment and the damage object go before the connection they belong to.
    m_pDamage.reset();
    m_pPlainImage.reset();
    m_pShm.reset();
}

void CScreenGrabber::SetUseDamage(bool use) {
    m_tracked.bValid = false;
    if (!use)
        m_pDamage.reset();
    else if (!m_pDamage)
        m_pDamage = CDamageTracker::Create(*m_pConnection);
}

bool CScreenGrabber::IsAlive() { return m_pConnection->CheckAlive(); }

void CScreenGrabber::SetUseShm(bool use) {
    if (use) return;
    m_pShm.reset();
    m_tracked.bValid = false;  // it may have been the shared-memory image
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
    // Never blocks: only what already arrived is read. DamageNotify events
    // only say that something was drawn; the region is read at each grab.
    while (!m_pConnection->IsLost() && XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        if (m_pDamage && m_pDamage->NoteEvent(event)) continue;
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
    return ReadPicture(x, y, w, h, picture, nullptr, false);
}

void CScreenGrabber::AddCursorRows(const CCursorPainter::Place& place, int x, int y, int w, CRowSpans& rows) {
    if (place.nWidth < 1 || place.nHeight < 1) return;
    if (place.nLeft >= std::int64_t{x} + w || std::int64_t{place.nLeft} + place.nWidth <= x) return;
    rows.Add(place.nTop - y, place.nTop + place.nHeight - y);
}

bool CScreenGrabber::ReadChangedRows(int x, int y, int w, int h, const std::vector<CRowSpans::Span>& spans) {
    const int x0 = std::max(x, 0), y0 = std::max(y, 0);
    const int x1 = static_cast<int>(std::min<std::int64_t>(std::int64_t{x} + w, m_nRootWidth));
    const int y1 = static_cast<int>(std::min<std::int64_t>(std::int64_t{y} + h, m_nRootHeight));
    const bool whole = x0 == x && y0 == y && x1 == std::int64_t{x} + w && y1 == std::int64_t{y} + h;
    for (const CRowSpans::Span& span : spans) {
        // Rows off the screen are black; the cursor may have been drawn on them.
        if (!whole)
            FillOpaqueBlack(&m_buffer[static_cast<std::size_t>(span.first) * w * 4],
                            static_cast<std::size_t>(span.second - span.first) * w);
        // The rows of the span that lie on the screen.
        const int top = std::max(span.first, y0 - y), bottom = std::min(span.second, y1 - y);
        if (top >= bottom || x0 >= x1) continue;
        if (m_tracked.bDirect) {
            if (!m_pShm || !m_pShm->ReadRows(x, y, w, h, top, bottom - top)) {
                if (!m_pConnection->IsLost()) RefreshRootSize();
                return false;
            }
            continue;
        }
        XImage* image = ReadArea(x0, y + top, x1 - x0, bottom - top);
        if (!image) return false;
        CPixelFormat format(*image);
        if (!format.IsSupported()) return false;
        for (int row = 0; row < image->height; ++row)
            format.ConvertRow(reinterpret_cast<const std::uint8_t*>(image->data) +
                                  static_cast<std::ptrdiff_t>(row) * image->bytes_per_line,
                              &m_buffer[((static_cast<std::size_t>(top) + row) * w + (x0 - x)) * 4], x1 - x0);
    }
    return true;
}

bool CScreenGrabber::ReadPicture(int x, int y, int w, int h, GrabbedPicture& picture, CRowSpans* changed,
                                 bool keep) {
    if (w < 1 || h < 1 || static_cast<std::int64_t>(w) * h > kMaxGrabPixels) return false;
    if (!m_pConnection->CheckAlive()) return false;
    // What already arrived first (a server gone shows here, before any
    // request waits for a reply), then the cursor: its reply brings every
    // event the server sent before it, so that the damage events read next
    // are complete up to here.
    ProcessEvents();
    const bool cursorAsked = m_bDrawCursor && m_cursor.IsAvailable();
    CCursorPainter::Place cursor;
    if (m_bDrawCursor && m_cursor.Fetch()) cursor = m_cursor.GetPlace();
    if (m_pConnection->IsLost()) return false;
    ProcessEvents();
    const TrackedRead previous = m_tracked;
    m_tracked.bValid = false;
    // What changed since the last tracked read. The damage is taken before
    // the screen is read: whatever is drawn from then on shows up next time.
    CRowSpans rows;
    bool incremental = changed && keep && m_pDamage && previous.bValid && previous.nX == x && previous.nY == y &&
                       previous.nWidth == w && previous.nHeight == h && previous.nRootWidth == m_nRootWidth &&
                       previous.nRootHeight == m_nRootHeight && previous.bCursor == m_bDrawCursor;
    // Without a damage event since the last Take nothing was drawn (the
    // cursor's round trip stands for the one Take would need).
    if (changed && m_pDamage && (!cursorAsked || m_pDamage->IsPending()) && !m_pDamage->Take(x, y, w, h, rows))
        incremental = false;
    if (incremental && !(cursor == previous.cursor)) {
        AddCursorRows(previous.cursor, x, y, w, rows);
        AddCursorRows(cursor, x, y, w, rows);
    }
    const std::int64_t x0 = std::max<std::int64_t>(x, 0), y0 = std::max<std::int64_t>(y, 0);
    const std::int64_t x1 = std::min<std::int64_t>(std::int64_t{x} + w, m_nRootWidth);
    const std::int64_t y1 = std::min<std::int64_t>(std::int64_t{y} + h, m_nRootHeight);
    const bool visible = x0 < x1 && y0 < y1;
    const bool whole = visible && x0 == x && y0 == y && x1 - x0 == w && y1 - y0 == h;
    bool direct = false;
    if (incremental) {
        rows.Bridge(kJoinRows);
        if (previous.bDirect && !m_pShm) return false;  // the image it kept is gone; the next read is whole
        if (rows.Spans().size() > kMaxReads) {
            const CRowSpans::Span hull = rows.Hull(h);
            rows.Clear();
            rows.Add(hull.first, hull.second);
        }
        m_tracked = previous;
        if (!ReadChangedRows(x, y, w, h, rows.Within(h))) {
            m_tracked.bValid = false;
            return false;
        }
        direct = previous.bDirect;
        if (direct) {
            XImage* image = m_pShm->GetImage();
            picture = {reinterpret_cast<std::uint8_t*>(image->data), image->bytes_per_line, w, h};
        } else {
            picture = {m_buffer.data(), w * 4, w, h};
        }
    } else {
        rows.SetAll();
        XImage* image = nullptr;
        if (visible) {
            image = ReadArea(static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0),
                             static_cast<int>(y1 - y0));
            if (!image) return false;
        }
        if (image) {
            CPixelFormat format(*image);
            if (!format.IsSupported()) {
                if (!m_bFormatReported)
                    UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- unsupported screen format, " << image->bits_per_pixel
                                                                                           << " bits per pixel");
                m_bFormatReported = true;
                return false;
            }
            // A tracked read keeps a plain XGetImage result in the buffer:
            // the next read replaces the image.
            if (whole && format.IsBgrx() && (!changed || (m_pShm && image == m_pShm->GetImage()))) {
                picture = {reinterpret_cast<std::uint8_t*>(image->data), image->bytes_per_line, w, h};
                direct = true;
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
    }
    // The cursor goes only onto rows read now: the others still carry it
    // where it was, and it was there still.
    if (m_bDrawCursor)
        for (const CRowSpans::Span& span : rows.Within(h))
            m_cursor.PaintRows(picture.pBits, picture.nStride, x, y, w, h, span.first, span.second);
    if (changed) {
        m_tracked = {true, x, y, w, h, m_nRootWidth, m_nRootHeight, direct, m_bDrawCursor, cursor};
        *changed = rows;
    }
    return true;
}

void CScreenGrabber::CopyInto(std::uint8_t* out, int outStride, int outW, int outH, int dx, int dy,
                              const std::uint8_t* bits, int stride, int w, int h) {
    const int x0 = std::max(dx, 0), y0 = std::max(dy, 0);
    const int x1 = static_cast<int>(std::min<std::int64_t>(std::int64_t{dx} + w, outW));
    const int y1 = static_cast<int>(std::min<std::int64_t>(std::int64_t{dy} + h, outH));
    if (x0 >= x1 || y0 >= y1) return;
    for (int y = y0; y < y1; ++y)
        std::memcpy(out + static_cast<std::ptrdiff_t>(y) * outStride + x0 * 4,
                    bits + static_cast<std::ptrdiff_t>(y - dy) * stride + (x0 - dx) * 4,
                    static_cast<std::size_t>(x1 - x0) * 4);
}

bool CScreenGrabber::BitBlt(IOBSEngineDC* dc, int dx, int dy, int w, int h, int sx, int sy) {
    if (!dc || w < 1 || h < 1) return false;
    CDeviceContext* target = CDeviceContext::FromInterface(dc);
    if (!target && !dc->GetBits()) return false;
    const int outW = dc->GetWidth(), outH = dc->GetHeight(), outStride = dc->GetStride();
    // Only the part that lands inside the dc is read.
    const std::int64_t x0 = std::max(dx, 0), y0 = std::max(dy, 0);
    const std::int64_t x1 = std::min<std::int64_t>(std::int64_t{dx} + w, outW);
    const std::int64_t y1 = std::min<std::int64_t>(std::int64_t{dy} + h, outH);
    if (x0 >= x1 || y0 >= y1) return true;
    const DrawKey key{target ? target->GetArea() : nullptr, outStride, outW, outH, dx, dy, w, h, sx, sy, 0, 0};
    const bool keep = target && target->HoldsPrevious() && m_bLastDrawValid && m_lastDraw == key;
    m_bLastDrawValid = false;
    CRowSpans changed;
    GrabbedPicture picture;
    if (!ReadPicture(static_cast<int>(sx + (x0 - dx)), static_cast<int>(sy + (y0 - dy)), static_cast<int>(x1 - x0),
                     static_cast<int>(y1 - y0), picture, target ? &changed : nullptr, keep))
        return false;
    const bool incremental = keep && !changed.IsAll();
    std::uint8_t* out = target ? target->BeginDraw(incremental) : dc->GetBits();
    if (incremental) {
        for (const CRowSpans::Span& span : changed.Within(picture.nHeight)) {
            CopyInto(out, outStride, outW, outH, static_cast<int>(x0), static_cast<int>(y0) + span.first,
                     picture.pBits + static_cast<std::ptrdiff_t>(span.first) * picture.nStride, picture.nStride,
                     picture.nWidth, span.second - span.first);
            target->AddChanged(static_cast<int>(y0) + span.first, static_cast<int>(y0) + span.second,
                               static_cast<int>(x0), static_cast<int>(x1));
        }
    } else {
        CopyInto(out, outStride, outW, outH, static_cast<int>(x0), static_cast<int>(y0), picture.pBits,
                 picture.nStride, picture.nWidth, picture.nHeight);
    }
    if (target) {
        m_lastDraw = key;
        m_bLastDrawValid = true;
    }
    return true;
}

bool CScreenGrabber::StretchBlt(IOBSEngineDC* dc, int dx, int dy, int dw, int dh, int sx, int sy, int sw, int sh) {
    if (!dc || dw < 1 || dh < 1 || sw < 1 || sh < 1) return false;
    if (dw == sw && dh == sh) return BitBlt(dc, dx, dy, dw, dh, sx, sy);
    if (static_cast<std::int64_t>(dw) * dh > kMaxGrabPixels) return false;
    CDeviceContext* target = CDeviceContext::FromInterface(dc);
    if (!target && !dc->GetBits()) return false;
    const int outW = dc->GetWidth(), outH = dc->GetHeight(), outStride = dc->GetStride();
    const DrawKey key{target ? target->GetArea() : nullptr, outStride, outW, outH, dx, dy, dw, dh, sx, sy, sw, sh};
    const bool keep = target && target->HoldsPrevious() && m_bLastDrawValid && m_lastDraw == key;
    m_bLastDrawValid = false;
    CRowSpans changed;
    GrabbedPicture picture;
    if (!ReadPicture(sx, sy, sw, sh, picture, target ? &changed : nullptr, keep)) return false;
    const bool incremental = keep && !changed.IsAll();
    // The destination rows whose filter reads a changed source row.
    CRowSpans rows;
    if (incremental) {
        for (const CRowSpans::Span& span : changed.Within(sh)) {
            int from = 0, to = 0;
            m_scaler.RowsReading(sh, dh, span.first, span.second, from, to);
            rows.Add(from, to);
        }
    } else {
        rows.Add(0, dh);
    }
    std::uint8_t* out = target ? target->BeginDraw(incremental) : dc->GetBits();
    const bool inside = dx >= 0 && dy >= 0 && std::int64_t{dx} + dw <= outW && std::int64_t{dy} + dh <= outH;
    // Outside the dc the scaled picture is drawn into a buffer first (kept
    // for the next incremental draw), then its visible part copied.
    std::uint8_t* scaled = inside ? out + static_cast<std::ptrdiff_t>(dy) * outStride + dx * 4 : nullptr;
    const int scaledStride = inside ? outStride : dw * 4;
    if (!inside) {
        m_stretchBuffer.resize(static_cast<std::size_t>(dw) * dh * 4);
        scaled = m_stretchBuffer.data();
    }
    for (const CRowSpans::Span& span : rows.Spans()) {
        if (!m_scaler.DrawRows(picture.pBits, sw, sh, picture.nStride, scaled, dw, dh, scaledStride, span.first,
                               span.second))
            return false;
        if (!inside)
            CopyInto(out, outStride, outW, outH, dx, dy + span.first,
                     scaled + static_cast<std::ptrdiff_t>(span.first) * scaledStride, scaledStride, dw,
                     span.second - span.first);
        if (incremental) {
            const int top = std::max(dy + span.first, 0), bottom = std::min(dy + span.second, outH);
            target->AddChanged(top, bottom, std::max(dx, 0), static_cast<int>(std::min<std::int64_t>(std::int64_t{dx} + dw, outW)));
        }
    }
    if (target) {
        m_lastDraw = key;
        m_bLastDrawValid = true;
    }
    return true;
}
