// CSingleInstance: finds a running bar through the root-window property
// "Tolvane_Instance", which holds the running bar's window id. An id the
// server no longer knows (a bar that crashed or a stale value) does not
// count. The property stays after the bar ends.
#pragma once

#include <X11/Xlib.h>

#include <string>

class CSingleInstance {
public:
    static constexpr const char* kPropertyName = "Tolvane_Instance";

    // displayName: null for $DISPLAY.
    explicit CSingleInstance(const char* displayName = nullptr);
    ~CSingleInstance();
    CSingleInstance(const CSingleInstance&) = delete;
    CSingleInstance& operator=(const CSingleInstance&) = delete;

    bool isConnected() const { return m_pDisplay != nullptr; }
    // True when the property names a window that exists.
    bool anotherInstanceRuns();
    // Stores the bar's window id in the property.
    bool publish(unsigned long windowId);
    // The id the property holds, 0 when none.
    unsigned long publishedWindow();

private:
    bool windowExists(Window window);

    Display* m_pDisplay = nullptr;
    Atom m_property = 0;
};
