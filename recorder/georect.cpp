#include "georect.h"

#include <algorithm>

GeoRect GeoRect::intersected(const GeoRect& o) const {
    GeoRect r{std::max(left, o.left), std::max(top, o.top), std::min(right, o.right),
              std::min(bottom, o.bottom)};
    if (r.empty()) return {};
    return r;
}
