// CMonitorTable: the monitors of the X display, up to 16, as XRandR reports
// them: monitor rectangle, work rectangle, primary flag, description (the
// output's name) and the size of the monitor's picture in pixels (its CRTC
// as the X screen shows it, i.e. after rotation and transforms).
//
// Rectangles are in X screen pixels, the pixels the capture component reads.
// The full-screen capture rectangle is the primary monitor's rectangle; the
// capture scale is the picture size over the monitor rectangle's size (1.0
// unless the two disagree). Qt widgets work in logical pixels:
// toCapturePixels() multiplies a logical rectangle by Qt's device pixel ratio
// and the capture scale.
//
// Not synchronised: the owner guards the table with its region lock (the
// capture callback refreshes it on another thread). Each refresh() opens and
// closes its own display connection.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "georect.h"

struct MonitorInfo {
    GeoRect monitorRect;
    GeoRect workRect;
    bool primary = false;
    std::string description;
    int modeWidth = 0;
    int modeHeight = 0;
};

class CMonitorTable {
public:
    static constexpr int kMaxMonitors = 16;

    // Empty until refresh(); reads the display named by $DISPLAY, or by
    // displayName when not empty.
    explicit CMonitorTable(std::string displayName = {});
    // A fixed table (tests): refresh() restores it instead of asking X.
    explicit CMonitorTable(std::vector<MonitorInfo> fixed);

    void setFixedTable(std::vector<MonitorInfo> fixed);

    // Clears the table and reads it anew. Without a display (or without any
    // monitor) the table stays empty and false is returned.
    bool refresh();

    int count() const { return int(m_monitors.size()); }
    // The primary monitor's index; the first monitor when none is flagged;
    // -1 for an empty table.
    int primaryIndex() const { return m_nPrimary; }
    // Monitor i; an empty record (all rectangles empty) out of range.
    const MonitorInfo& at(int index) const;

    // The primary monitor's rectangle: the full-screen capture rectangle
    // (empty for an empty table).
    GeoRect primaryRect() const { return at(m_nPrimary).monitorRect; }
    // Picture size / monitor size of the primary monitor, 1.0 when unknown.
    double scaleX() const;
    double scaleY() const;

    // Each edge of a logical rectangle times devicePixelRatio times the
    // scale, truncated towards zero.
    static GeoRect toCapturePixels(const GeoRect& logical, double devicePixelRatio, double scaleX,
                                   double scaleY);
    GeoRect toCapturePixels(const GeoRect& logical, double devicePixelRatio) const {
        return toCapturePixels(logical, devicePixelRatio, scaleX(), scaleY());
    }

private:
    void adopt(std::vector<MonitorInfo> monitors);

    std::string m_strDisplayName;
    std::optional<std::vector<MonitorInfo>> m_fixed;
    std::vector<MonitorInfo> m_monitors;
    int m_nPrimary = -1;
};
