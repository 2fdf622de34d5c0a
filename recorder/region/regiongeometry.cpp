#include "regiongeometry.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

constexpr int kHorizontalBorders = CRegionGeometry::kBorderLeft + CRegionGeometry::kBorderRight;
constexpr int kVerticalBorders = CRegionGeometry::kBorderTop + CRegionGeometry::kBorderBottom;

// Width of the outer band that thins the custom frame, and the bracket
// lengths kept at the corners while the frame is editable.
constexpr int kBand = 5;
constexpr int kBracket = 60;
constexpr int kSideBracketTop = CRegionGeometry::kFrameTop + kBracket;

// The grip tab centred on the top edge.
constexpr int kTabWidth = 80;
constexpr int kTabHeight = CRegionGeometry::kFrameTop + 7;
constexpr int kTabHoleColumns = 9;
constexpr int kTabHolePitch = 7;
constexpr int kTabHoleLeft = 11;
constexpr int kTabHoleRows[] = {5, 12};

QRegion regionOf(int left, int top, int right, int bottom) {
    if (right <= left || bottom <= top) return {};
    return QRegion(left, top, right - left, bottom - top);
}

}  // namespace

GeoRect CRegionGeometry::innerFromWindow(const GeoRect& window, bool fullScreen) {
    if (fullScreen)
        return window.inset(kFullScreenBorder, kFullScreenBorder, kFullScreenBorder, kFullScreenBorder);
    return window.inset(kBorderLeft, kBorderTop, kBorderRight, kBorderBottom);
}

GeoRect CRegionGeometry::windowFromInner(const GeoRect& inner) {
    return inner.inset(-kBorderLeft, -kBorderTop, -kBorderRight, -kBorderBottom);
}

GeoRect CRegionGeometry::innerClient(int width, int height, bool fullScreen) {
    return innerFromWindow(GeoRect{0, 0, width, height}, fullScreen);
}

int CRegionGeometry::heightFromWidth(int width, bool aspect16x9) {
    return aspect16x9 ? width * 9 / 16 : width * 3 / 4;
}

int CRegionGeometry::widthFromHeight(int height, bool aspect16x9) {
    return aspect16x9 ? height * 16 / 9 : height * 4 / 3;
}

CRegionGeometry::Placement CRegionGeometry::defaultPlacement(const GeoRect& desktop) {
    const int windowWidth = kDefaultInnerWidth + kHorizontalBorders;
    const int windowHeight = kDefaultInnerHeight + kVerticalBorders;
    const int cx = desktop.left + desktop.width() / 2;
    const int cy = desktop.top + desktop.height() / 2;
    const int left = cx - windowWidth / 2;
    const int top = cy - windowHeight / 2;
    return {GeoRect{left, top, left + windowWidth, top + windowHeight}, false};
}

CRegionGeometry::Placement CRegionGeometry::place(const RegionRect& saved, const GeoRect& desktop) {
    if (saved.left == -1) return defaultPlacement(desktop);
    // 64-bit, so that hostile saved values cannot overflow.
    const std::int64_t width = std::int64_t(saved.right) - saved.left;
    const std::int64_t height = std::int64_t(saved.bottom) - saved.top;
    if (width <= 0 || height <= 0) return defaultPlacement(desktop);

    const bool aspect16x9 = std::fabs(double(height) / double(width) - 0.75) >= 0.01;
    const std::int64_t innerHeight = std::int64_t(double(width) * (aspect16x9 ? 0.5625 : 0.75));
    const std::int64_t left = std::int64_t(saved.left) - kBorderLeft;
    const std::int64_t top = std::int64_t(saved.top) - kBorderTop;
    const std::int64_t right = std::int64_t(saved.right) + kBorderRight;
    const std::int64_t bottom = std::int64_t(saved.top) + innerHeight + kBorderBottom;
    const bool inside = left >= desktop.left && top >= desktop.top && right <= desktop.right &&
                        bottom <= desktop.bottom;
    if (!inside) return defaultPlacement(desktop);

    return {GeoRect{int(left), int(top), int(right), int(bottom)}, aspect16x9};
}

