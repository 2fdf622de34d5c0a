#include "screensource.h"

namespace {
constexpr int kGammaUnchanged = 100;
}  // namespace

bool CScreenSource::Open(const CaptureRect& rect, int width, int height, IOrvixAvRecordInterface* engine,
                         std::string& error) {
    if (!m_bridge.Load()) {
        error = "the screen capture component could not open the X display";
        return false;
    }
    m_bridge.SetRectProvider([rect] { return rect; });
    m_bridge.SetCanvasSize(width, height);
    m_bridge.SetGamma(kGammaUnchanged);
    m_bridge.SetEngine(engine);
    return true;
}

bool CScreenSource::Start(std::string& error) {
    m_bridge.SetRecording(true);
    if (m_bridge.StartCanvas()) return true;
    m_bridge.SetRecording(false);
    error = "the screen capture could not start (X display gone, or the screen-cast portal refused or failed)";
    return false;
}

void CScreenSource::Pause() { m_bridge.StopCanvas(); }

bool CScreenSource::Resume() { return m_bridge.StartCanvas(); }

void CScreenSource::Stop() {
    m_bridge.StopCanvas();
    m_bridge.SetRecording(false);
    m_bridge.SetEngine(nullptr);
}
