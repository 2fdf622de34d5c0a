#include "portalscreen.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cmath>
#include <cstring>

#include "basekit/logwrapper.h"
#include "pipewirestream.h"

namespace {
constexpr std::int64_t kMaxAreaPixels = 8192LL * 8192;

// Waits for a new stream's first picture; false with `error` set when the
// stream ended before it.
bool AwaitFirstPicture(CPipeWireStream& stream, std::string& error) {
    constexpr int kFirstPictureMs = CPortalScreen::kFirstPictureMs;
    if (stream.WaitFirstPicture(kFirstPictureMs)) return true;
    if (!stream.IsAlive()) {
        error = "the screen-cast stream ended before its first picture";
        return false;
    }
    UC_LOG(CLogWrapper::LOG_WARNING, " --- no screen-cast picture within " << kFirstPictureMs << " ms");
    return true;
}
}  // namespace

std::unique_ptr<CScreenBackend> CPortalScreen::Open(std::string& error) {
    if (const char* node = std::getenv(kNodeVariable); node && *node) {
        char* end = nullptr;
        const unsigned long id = std::strtoul(node, &end, 10);
        if (*end != '\0' || id == 0 || id > UINT32_MAX) {
            error = std::string(kNodeVariable) + " is not a PipeWire node number: " + node;
            return nullptr;
        }
        UC_LOG(CLogWrapper::LOG_INFO, "reading PipeWire node " << id << " without the screen-cast portal");
        std::unique_ptr<CPipeWireStream> stream = CPipeWireStream::Connect(-1, static_cast<std::uint32_t>(id), error);
        if (!stream || !AwaitFirstPicture(*stream, error)) return nullptr;
        return FromStream(std::move(stream), {});
    }
    auto portal = std::make_unique<CScreenCastPortal>();
    if (portal->Open(error) != CScreenCastPortal::kOk) return nullptr;
    std::unique_ptr<CPipeWireStream> stream =
        CPipeWireStream::Connect(portal->TakePipeWireFd(), portal->GetStream().dwNode, error);
    if (!stream || !AwaitFirstPicture(*stream, error)) return nullptr;
    const CScreenCastPortal::Stream monitor = portal->GetStream();
    return std::unique_ptr<CScreenBackend>(new CPortalScreen(std::move(portal), monitor, std::move(stream)));
}

std::unique_ptr<CScreenBackend> CPortalScreen::FromStream(std::unique_ptr<CPipeWireStream> stream,
                                                          const CScreenCastPortal::Stream& monitor) {
    if (!stream) return nullptr;
    return std::unique_ptr<CScreenBackend>(new CPortalScreen(nullptr, monitor, std::move(stream)));
}

CPortalScreen::CPortalScreen(std::unique_ptr<CScreenCastPortal> portal, const CScreenCastPortal::Stream& monitor,
                             std::unique_ptr<CPipeWireStream> stream)
    : m_pPortal(std::move(portal)), m_monitor(monitor), m_pStream(std::move(stream)) {}

CPortalScreen::~CPortalScreen() {
    m_pStream.reset();  // before the session it belongs to
    m_pPortal.reset();
}

int CPortalScreen::GetWidth() {
    const CScreenCastPortal::Stream& s = m_monitor;
    int width = s.nWidth;
    if (width <= 0) m_pStream->UseLatest([&width](const std::uint8_t*, int w, int, int) { width = w; });
    return s.nX + std::max(width, 0);
}

int CPortalScreen::GetHeight() {
    const CScreenCastPortal::Stream& s = m_monitor;
    int height = s.nHeight;
    if (height <= 0) m_pStream->UseLatest([&height](const std::uint8_t*, int, int h, int) { height = h; });
    return s.nY + std::max(height, 0);
}

bool CPortalScreen::IsAlive() {
    if (m_bAlive && ((m_pPortal && !m_pPortal->Poll()) || !m_pStream->IsAlive())) m_bAlive = false;
    return m_bAlive;
}

void CPortalScreen::Shutdown() {
    // Nothing here blocks: the newest picture is never waited for.
}

