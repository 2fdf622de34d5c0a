// CRegionGeometry: the arithmetic of the recording region indicator, free of
// any window. All sizes are integer pixels, all divisions truncate.
//
// The indicator is a window W around an inner rectangle, the part that is
// recorded:
// - custom mode: inner = W inset by 7 left, 18 top, 7 right, 7 bottom; the
//   visible frame starts 11 pixels below W's top (above it only the grip tab);
// - full-screen mode: inner = W inset by 5 on every side.
// The inner rectangle of custom mode keeps a 4:3 or 16:9 aspect.
//
// Rectangles are GeoRect: left/top inclusive, right/bottom exclusive, in
// screen pixels unless a function says client pixels (origin at W's top left).
#pragma once

#include <QRegion>

#include <array>
#include <optional>

#include "georect.h"
#include "settings.h"


class CRegionGeometry {
public:
    // Frame borders of custom mode and of full-screen mode.
    static constexpr int kBorderLeft = 7;
    static constexpr int kBorderTop = 18;
    static constexpr int kBorderRight = 7;
    static constexpr int kBorderBottom = 7;
    static constexpr int kFullScreenBorder = 5;
    // First row of the visible frame in custom mode.
    static constexpr int kFrameTop = 11;
    // Resize handles.
    static constexpr int kHandleCount = 12;
    static constexpr int kHandleThickness = 7;
    static constexpr int kHandleLength = 53;
    // Drag mode for moving the whole window.
    static constexpr int kDragMove = 12;
    // Smallest inner width an aspect switch leaves.
    static constexpr int kMinInnerWidth = 480;
    // Window size limits of a resize (width > min, <= max; height likewise).
    static constexpr int kMinWindowWidth = 493;
    static constexpr int kMaxWindowWidth16x9 = 1934;
    static constexpr int kMaxWindowWidth4x3 = 1454;
    static constexpr int kMinWindowHeight16x9 = 283;
    static constexpr int kMinWindowHeight4x3 = 373;
    static constexpr int kMaxWindowHeight = 1094;
    // The default inner rectangle: 960 x 720 (4:3) centred on the desktop.
    static constexpr int kDefaultInnerWidth = 960;
    static constexpr int kDefaultInnerHeight = 720;

    // Inner rectangle <-> window rectangle.
    static GeoRect innerFromWindow(const GeoRect& window, bool fullScreen);
    static GeoRect windowFromInner(const GeoRect& inner);
    // The inner rectangle of a window of this size in client pixels.
    static GeoRect innerClient(int width, int height, bool fullScreen);

    // Aspect conversions: width x 9 / 16 or x 3 / 4; height x 16 / 9 or x 4 / 3.
    static int heightFromWidth(int width, bool aspect16x9);
    static int widthFromHeight(int height, bool aspect16x9);

    struct Placement {
        GeoRect window;
        bool aspect16x9 = false;
    };
    // The custom-mode window for a saved inner rectangle: 4:3 when
    // |height / width - 0.75| < 0.01, else 16:9, the height recomputed from the
    // width. A rectangle never saved (left -1), empty or whose window does
    // not lie wholly inside the desktop gives defaultPlacement().
    static Placement place(const RegionRect& saved, const GeoRect& desktop);
    static Placement defaultPlacement(const GeoRect& desktop);

    // The window after switching a custom-mode window to the other aspect:
    // the inner width follows the inner height (at least 480 x 270 / 480 x
    // 360); with the inner top at 19 or below it keeps its horizontal centre
    // and top, else the window is centred on the desktop.
    static GeoRect switchAspect(const GeoRect& window, bool aspect16x9, const GeoRect& desktop);

    // The 12 resize handles around the inner rectangle (client pixels).
    static std::array<GeoRect, kHandleCount> handles(const GeoRect& inner);
    // The first handle containing (x, y), or -1.
    static int handleAt(const GeoRect& inner, int x, int y);
    // The drag mode a button press at client (x, y) starts: the handle while
    // editable in custom mode, else moving; -1 (nothing) in full-screen mode,
    // whose outline stays on the screen it marks.
    static int dragModeAt(int width, int height, bool fullScreen, bool editable, int x, int y);

    // A resize may leave a window of this size.
    static bool acceptableSize(int width, int height, bool aspect16x9);

    struct DragInput {
        GeoRect window;            // the current window (screen)
        int x = 0, y = 0;          // cursor now (screen)
        int lastX = 0, lastY = 0;  // cursor at the previous mouse event
        int startX = 0, startY = 0;  // cursor where the button went down
        bool aspect16x9 = false;
    };
    // The window a mouse move in drag mode `mode` asks for, or nothing when
    // the move is refused (size limits, unknown mode).
    static std::optional<GeoRect> drag(int mode, const DragInput& in);

    // Toolbar rectangles (client pixels), inside the inner rectangle's top
    // right corner.
    struct Toolbar {
        GeoRect button4x3;
        GeoRect button16x9;
        GeoRect dropDown;
        GeoRect background;
    };
    static Toolbar toolbar(int width, int height, bool fullScreen);

    // The window's visible shape (client pixels).
    static QRegion shape(int width, int height, bool fullScreen, bool editable);
    // A rectangle with its four corner pixels cut (a radius-2 rounding).
    static QRegion roundedRect(const GeoRect& rect);

    static QRect toQRect(const GeoRect& r) { return QRect(r.left, r.top, r.width(), r.height()); }
    static GeoRect fromQRect(const QRect& r) {
        return {r.x(), r.y(), r.x() + r.width(), r.y() + r.height()};
    }

private:
    // The handle drags: which edge follows the cursor, which is kept.
    static GeoRect dragTop(const GeoRect& w, int y, bool keepRight, bool aspect16x9);
    static GeoRect dragBottom(const GeoRect& w, int y, bool keepRight, bool aspect16x9);
    static GeoRect dragSide(const GeoRect& w, int x, bool leftEdge, bool keepBottom, bool aspect16x9);
    // The edge handle a corner handle acts as for this drag.
    static int cornerAs(int mode, const DragInput& in);
    static QRegion gripTab(int width);
};
