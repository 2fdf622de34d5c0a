#include "x11talktransport.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "basekit/logwrapper.h"
#include "linkpacket.h"
#include "x11errortrap.h"

namespace {

std::uint64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Descendants searched below each child of the root window (window managers
// put a client into a frame, some into a frame inside a frame).
constexpr int kReparentDepth = 3;

}  // namespace

CX11TalkTransport::~CX11TalkTransport() {
    if (m_pDisplay) {
        if (m_bCreatedWindow) XDestroyWindow(m_pDisplay, m_ownWindow);
        XCloseDisplay(m_pDisplay);
    }
    if (m_nEventFd >= 0) ::close(m_nEventFd);
    if (m_nEpollFd >= 0) ::close(m_nEpollFd);
}

bool CX11TalkTransport::Open(const char* displayName) {
    if (m_pDisplay) return true;
    m_pDisplay = XOpenDisplay(displayName);
    if (!m_pDisplay) return false;
    m_message = XInternAtom(m_pDisplay, kMessageName, False);
    m_packetType = XInternAtom(m_pDisplay, kPacketTypeName, False);
    m_nEpollFd = ::epoll_create1(EPOLL_CLOEXEC);
    m_nEventFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_nEpollFd < 0 || m_nEventFd < 0) return false;
    for (int fd : {ConnectionNumber(m_pDisplay), m_nEventFd}) {
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (::epoll_ctl(m_nEpollFd, EPOLL_CTL_ADD, fd, &event) != 0) return false;
    }
    return true;
}

TalkWindow CX11TalkTransport::CreateOwnWindow(const char* title) {
    if (!m_pDisplay) return 0;
    Window window = XCreateSimpleWindow(m_pDisplay, DefaultRootWindow(m_pDisplay), 0, 0, 1, 1, 0, 0, 0);
    if (!window) return 0;
    if (title) XStoreName(m_pDisplay, window, title);
    m_bCreatedWindow = true;
    if (!Listen(static_cast<TalkWindow>(window))) return 0;
    return static_cast<TalkWindow>(window);
}

bool CX11TalkTransport::Listen(TalkWindow window) {
    if (!m_pDisplay || window == 0) return false;
    m_ownWindow = window;
    char name[64];
    std::snprintf(name, sizeof(name), "_TOLVANE_LINK_PACKET_%lX", static_cast<unsigned long>(window));
    m_ownProperty = XInternAtom(m_pDisplay, name, False);
    m_listening[window] = true;
    CX11ErrorTrap trap(m_pDisplay);
    addMask(window, ColormapChangeMask);
    return trap.sync() == Success;
}

void CX11TalkTransport::addMask(Window window, long mask) {
    long& current = m_masks[window];
    current |= mask;
    XSelectInput(m_pDisplay, window, current);
}

void CX11TalkTransport::removeMask(Window window, long mask) {
    auto it = m_masks.find(window);
    if (it == m_masks.end()) return;
    it->second &= ~mask;
    XSelectInput(m_pDisplay, window, it->second);
    if (it->second == 0) m_masks.erase(it);
}

bool CX11TalkTransport::IsWindow(TalkWindow window) {
    if (!m_pDisplay || window == 0) return false;
    XWindowAttributes attributes;
    Status status;
    int error;
    {
        CX11ErrorTrap trap(m_pDisplay);
        status = XGetWindowAttributes(m_pDisplay, window, &attributes);
        error = trap.sync();
    }
    afterCall();
    return error == Success && status != 0;
}

bool CX11TalkTransport::findBelow(Window parent, Window wanted, int depth) {
    Window root = 0, up = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(m_pDisplay, parent, &root, &up, &children, &count)) return false;
    bool found = false;
    for (unsigned i = 0; i < count && !found; ++i) found = children[i] == wanted;
    for (unsigned i = 0; i < count && !found && depth > 0; ++i) found = findBelow(children[i], wanted, depth - 1);
    if (children) XFree(children);
    return found;
}

bool CX11TalkTransport::IsTopLevelWindow(TalkWindow window) {
    if (!m_pDisplay || window == 0) return false;
    bool found;
    {
        CX11ErrorTrap trap(m_pDisplay);
        found = findBelow(DefaultRootWindow(m_pDisplay), window, kReparentDepth);
        trap.sync();
    }
    afterCall();
    return found;
}

void CX11TalkTransport::WatchPeer(TalkWindow window) {
    if (!m_pDisplay || window == m_watched) return;
    {
        CX11ErrorTrap trap(m_pDisplay);
        if (m_watched) removeMask(m_watched, StructureNotifyMask);
        m_watched = window;
        if (m_watched) addMask(m_watched, StructureNotifyMask);
        trap.sync();
    }
    afterCall();
}

