#include "x11hotkeys.h"

#include <QSocketNotifier>

#include <X11/XKBlib.h>
#include <X11/keysym.h>

#include "basekit/logwrapper.h"
#include "x11errortrap.h"

CX11Hotkeys::CX11Hotkeys(const char* displayName, QObject* parent) : CHotkeySource(parent) {
    m_pDisplay = XOpenDisplay(displayName);
    if (!m_pDisplay) {
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- no X display for the hotkeys");
        return;
    }
    m_root = DefaultRootWindow(m_pDisplay);
    // Key presses arrive without repeats while the key is held.
    Bool supported = False;
    XkbSetDetectableAutoRepeat(m_pDisplay, True, &supported);
    m_pNotifier = std::make_unique<QSocketNotifier>(ConnectionNumber(m_pDisplay), QSocketNotifier::Read);
    connect(m_pNotifier.get(), &QSocketNotifier::activated, this, &CX11Hotkeys::readEvents);
}

CX11Hotkeys::~CX11Hotkeys() {
    m_pNotifier.reset();
    if (!m_pDisplay) return;
    for (const auto& [id, grab] : m_grabs) ungrab(grab.keyCode, grab.modifiers);
    XCloseDisplay(m_pDisplay);
}

unsigned long CX11Hotkeys::keySymOf(unsigned virtualKey) {
    // VK_F1 is 0x70 .. VK_F24 0x87.
    if (virtualKey >= 0x70 && virtualKey <= 0x87) return XK_F1 + (virtualKey - 0x70);
    return 0;
}

std::vector<unsigned> CX11Hotkeys::lockVariants(const std::vector<unsigned>& lockMasks) {
    std::vector<unsigned> variants{0};
    for (unsigned mask : lockMasks) {
        if (mask == 0) continue;
        std::size_t count = variants.size();
        for (std::size_t i = 0; i < count; ++i)
            if (!(variants[i] & mask)) variants.push_back(variants[i] | mask);
    }
    return variants;
}

std::vector<unsigned> CX11Hotkeys::lockMasks() {
    std::vector<unsigned> masks{LockMask};
    XModifierKeymap* map = XGetModifierMapping(m_pDisplay);
    if (!map) return masks;
    const KeyCode numLock = XKeysymToKeycode(m_pDisplay, XK_Num_Lock);
    const KeyCode scrollLock = XKeysymToKeycode(m_pDisplay, XK_Scroll_Lock);
    unsigned numMask = 0, scrollMask = 0;
    for (int modifier = 0; modifier < 8; ++modifier) {
        for (int k = 0; k < map->max_keypermod; ++k) {
            KeyCode code = map->modifiermap[modifier * map->max_keypermod + k];
            if (code == 0) continue;
            if (code == numLock) numMask = 1u << modifier;
            if (code == scrollLock) scrollMask = 1u << modifier;
        }
    }
    XFreeModifiermap(map);
    if (numMask && numMask != LockMask) masks.push_back(numMask);
    if (scrollMask && scrollMask != LockMask && scrollMask != numMask) masks.push_back(scrollMask);
    return masks;
}

void CX11Hotkeys::ungrab(int keyCode, const std::vector<unsigned>& modifiers) {
    CX11ErrorTrap trap(m_pDisplay);
    for (unsigned modifier : modifiers) XUngrabKey(m_pDisplay, keyCode, modifier, m_root);
    trap.sync();
}

IHotkeyRegistrar::Result CX11Hotkeys::registerHotkey(int id, unsigned virtualKey) {
    if (!m_pDisplay) return HOTKEY_FAILED;
    if (m_grabs.count(id)) return HOTKEY_ALREADY_REGISTERED;
    unsigned long keySym = keySymOf(virtualKey);
    int keyCode = keySym ? XKeysymToKeycode(m_pDisplay, keySym) : 0;
    if (keyCode == 0) return HOTKEY_FAILED;
    std::vector<unsigned> modifiers = lockVariants(lockMasks());
    int errorCode = Success;
    {
        CX11ErrorTrap trap(m_pDisplay);
        for (unsigned modifier : modifiers)
            XGrabKey(m_pDisplay, keyCode, modifier, m_root, False, GrabModeAsync, GrabModeAsync);
        errorCode = trap.sync();
    }
    if (errorCode != Success) {
        // Ungrabbing keys held by the other client does not touch its grabs.
        ungrab(keyCode, modifiers);
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- grab of key " << keyCode << " refused, error " << errorCode);
        return errorCode == BadAccess ? HOTKEY_ALREADY_REGISTERED : HOTKEY_FAILED;
    }
    m_grabs[id] = Grab{keyCode, modifiers};
    XFlush(m_pDisplay);
    return HOTKEY_REGISTERED;
}

bool CX11Hotkeys::unregisterHotkey(int id) {
    auto it = m_grabs.find(id);
    if (!m_pDisplay || it == m_grabs.end()) return false;
    ungrab(it->second.keyCode, it->second.modifiers);
    m_grabs.erase(it);
    return true;
}

void CX11Hotkeys::readEvents() {
    while (m_pDisplay && XPending(m_pDisplay) > 0) {
        XEvent event;
        XNextEvent(m_pDisplay, &event);
        if (event.type != KeyPress) continue;
        std::vector<int> pressed;
        for (const auto& [id, grab] : m_grabs)
            if (static_cast<int>(event.xkey.keycode) == grab.keyCode) pressed.push_back(id);
        // Receivers may run dialogs and change the grabs: each press is
        // handed on from the event loop, after this read.
        for (int id : pressed)
            QMetaObject::invokeMethod(this, [this, id] { emit hotkeyPressed(id); }, Qt::QueuedConnection);
    }
}
