#include "monitortable.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <cmath>
#include <memory>
#include <mutex>

namespace {

// Xlib reports protocol errors through one process-wide handler whose default
// ends the process. A resource that vanishes between two RandR requests (a
// monitor unplugged during a refresh) must not do that, so errors of the
// refresh's own connection are counted and dropped while it runs; errors of
// other connections go to the handler that was installed before.
class CXErrorTrap {
public:
    explicit CXErrorTrap(Display* display) : m_lock(mutex()) {
        current() = display;
        m_previous = XSetErrorHandler(&CXErrorTrap::handle);
        previous() = m_previous;
    }
    ~CXErrorTrap() {
        XSetErrorHandler(m_previous);
        current() = nullptr;
        previous() = nullptr;
    }
    CXErrorTrap(const CXErrorTrap&) = delete;
    CXErrorTrap& operator=(const CXErrorTrap&) = delete;

private:
    using Handler = int (*)(Display*, XErrorEvent*);
    static std::mutex& mutex() {
        static std::mutex lock;
        return lock;
    }
    static Display*& current() {
        static Display* display = nullptr;
        return display;
    }
    static Handler& previous() {
        static Handler handler = nullptr;
        return handler;
    }
    static int handle(Display* display, XErrorEvent* event) {
        if (display != current() && previous()) return previous()(display, event);
        return 0;
    }

    std::lock_guard<std::mutex> m_lock;
    Handler m_previous = nullptr;
};

struct DisplayCloser {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
struct ResourcesFree {
    void operator()(XRRScreenResources* r) const { XRRFreeScreenResources(r); }
};
struct CrtcFree {
    void operator()(XRRCrtcInfo* c) const { XRRFreeCrtcInfo(c); }
};
struct OutputFree {
    void operator()(XRROutputInfo* o) const { XRRFreeOutputInfo(o); }
};
struct MonitorsFree {
    void operator()(XRRMonitorInfo* m) const { XRRFreeMonitors(m); }
};
struct XFreeDeleter {
    void operator()(void* p) const { XFree(p); }
};

using ResourcesPtr = std::unique_ptr<XRRScreenResources, ResourcesFree>;
using CrtcPtr = std::unique_ptr<XRRCrtcInfo, CrtcFree>;
using OutputPtr = std::unique_ptr<XRROutputInfo, OutputFree>;

// One cardinal-array property of the root window.
std::vector<long> cardinals(Display* display, Window root, const char* name) {
    const Atom atom = XInternAtom(display, name, True);
    if (atom == None) return {};
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, root, atom, 0, 1024, False, XA_CARDINAL, &type, &format, &count,
                           &after, &data) != Success)
        return {};
    std::unique_ptr<unsigned char, XFreeDeleter> owned(data);
    if (type != XA_CARDINAL || format != 32 || !data) return {};
    const long* values = reinterpret_cast<const long*>(data);  // Xlib hands 32-bit items as longs
    return std::vector<long>(values, values + count);
}

// The work area of the current desktop, empty when the window manager
// publishes none.
GeoRect workArea(Display* display, Window root) {
    const std::vector<long> area = cardinals(display, root, "_NET_WORKAREA");
    if (area.size() < 4) return {};
    std::size_t desktop = 0;
    const std::vector<long> current = cardinals(display, root, "_NET_CURRENT_DESKTOP");
    if (!current.empty() && current[0] >= 0 && (std::size_t(current[0]) + 1) * 4 <= area.size())
        desktop = std::size_t(current[0]);
    const long* r = &area[desktop * 4];
    return GeoRect{int(r[0]), int(r[1]), int(r[0] + r[2]), int(r[1] + r[3])};
}

std::string outputName(Display* display, XRRScreenResources* resources, RROutput output) {
    OutputPtr info(XRRGetOutputInfo(display, resources, output));
    if (!info || !info->name) return {};
    return std::string(info->name, std::size_t(info->nameLen));
}

// The CRTC showing an output, or null.
CrtcPtr crtcOfOutput(Display* display, XRRScreenResources* resources, RROutput output) {
    OutputPtr info(XRRGetOutputInfo(display, resources, output));
    if (!info || info->crtc == None) return nullptr;
    return CrtcPtr(XRRGetCrtcInfo(display, resources, info->crtc));
}

std::vector<MonitorInfo> readMonitors15(Display* display, Window root, XRRScreenResources* resources) {
    std::vector<MonitorInfo> result;
    int count = 0;
    std::unique_ptr<XRRMonitorInfo, MonitorsFree> monitors(XRRGetMonitors(display, root, True, &count));
    if (!monitors) return result;
    for (int i = 0; i < count && int(result.size()) < CMonitorTable::kMaxMonitors; ++i) {
        const XRRMonitorInfo& m = monitors.get()[i];
        if (m.width <= 0 || m.height <= 0) continue;
        MonitorInfo info;
        info.monitorRect = GeoRect{m.x, m.y, m.x + m.width, m.y + m.height};
        info.primary = m.primary != 0;
        info.modeWidth = m.width;
        info.modeHeight = m.height;
        if (m.noutput > 0 && m.outputs && resources) {
            info.description = outputName(display, resources, m.outputs[0]);
            // A monitor made of one CRTC shows that CRTC's picture.
            if (CrtcPtr crtc = crtcOfOutput(display, resources, m.outputs[0]);
                crtc && crtc->x == m.x && crtc->y == m.y) {
                info.modeWidth = int(crtc->width);
                info.modeHeight = int(crtc->height);
            }
        }
        if (info.description.empty() && m.name != None) {
            if (char* name = XGetAtomName(display, m.name)) {
                info.description = name;
                XFree(name);
            }
        }
        result.push_back(std::move(info));
    }
    return result;
}