GeoRect CRegionGeometry::switchAspect(const GeoRect& window, bool aspect16x9, const GeoRect& desktop) {
    const GeoRect inner = innerFromWindow(window, false);
    int height = inner.height();
    int width = widthFromHeight(height, aspect16x9);
    if (width < kMinInnerWidth) {
        width = kMinInnerWidth;
        height = heightFromWidth(kMinInnerWidth, aspect16x9);
    }
    if (inner.top >= kBorderTop + 1) {
        const int centre = inner.left + inner.width() / 2;
        const int left = centre - width / 2;
        return windowFromInner(GeoRect{left, inner.top, left + width, inner.top + height});
    }
    const int windowWidth = width + kHorizontalBorders;
    const int windowHeight = height + kVerticalBorders;
    const int left = desktop.left + (desktop.width() - windowWidth) / 2;
    const int top = desktop.top + (desktop.height() - windowHeight) / 2;
    return GeoRect{left, top, left + windowWidth, top + windowHeight};
}

std::array<GeoRect, CRegionGeometry::kHandleCount> CRegionGeometry::handles(const GeoRect& inner) {
    const int l = inner.left, t = inner.top, r = inner.right, b = inner.bottom;
    const int d = kHandleThickness, n = kHandleLength;
    return {{
        {l, t - d, l + n, t},      // 0 top edge, left end
        {r - n, t - d, r, t},      // 1 top edge, right end
        {l, b, l + n, b + d},      // 2 bottom edge, left end
        {r - n, b, r, b + d},      // 3 bottom edge, right end
        {l - d, t, l, t + n},      // 4 left side, top end
        {r, t, r + d, t + n},      // 5 right side, top end
        {l - d, b - n, l, b},      // 6 left side, bottom end
        {r, b - n, r + d, b},      // 7 right side, bottom end
        {l - d, t - d, l, t},      // 8 top-left corner
        {r, b, r + d, b + d},      // 9 bottom-right corner
        {r, t - d, r + d, t},      // 10 top-right corner
        {l - d, b, l, b + d},      // 11 bottom-left corner
    }};
}

int CRegionGeometry::handleAt(const GeoRect& inner, int x, int y) {
    const auto all = handles(inner);
    for (int i = 0; i < kHandleCount; ++i)
        if (all[i].contains(x, y)) return i;
    return -1;
}

int CRegionGeometry::dragModeAt(int width, int height, bool fullScreen, bool editable, int x, int y) {
    if (fullScreen) return -1;
    if (!editable) return kDragMove;
    const int handle = handleAt(innerClient(width, height, false), x, y);
    return handle >= 0 ? handle : kDragMove;
}

bool CRegionGeometry::acceptableSize(int width, int height, bool aspect16x9) {
    const int maxWidth = aspect16x9 ? kMaxWindowWidth16x9 : kMaxWindowWidth4x3;
    const int minHeight = aspect16x9 ? kMinWindowHeight16x9 : kMinWindowHeight4x3;
    return width > kMinWindowWidth && width <= maxWidth && height > minHeight && height <= kMaxWindowHeight;
}

// The window's width and height follow the inner rectangle's, so that the
// inner rectangle keeps its aspect exactly.
GeoRect CRegionGeometry::dragTop(const GeoRect& w, int y, bool keepRight, bool aspect16x9) {
    GeoRect r = w;
    r.top = y;
    const int width = widthFromHeight(r.bottom - y - kVerticalBorders, aspect16x9) + kHorizontalBorders;
    if (keepRight) r.left = r.right - width;
    else r.right = r.left + width;
    return r;
}

GeoRect CRegionGeometry::dragBottom(const GeoRect& w, int y, bool keepRight, bool aspect16x9) {
    GeoRect r = w;
    r.bottom = y;
    const int width = widthFromHeight(y - r.top - kVerticalBorders, aspect16x9) + kHorizontalBorders;
    if (keepRight) r.left = r.right - width;
    else r.right = r.left + width;
    return r;
}

GeoRect CRegionGeometry::dragSide(const GeoRect& w, int x, bool leftEdge, bool keepBottom, bool aspect16x9) {
    GeoRect r = w;
    if (leftEdge) r.left = x;
    else r.right = x;
    const int height = heightFromWidth(r.right - r.left - kHorizontalBorders, aspect16x9) + kVerticalBorders;
    if (keepBottom) r.top = r.bottom - height;
    else r.bottom = r.top + height;
    return r;
}

