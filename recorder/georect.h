// GeoRect: a rectangle of screen or client pixels; left and top inclusive,
// right and bottom exclusive. Shared by the region indicator, the monitor
// table and the capture bridge.
#pragma once

struct GeoRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    int width() const { return right - left; }
    int height() const { return bottom - top; }
    bool empty() const { return right <= left || bottom <= top; }
    bool contains(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
    // Wholly inside outer (an empty rectangle lies nowhere).
    bool inside(const GeoRect& outer) const {
        return !empty() && left >= outer.left && top >= outer.top && right <= outer.right &&
               bottom <= outer.bottom;
    }
    GeoRect offset(int dx, int dy) const { return {left + dx, top + dy, right + dx, bottom + dy}; }
    GeoRect inset(int l, int t, int r, int b) const { return {left + l, top + t, right - r, bottom - b}; }
    GeoRect intersected(const GeoRect& o) const;
    bool operator==(const GeoRect&) const = default;
};
