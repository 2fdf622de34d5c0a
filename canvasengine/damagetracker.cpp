#include "damagetracker.h"

#include <X11/extensions/Xfixes.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "basekit/logwrapper.h"
#include "rowspans.h"
#include "xconnection.h"

namespace {
std::atomic<bool> g_bReported{false};

void ReportOnce(const char* why) {
    if (!g_bReported.exchange(true))
        UC_LOG(CLogWrapper::LOG_INFO, "screen change tracking off (" << why << "), every picture is grabbed whole");
}
}  // namespace

std::unique_ptr<CDamageTracker> CDamageTracker::Create(CXConnection& connection) {
    const char* setting = std::getenv(kDisableVariable);
    if (setting && std::strcmp(setting, "0") == 0) {
        ReportOnce("TOLVANE_CAPTURE_DAMAGE=0");
        return nullptr;
    }
    if (connection.IsLost()) return nullptr;
    Display* display = connection.GetDisplay();
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XDamageQueryExtension(display, &eventBase, &errorBase) || !XDamageQueryVersion(display, &major, &minor) ||
        major < 1) {
        ReportOnce("the X server has no DAMAGE extension");
        return nullptr;
    }
    int fixesEvent = 0, fixesError = 0;
    if (!XFixesQueryExtension(display, &fixesEvent, &fixesError) || !XFixesQueryVersion(display, &major, &minor) ||
        major < 2) {
        ReportOnce("the X server has no XFixes regions");
        return nullptr;
    }
    connection.TakeError();
    const Damage damage = XDamageCreate(display, connection.GetRoot(), XDamageReportNonEmpty);
    const XserverRegion region = XFixesCreateRegion(display, nullptr, 0);
    XSync(display, False);
    const int error = connection.TakeError();
    if (error != 0 || connection.IsLost()) {
        UC_LOG(CLogWrapper::LOG_WARNING, " --- the X server refused a damage object, error " << error);
        ReportOnce("no damage object");
        return nullptr;
    }
    return std::unique_ptr<CDamageTracker>(new CDamageTracker(connection, damage, region, eventBase));
}

CDamageTracker::CDamageTracker(CXConnection& connection, Damage damage, XserverRegion region, int eventBase)
    : m_connection(connection), m_damage(damage), m_region(region), m_nEventBase(eventBase) {}

CDamageTracker::~CDamageTracker() {
    if (m_connection.IsLost()) return;
    XDamageDestroy(m_connection.GetDisplay(), m_damage);
    XFixesDestroyRegion(m_connection.GetDisplay(), m_region);
}

bool CDamageTracker::NoteEvent(const XEvent& event) {
    if (event.type != m_nEventBase + XDamageNotify) return false;
    m_bPending = true;
    return true;
}

bool CDamageTracker::Take(int x, int y, int w, int h, CRowSpans& rows) {
    if (m_connection.IsLost()) return false;
    m_bPending = false;
    Display* display = m_connection.GetDisplay();
    m_connection.TakeError();
    // The damage moves into the region and the object starts empty: whatever
    // is drawn from here on (during the grab too) is in the next Take.
    XDamageSubtract(display, m_damage, None, m_region);
    int count = -1;
    XRectangle* rects = XFixesFetchRegion(display, m_region, &count);
    const int error = m_connection.TakeError();
    if (error != 0 || m_connection.IsLost()) {
        if (rects) XFree(rects);
        m_bPending = true;
        return false;
    }
    if (!rects) return count == 0;  // an empty region may come without a list
    if (count < 0) {
        XFree(rects);
        m_bPending = true;
        return false;
    }
    const long right = long{x} + w, bottom = long{y} + h;
    for (int i = 0; i < count; ++i) {
        const XRectangle& r = rects[i];
        if (r.x >= right || r.x + long{r.width} <= x || r.y >= bottom || r.y + long{r.height} <= y) continue;
        rows.Add(static_cast<int>(std::max<long>(r.y, y) - y),
                 static_cast<int>(std::min<long>(r.y + long{r.height}, bottom) - y));
    }
    XFree(rects);
    return true;
}