bool CX11TalkTransport::SendPacket(TalkWindow destination, std::span<const std::uint8_t> packet) {
    if (!m_pDisplay || destination == 0) return false;
    if (!m_ownProperty) {
        char name[64];
        std::snprintf(name, sizeof(name), "_TOLVANE_LINK_PACKET_P%ld", static_cast<long>(::getpid()));
        m_ownProperty = XInternAtom(m_pDisplay, name, False);
    }
    Wait wait = Wait::NONE;
    {
        CX11ErrorTrap trap(m_pDisplay);
        // Watch the destination's properties first, so that the deletion
        // cannot pass unseen.
        addMask(destination, PropertyChangeMask);
        XChangeProperty(m_pDisplay, destination, m_ownProperty, m_packetType, 8, PropModeReplace, packet.data(),
                        static_cast<int>(packet.size()));
        Announce(m_pDisplay, destination, m_ownProperty, CLinkPacket::kCopyDataTag, m_ownWindow);
        if (trap.sync() != Success) wait = Wait::GONE;
    }
    const std::uint64_t until = nowMs() + static_cast<std::uint64_t>(m_nSendTimeoutMs);
    while (wait == Wait::NONE) {
        readEvents(destination, m_ownProperty, &wait);
        if (wait != Wait::NONE) break;
        const std::uint64_t now = nowMs();
        if (now >= until) break;
        pollfd fd {ConnectionNumber(m_pDisplay), POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(until - now));
    }
    {
        CX11ErrorTrap trap(m_pDisplay);
        // Not taken in time: the packet must not be read later.
        if (wait != Wait::DONE) XDeleteProperty(m_pDisplay, destination, m_ownProperty);
        removeMask(destination, PropertyChangeMask);
        trap.sync();
    }
    if (wait != Wait::DONE)
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- packet to window " << destination << " not taken ("
                                                                        << (wait == Wait::GONE ? "no window" : "time-out")
                                                                        << ")");
    m_bLastTaken = wait == Wait::DONE;
    afterCall();
    return m_bLastTaken;
}

void CX11TalkTransport::Announce(Display* display, unsigned long destination, unsigned long property, long dwData,
                                 unsigned long source) {
    XEvent event {};
    event.xclient.type = ClientMessage;
    event.xclient.window = destination;
    event.xclient.message_type = XInternAtom(display, kMessageName, False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(property);
    event.xclient.data.l[1] = dwData;
    event.xclient.data.l[2] = static_cast<long>(source);
    XSendEvent(display, destination, False, ColormapChangeMask, &event);
}

void CX11TalkTransport::readEvents(Window waitWindow, Atom waitProperty, Wait* wait) {
    while (XPending(m_pDisplay) > 0) {
        XEvent event;
        XNextEvent(m_pDisplay, &event);
        handleEvent(event, waitWindow, waitProperty, wait);
    }
}

void CX11TalkTransport::handleEvent(const XEvent& event, Window waitWindow, Atom waitProperty, Wait* wait) {
    switch (event.type) {
        case ClientMessage:
            if (event.xclient.message_type == m_message && event.xclient.format == 32 &&
                m_listening.count(event.xclient.window))
                takePacket(event.xclient);
            break;
        case PropertyNotify:
            if (wait && event.xproperty.window == waitWindow && event.xproperty.atom == waitProperty &&
                event.xproperty.state == PropertyDelete)
                *wait = Wait::DONE;
            break;
        case DestroyNotify:
            if (wait && event.xdestroywindow.window == waitWindow) *wait = Wait::GONE;
            if (event.xdestroywindow.window == m_watched) m_queue.push_back(Item{true, 0, {}});
            break;
        default: break;
    }
}

void CX11TalkTransport::takePacket(const XClientMessageEvent& message) {
    const Atom property = static_cast<Atom>(message.data.l[0]);
    if (property == None) return;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    CX11ErrorTrap trap(m_pDisplay);
    // Only a property of the packet type is read (and deleted with the read
    // when it is read whole); one byte more than the limit tells an
    // oversized packet.
    const int status = XGetWindowProperty(m_pDisplay, message.window, property, 0,
                                          static_cast<long>(kMaxPacketBytes / 4 + 1), True, m_packetType, &type,
                                          &format, &count, &after, &data);
    if (trap.sync() != Success || status != Success) {
        if (data) XFree(data);
        return;
    }
    if (type != m_packetType) {
        if (data) XFree(data);
        if (type != None) {
            ++m_nRefused;
            UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- link packet of another property type ignored");
        }
        return;
    }
    if (after > 0 || format != 8 || count > kMaxPacketBytes) {
        if (after > 0) XDeleteProperty(m_pDisplay, message.window, property);
        if (data) XFree(data);
        ++m_nRefused;
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- link packet refused: " << (format != 8 ? "format " : "size ")
                                                                           << (format != 8 ? format : 0));
        return;
    }
    Item item;
    item.dwData = static_cast<std::uint32_t>(message.data.l[1]);
    if (data) item.bytes.assign(data, data + count);
    if (data) XFree(data);
    m_queue.push_back(std::move(item));
}

void CX11TalkTransport::Pump() {
    if (!m_pDisplay) return;
    std::uint64_t counter = 0;
    while (::read(m_nEventFd, &counter, sizeof(counter)) > 0) {
    }
    readEvents(0, None, nullptr);
    if (m_nDepth > 0) return;
    while (!m_queue.empty()) {
        Item item = std::move(m_queue.front());
        m_queue.pop_front();
        ++m_nDepth;
        if (m_pReceiver) {
            if (item.checkPeer) {
                m_pReceiver->CheckPeer();
            } else {
                TalkCopyData copy;
                copy.dwData = item.dwData;
                copy.cbData = static_cast<std::uint32_t>(item.bytes.size());
                copy.lpData = item.bytes.data();
                m_pReceiver->OnCopyData(0, &copy);
            }
        }
        --m_nDepth;
        readEvents(0, None, nullptr);
    }
}

void CX11TalkTransport::afterCall() {
    // Round trips may have read events into Xlib's queue, where polling the
    // connection no longer sees them.
    if (m_nDepth == 0 && (!m_queue.empty() || XEventsQueued(m_pDisplay, QueuedAlready) > 0)) signal();
}

void CX11TalkTransport::signal() {
    const std::uint64_t one = 1;
    if (::write(m_nEventFd, &one, sizeof(one)) < 0) {
        // The counter is full: a wake-up is pending anyway.
    }
}