int CRegionGeometry::cornerAs(int mode, const DragInput& in) {
    const bool vertical = std::abs(in.y - in.startY) > std::abs(in.x - in.startX);
    switch (mode) {
    case 8: return vertical ? 0 : 4;
    case 9: return vertical ? 3 : 7;
    case 10: return vertical ? 1 : 5;
    case 11: return vertical ? 2 : 6;
    default: return mode;
    }
}

std::optional<GeoRect> CRegionGeometry::drag(int mode, const DragInput& in) {
    // Moving keeps the size, whatever it is.
    if (mode == kDragMove) return in.window.offset(in.x - in.lastX, in.y - in.lastY);
    if (mode < 0 || mode >= kHandleCount) return std::nullopt;

    GeoRect r;
    switch (cornerAs(mode, in)) {
    case 0: r = dragTop(in.window, in.y, true, in.aspect16x9); break;
    case 1: r = dragTop(in.window, in.y, false, in.aspect16x9); break;
    case 2: r = dragBottom(in.window, in.y, true, in.aspect16x9); break;
    case 3: r = dragBottom(in.window, in.y, false, in.aspect16x9); break;
    case 4: r = dragSide(in.window, in.x, true, true, in.aspect16x9); break;
    case 5: r = dragSide(in.window, in.x, false, true, in.aspect16x9); break;
    case 6: r = dragSide(in.window, in.x, true, false, in.aspect16x9); break;
    case 7: r = dragSide(in.window, in.x, false, false, in.aspect16x9); break;
    default: return std::nullopt;
    }
    if (!acceptableSize(r.width(), r.height(), in.aspect16x9)) return std::nullopt;
    return r;
}

CRegionGeometry::Toolbar CRegionGeometry::toolbar(int width, int height, bool fullScreen) {
    const int a = innerClient(width, height, fullScreen).top;
    const int r = width;
    return Toolbar{
        {r - 153, a + 9, r - 123, a + 25},
        {r - 122, a + 9, r - 92, a + 25},
        {r - 86, a + 5, r - 8, a + 29},
        {r - 157, a + 5, r - 88, a + 29},
    };
}

QRegion CRegionGeometry::roundedRect(const GeoRect& rect) {
    if (rect.empty()) return {};
    QRegion region = regionOf(rect.left, rect.top, rect.right, rect.bottom);
    for (const int y : {rect.top, rect.bottom - 1})
        for (const int x : {rect.left, rect.right - 1}) region -= QRegion(x, y, 1, 1);
    return region;
}

QRegion CRegionGeometry::gripTab(int width) {
    const int left = (width - kTabWidth) / 2;
    QRegion tab(left, 0, kTabWidth, kTabHeight);
    tab -= QRegion(left, 0, 1, 1);
    tab -= QRegion(left + kTabWidth - 1, 0, 1, 1);
    for (const int row : kTabHoleRows)
        for (int column = 0; column < kTabHoleColumns; ++column)
            tab -= QRegion(left + kTabHoleLeft + column * kTabHolePitch, row, 2, 2);
    return tab;
}

QRegion CRegionGeometry::shape(int width, int height, bool fullScreen, bool editable) {
    if (width <= 0 || height <= 0) return {};
    const int w = width, h = height;
    const GeoRect inner = innerClient(w, h, fullScreen);
    const int outerTop = fullScreen ? 0 : kFrameTop;
    QRegion region = regionOf(0, outerTop, w, h) - regionOf(inner.left, inner.top, inner.right, inner.bottom);

    if (!fullScreen) {
        if (editable) {
            // A 2-pixel line with thicker brackets at the corners.
            region -= regionOf(kBracket, kFrameTop, w - kBracket, kFrameTop + kBand);
            region -= regionOf(kBracket, h - kBand, w - kBracket, h);
            region -= regionOf(0, kSideBracketTop, kBand, h - kBracket);
            region -= regionOf(w - kBand, kSideBracketTop, w, h - kBracket);
        } else {
            region -= regionOf(0, kFrameTop, w, kFrameTop + kBand);
            region -= regionOf(0, h - kBand, w, h);
            region -= regionOf(0, kFrameTop, kBand, h);
            region -= regionOf(w - kBand, kFrameTop, w, h);
        }
        region += gripTab(w);
    }

    if (editable) {
        const Toolbar bar = toolbar(w, h, fullScreen);
        region += roundedRect(bar.dropDown);
        if (!fullScreen) region += roundedRect(bar.background);
    }
    return region & QRegion(0, 0, w, h);
}
