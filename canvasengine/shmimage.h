// CShmImage: an MIT-SHM segment attached to the X server and an image on it
// of the size of the latest grab. The segment grows when a grab needs more
// room and is kept otherwise; it is marked for removal as soon as the server
// has attached it, so it disappears with the process whatever happens.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

#include <cstddef>

class CXConnection;

class CShmImage {
public:
    CShmImage(CXConnection& connection, Visual* visual, int depth);
    ~CShmImage();
    CShmImage(const CShmImage&) = delete;
    CShmImage& operator=(const CShmImage&) = delete;

    // An image of w x h on the segment; null when shared memory cannot be
    // used with this server (no segment, or the server refused to attach it).
    XImage* Get(int w, int h);
    // Reads the w x h root area at (x, y) into Get(w, h); false on failure.
    bool Read(int x, int y, int w, int h);
    // Reads rows [top, top + rows) of the w x h root area at (x, y) into the
    // same rows of the image Get(w, h) holds, leaving its other rows as they
    // are; false on failure (or when the image is of another size).
    bool ReadRows(int x, int y, int w, int h, int top, int rows);
    XImage* GetImage() const { return m_pImage; }
    // True once a segment could not be created or attached: give up on it.
    bool IsRefused() const { return m_bRefused; }

private:
    bool Attach(std::size_t bytes);
    void Detach();
    void DropImage();

    CXConnection& m_connection;
    Visual* m_pVisual;
    int m_nDepth;
    XShmSegmentInfo m_info{};
    bool m_bAttached = false;
    bool m_bRefused = false;
    std::size_t m_nCapacity = 0;
    XImage* m_pImage = nullptr;
};
