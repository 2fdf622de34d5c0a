// CCaptureCanvas: the bar's capture canvas. It owns the capture bridge, the
// monitor table and the region lock that guards the table and the capture
// rectangle, and tells the bridge, for every picture, which rectangle of the
// screen to draw: the region window's rectangle in region mode, the primary
// monitor in full-screen mode, both in physical screen pixels.
//
// Threads: the GUI thread calls every operation; the canvas thread calls the
// rectangle provider given to the bridge, which takes the region lock, reads
// the region source and refreshes the monitor table at most every five
// seconds. The region source must therefore be callable from the canvas
// thread (the region indicator keeps its rectangle under its own lock).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "capturebridge.h"
#include "monitortable.h"
#include "recordcanvas.h"

class CCaptureCanvas : public IRecordCanvas {
public:
    static constexpr std::uint64_t kMonitorRefreshMs = 5000;
    enum { RECORD_FULL_SCREEN = 0, RECORD_REGION = 1 };

    // The region's rectangle in logical pixels; nothing when there is no
    // region window (full screen is taken then).
    using RegionSource = std::function<std::optional<GeoRect>()>;

    CCaptureCanvas() = default;
    ~CCaptureCanvas();
    CCaptureCanvas(const CCaptureCanvas&) = delete;
    CCaptureCanvas& operator=(const CCaptureCanvas&) = delete;

    // Loads the capture component and sets the canvas up (not started), and
    // reads the monitor table. False when no capture is possible.
    bool load();
    // Stops and closes the canvas; nothing is drawn afterwards.
    void close();

    // Where the region is and its device pixel ratio (Qt's logical pixels to
    // X pixels); the source is called on the canvas thread.
    void setRegionSource(RegionSource source, double devicePixelRatio);
    // 0 full screen, 1 region.
    void setRecordType(int type) { m_nRecordType.store(type); }

    // Reads the monitor table again.
    void refreshMonitors();
    // The capture rectangle in physical screen pixels, as the next picture
    // takes it.
    GeoRect captureRect();

    CCaptureBridge& bridge() { return m_bridge; }

    // IRecordCanvas
    bool hasCanvas() override;
    void setEngine(IOrvixAvRecordInterface* engine) override;
    void setRecording(bool on) override;
    void setCanvasSize(int width, int height) override;
    void setGamma(int gamma) override;
    void startCanvas() override;
    void stopCanvas() override;
    bool isCanvasRunning() override;

private:
    // With m_regionLock held.
    GeoRect captureRectLocked();

    // Guards the monitor table, its refresh time and the region source.
    std::mutex m_regionLock;
    CMonitorTable m_monitors;
    std::uint64_t m_lastMonitorRefreshMs = 0;
    RegionSource m_regionSource;
    std::atomic<int> m_nRecordType{RECORD_FULL_SCREEN};
    std::atomic<double> m_dDevicePixelRatio{1.0};
    CCaptureBridge m_bridge;
    bool m_bCanvas = false;
};
