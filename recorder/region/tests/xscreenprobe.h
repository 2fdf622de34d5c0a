// CXScreenProbe: the tests' own connection to an X server, for reading back
// what is on the screen and for changing root-window properties. Keeps the
// Xlib headers (and their macros) out of the test sources.
#pragma once

#include <QImage>
#include <QRect>

#include <string>
#include <vector>

class CXScreenProbe {
public:
    CXScreenProbe() = default;
    ~CXScreenProbe() { close(); }
    CXScreenProbe(const CXScreenProbe&) = delete;
    CXScreenProbe& operator=(const CXScreenProbe&) = delete;

    bool open(const std::string& displayName);
    void close();

    // Colour the root window shows where no window is (0xRRGGBB).
    void setRootBackground(unsigned rgb);
    // The screen's pixels of area, read from the root window.
    QImage grab(const QRect& area) const;
    unsigned pixel(int x, int y) const;
    // A top-level window's place as the server has it; empty when unknown.
    QRect windowGeometry(unsigned long window) const;
    bool isOverrideRedirect(unsigned long window) const;
    // 32-bit cardinal properties of the root window.
    void setRootCardinals(const char* name, const std::vector<long>& values);
    void deleteRootProperty(const char* name);

private:
    void* m_pDisplay = nullptr;  // Display*
};
