// CTestScreen: a test's own connection to the X server, to paint known
// pictures on the root window and move the pointer.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <string>

class CTestScreen {
public:
    explicit CTestScreen(const std::string& display);
    ~CTestScreen();
    CTestScreen(const CTestScreen&) = delete;
    CTestScreen& operator=(const CTestScreen&) = delete;

    bool IsOpen() const { return m_pDisplay != nullptr; }
    // rgb: 0xRRGGBB, mapped onto the root visual's masks.
    void FillRect(int x, int y, int w, int h, std::uint32_t rgb);
    void WarpPointer(int x, int y);
    void Sync();
    Display* GetDisplay() const { return m_pDisplay; }

private:
    unsigned long PixelFor(std::uint32_t rgb) const;

    Display* m_pDisplay = nullptr;
    GC m_gc = nullptr;
};