void CPortalScreen::ToStream(int sx, int sy, int sw, int sh, int monX, int monY, int monW, int monH, int streamW,
                             int streamH, double& x0, double& y0, double& x1, double& y1) {
    const double fx = monW > 0 ? static_cast<double>(streamW) / monW : 1.0;
    const double fy = monH > 0 ? static_cast<double>(streamH) / monH : 1.0;
    x0 = (sx - monX) * fx;
    y0 = (sy - monY) * fy;
    x1 = (static_cast<double>(sx) + sw - monX) * fx;
    y1 = (static_cast<double>(sy) + sh - monY) * fy;
}

bool CPortalScreen::BitBlt(IOBSEngineDC* dc, int dx, int dy, int w, int h, int sx, int sy) {
    return StretchBlt(dc, dx, dy, w, h, sx, sy, w, h);
}

bool CPortalScreen::StretchBlt(IOBSEngineDC* dc, int dx, int dy, int dw, int dh, int sx, int sy, int sw, int sh) {
    if (!dc || !dc->GetBits() || dw < 1 || dh < 1 || sw < 1 || sh < 1) return false;
    if (static_cast<std::int64_t>(dw) * dh > kMaxAreaPixels) return false;
    if (!IsAlive()) return false;
    const CScreenCastPortal::Stream& mon = m_monitor;
    bool cut = false;
    int aw = 0, ah = 0;
    m_pStream->UseLatest([&](const std::uint8_t* bits, int width, int height, int stride) {
        double x0, y0, x1, y1;
        ToStream(sx, sy, sw, sh, mon.nX, mon.nY, mon.nWidth > 0 ? mon.nWidth : width,
                 mon.nHeight > 0 ? mon.nHeight : height, width, height, x0, y0, x1, y1);
        const std::int64_t ax = std::llround(x0), ay = std::llround(y0);
        aw = static_cast<int>(std::max<std::int64_t>(1, std::llround(x1) - ax));
        ah = static_cast<int>(std::max<std::int64_t>(1, std::llround(y1) - ay));
        if (static_cast<std::int64_t>(aw) * ah > kMaxAreaPixels) return;
        // Parts of the area off the stream picture stay black.
        m_area.assign(static_cast<std::size_t>(aw) * 4 * ah, 0);
        const std::int64_t cx0 = std::max<std::int64_t>(ax, 0), cy0 = std::max<std::int64_t>(ay, 0);
        const std::int64_t cx1 = std::min<std::int64_t>(ax + aw, width), cy1 = std::min<std::int64_t>(ay + ah, height);
        for (std::int64_t y = cy0; y < cy1 && cx0 < cx1; ++y)
            std::memcpy(m_area.data() + ((y - ay) * aw + (cx0 - ax)) * 4, bits + y * stride + cx0 * 4,
                        static_cast<std::size_t>(cx1 - cx0) * 4);
        cut = true;
    });
    if (!cut) return true;  // no picture yet: the area keeps the background
    const std::uint8_t* src = m_area.data();
    if (aw != dw || ah != dh) {
        m_scaled.resize(static_cast<std::size_t>(dw) * 4 * dh);
        if (!m_scaler.Draw(m_area.data(), aw, ah, aw * 4, m_scaled.data(), dw, dh, dw * 4)) return false;
        src = m_scaled.data();
    }
    // Only what lands inside the dc is copied.
    const std::int64_t x0 = std::max(dx, 0), y0 = std::max(dy, 0);
    const std::int64_t x1 = std::min<std::int64_t>(std::int64_t{dx} + dw, dc->GetWidth());
    const std::int64_t y1 = std::min<std::int64_t>(std::int64_t{dy} + dh, dc->GetHeight());
    const int stride = dc->GetStride();
    for (std::int64_t y = y0; y < y1 && x0 < x1; ++y)
        std::memcpy(dc->GetBits() + y * stride + x0 * 4, src + ((y - dy) * dw + (x0 - dx)) * 4,
                    static_cast<std::size_t>(x1 - x0) * 4);
    return true;
}
