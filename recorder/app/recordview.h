// IRecordView: what the record state machine asks of the bar and of the
// region indicator it owns. Implemented by CMainFrame; all calls on the GUI
// thread except the two post... calls, which any thread may make.
#pragma once

#include <string>

#include "settings.h"

class IRecordView {
public:
    // Button visibility and enabling after a state change, and a repaint.
    virtual void refreshControls() = 0;
    // The mode label after autoSync changed.
    virtual void refreshModeLabel() = 0;
    // Resizes the bar in place to width x 40.
    virtual void resizeBar(int width) = 0;
    virtual void hideBar() = 0;
    // Shows the bar again when it is hidden.
    virtual void restoreBar() = 0;

    // The monitor table is read again (before a recording starts).
    virtual void refreshMonitors() = 0;
    // The capture rectangle in physical screen pixels: the region's inner
    // rectangle in region mode, the primary monitor in full-screen mode.
    virtual RegionRect captureRect() = 0;
    // The region window's inner rectangle, logical pixels (message 1134).
    virtual RegionRect regionInnerRect() = 0;
    virtual bool isRegionAspect16x9() = 0;
    virtual void setRegionRecording(bool on) = 0;
    virtual void showRegionTopMost() = 0;
    virtual void hideRegion() = 0;

    // Timer 253, the free-space watch.
    virtual void startDiskWatch() = 0;
    virtual void stopDiskWatch() = 0;
    // Opens a folder in the desktop's file manager.
    virtual void openFolder(const std::string& folder) = 0;

    // From engine threads: repaint the clock / handle an engine error on the
    // GUI thread (CRecordControl::onEngineError with the token given).
    virtual void postRepaint() = 0;
    virtual void postEngineError(unsigned token) = 0;

protected:
    ~IRecordView() = default;
};