std::vector<MonitorInfo> readCrtcs(Display* display, Window root, XRRScreenResources* resources) {
    std::vector<MonitorInfo> result;
    if (!resources) return result;
    const RROutput primary = XRRGetOutputPrimary(display, root);
    for (int i = 0; i < resources->ncrtc && int(result.size()) < CMonitorTable::kMaxMonitors; ++i) {
        CrtcPtr crtc(XRRGetCrtcInfo(display, resources, resources->crtcs[i]));
        if (!crtc || crtc->mode == None || crtc->noutput <= 0 || crtc->width == 0 || crtc->height == 0)
            continue;
        MonitorInfo info;
        info.monitorRect = GeoRect{crtc->x, crtc->y, crtc->x + int(crtc->width), crtc->y + int(crtc->height)};
        info.modeWidth = int(crtc->width);
        info.modeHeight = int(crtc->height);
        info.description = outputName(display, resources, crtc->outputs[0]);
        for (int o = 0; o < crtc->noutput; ++o)
            if (crtc->outputs[o] == primary) info.primary = true;
        result.push_back(std::move(info));
    }
    return result;
}

std::vector<MonitorInfo> readDisplay(Display* display) {
    const Window root = DefaultRootWindow(display);
    std::vector<MonitorInfo> monitors;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (XRRQueryExtension(display, &eventBase, &errorBase) && XRRQueryVersion(display, &major, &minor) &&
        (major > 1 || minor >= 2)) {
        ResourcesPtr resources(major > 1 || minor >= 3 ? XRRGetScreenResourcesCurrent(display, root)
                                                       : XRRGetScreenResources(display, root));
        if (major > 1 || minor >= 5) monitors = readMonitors15(display, root, resources.get());
        if (monitors.empty()) monitors = readCrtcs(display, root, resources.get());
    }
    if (monitors.empty()) {
        // No RandR: the screen is the one monitor.
        const int screen = DefaultScreen(display);
        MonitorInfo info;
        info.monitorRect = GeoRect{0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)};
        info.primary = true;
        info.description = "screen";
        info.modeWidth = info.monitorRect.width();
        info.modeHeight = info.monitorRect.height();
        if (!info.monitorRect.empty()) monitors.push_back(info);
    }
    const GeoRect work = workArea(display, root);
    for (MonitorInfo& m : monitors) {
        const GeoRect inside = work.intersected(m.monitorRect);
        m.workRect = inside.empty() ? m.monitorRect : inside;
    }
    return monitors;
}

double ratio(int picture, int monitor) {
    if (picture <= 0 || monitor <= 0) return 1.0;
    return double(picture) / double(monitor);
}

}  // namespace

CMonitorTable::CMonitorTable(std::string displayName) : m_strDisplayName(std::move(displayName)) {}

CMonitorTable::CMonitorTable(std::vector<MonitorInfo> fixed) { setFixedTable(std::move(fixed)); }

void CMonitorTable::setFixedTable(std::vector<MonitorInfo> fixed) {
    m_fixed = std::move(fixed);
    adopt(*m_fixed);
}

bool CMonitorTable::refresh() {
    if (m_fixed) {
        adopt(*m_fixed);
        return !m_monitors.empty();
    }
    std::unique_ptr<Display, DisplayCloser> display(
        XOpenDisplay(m_strDisplayName.empty() ? nullptr : m_strDisplayName.c_str()));
    if (!display) {
        adopt({});
        return false;
    }
    std::vector<MonitorInfo> monitors;
    {
        CXErrorTrap trap(display.get());
        monitors = readDisplay(display.get());
        XSync(display.get(), False);
    }
    adopt(std::move(monitors));
    return !m_monitors.empty();
}

void CMonitorTable::adopt(std::vector<MonitorInfo> monitors) {
    if (int(monitors.size()) > kMaxMonitors) monitors.resize(kMaxMonitors);
    m_monitors = std::move(monitors);
    m_nPrimary = m_monitors.empty() ? -1 : 0;
    for (int i = 0; i < count(); ++i) {
        if (m_monitors[std::size_t(i)].primary) {
            m_nPrimary = i;
            break;
        }
    }
}

const MonitorInfo& CMonitorTable::at(int index) const {
    static const MonitorInfo none;
    if (index < 0 || index >= count()) return none;
    return m_monitors[std::size_t(index)];
}

double CMonitorTable::scaleX() const {
    const MonitorInfo& m = at(m_nPrimary);
    return ratio(m.modeWidth, m.monitorRect.width());
}

double CMonitorTable::scaleY() const {
    const MonitorInfo& m = at(m_nPrimary);
    return ratio(m.modeHeight, m.monitorRect.height());
}

GeoRect CMonitorTable::toCapturePixels(const GeoRect& logical, double devicePixelRatio, double scaleX,
                                       double scaleY) {
    const double fx = devicePixelRatio * scaleX;
    const double fy = devicePixelRatio * scaleY;
    const auto scale = [](int edge, double factor) { return int(std::trunc(double(edge) * factor)); };
    return GeoRect{scale(logical.left, fx), scale(logical.top, fy), scale(logical.right, fx),
                   scale(logical.bottom, fy)};
}
