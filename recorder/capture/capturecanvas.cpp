#include "capturecanvas.h"

#include "basekit/tickcount.h"

CCaptureCanvas::~CCaptureCanvas() { close(); }

bool CCaptureCanvas::load() {
    m_bCanvas = m_bridge.Load();
    if (m_bCanvas) m_bridge.SetRectProvider([this] {
        std::lock_guard<std::mutex> lock(m_regionLock);
        return captureRectLocked();
    });
    refreshMonitors();
    return m_bCanvas;
}

void CCaptureCanvas::close() { m_bridge.Close(); }

void CCaptureCanvas::setRegionSource(RegionSource source, double devicePixelRatio) {
    std::lock_guard<std::mutex> lock(m_regionLock);
    m_regionSource = std::move(source);
    m_dDevicePixelRatio.store(devicePixelRatio);
}

void CCaptureCanvas::refreshMonitors() {
    std::lock_guard<std::mutex> lock(m_regionLock);
    m_monitors.refresh();
    m_lastMonitorRefreshMs = GetTickMs();
}

GeoRect CCaptureCanvas::captureRect() {
    std::lock_guard<std::mutex> lock(m_regionLock);
    return captureRectLocked();
}

GeoRect CCaptureCanvas::captureRectLocked() {
    const std::uint64_t now = GetTickMs();
    if (now - m_lastMonitorRefreshMs >= kMonitorRefreshMs) {
        m_monitors.refresh();
        m_lastMonitorRefreshMs = now;
    }
    // Region: the indicator's logical rectangle; full screen: the primary
    // monitor, already in X pixels. Both times the monitor scale.
    if (m_nRecordType.load() == RECORD_REGION && m_regionSource)
        if (std::optional<GeoRect> region = m_regionSource())
            return m_monitors.toCapturePixels(*region, m_dDevicePixelRatio.load());
    return m_monitors.toCapturePixels(m_monitors.primaryRect(), 1.0);
}

bool CCaptureCanvas::hasCanvas() { return m_bCanvas && m_bridge.HasCanvas(); }
void CCaptureCanvas::setEngine(IOrvixAvRecordInterface* engine) { m_bridge.SetEngine(engine); }
void CCaptureCanvas::setRecording(bool on) { m_bridge.SetRecording(on); }
void CCaptureCanvas::setCanvasSize(int width, int height) { m_bridge.SetCanvasSize(width, height); }
void CCaptureCanvas::setGamma(int gamma) { m_bridge.SetGamma(gamma); }
void CCaptureCanvas::startCanvas() { m_bridge.StartCanvas(); }
void CCaptureCanvas::stopCanvas() { m_bridge.StopCanvas(); }
bool CCaptureCanvas::isCanvasRunning() { return m_bridge.IsCanvasRunning(); }
