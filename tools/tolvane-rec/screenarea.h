// CScreenArea: what tolvane-rec --source screen records from: the X display
// named by $DISPLAY, its root window size and its primary monitor (XRandR;
// the whole root window where XRandR names no monitor).
#pragma once

#include <string>

#include "capturebridge.h"

class CScreenArea {
public:
    // Looks the display up; false with a message when it cannot be opened.
    bool Query(std::string& error);

    int RootWidth() const { return m_nRootWidth; }
    int RootHeight() const { return m_nRootHeight; }
    // The primary monitor's rectangle in physical pixels.
    const CaptureRect& Primary() const { return m_primary; }
    // False with a message when the rectangle is not wholly on the screen.
    bool Contains(const CaptureRect& rect, std::string& error) const;

private:
    int m_nRootWidth = 0;
    int m_nRootHeight = 0;
    CaptureRect m_primary;
};
