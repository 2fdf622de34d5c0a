// CX11Hotkeys: system-wide hotkeys as key grabs on the X root window, on a
// connection of its own that the Qt event loop watches. A key is grabbed
// without modifiers and with every combination of the lock modifiers
// (Caps Lock, Num Lock, Scroll Lock), so the locks do not stop it. A grab
// the server refuses (another client holds the key) is
// HOTKEY_ALREADY_REGISTERED.
#pragma once

// Qt first: Xlib defines macros that clash with its names.
#include "hotkeysource.h"

#include <X11/Xlib.h>

#include <map>
#include <memory>
#include <vector>

class QSocketNotifier;

class CX11Hotkeys : public CHotkeySource {
    Q_OBJECT
public:
    // displayName: null for $DISPLAY.
    explicit CX11Hotkeys(const char* displayName = nullptr, QObject* parent = nullptr);
    ~CX11Hotkeys() override;

    bool isConnected() const { return m_pDisplay != nullptr; }

    Result registerHotkey(int id, unsigned virtualKey) override;
    bool unregisterHotkey(int id) override;

    // The X key symbol of a virtual key number (F1..F24), 0 for others.
    static unsigned long keySymOf(unsigned virtualKey);
    // Every combination of the given lock masks, 0 first.
    static std::vector<unsigned> lockVariants(const std::vector<unsigned>& lockMasks);

private:
    void readEvents();
    std::vector<unsigned> lockMasks();
    void ungrab(int keyCode, const std::vector<unsigned>& modifiers);

    Display* m_pDisplay = nullptr;
    Window m_root = 0;
    std::unique_ptr<QSocketNotifier> m_pNotifier;
    struct Grab {
        int keyCode;
        std::vector<unsigned> modifiers;
    };
    std::map<int, Grab> m_grabs;  // by hotkey id
};
