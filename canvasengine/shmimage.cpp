#include "shmimage.h"

#include <X11/Xutil.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstring>

#include "basekit/logwrapper.h"
#include "xconnection.h"

CShmImage::CShmImage(CXConnection& connection, Visual* visual, int depth)
    : m_connection(connection), m_pVisual(visual), m_nDepth(depth) {
    m_info.shmid = -1;
    m_info.shmaddr = nullptr;
}

CShmImage::~CShmImage() {
    DropImage();
    Detach();
}

void CShmImage::DropImage() {
    if (!m_pImage) return;
    m_pImage->data = nullptr;  // the segment's memory is not the image's to free
    XDestroyImage(m_pImage);
    m_pImage = nullptr;
}

bool CShmImage::Attach(std::size_t bytes) {
    Display* display = m_connection.GetDisplay();
    m_info.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (m_info.shmid < 0) {
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- shmget failed for " << bytes << " bytes");
        return false;
    }
    void* address = shmat(m_info.shmid, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- shmat failed");
        shmctl(m_info.shmid, IPC_RMID, nullptr);
        m_info.shmid = -1;
        return false;
    }
    m_info.shmaddr = static_cast<char*>(address);
    m_info.readOnly = False;
    m_connection.TakeError();
    const bool sent = XShmAttach(display, &m_info) != 0;
    XSync(display, False);
    const int error = m_connection.TakeError();
    // Once the server has attached the segment it may be removed: it lives
    // until both sides have detached.
    shmctl(m_info.shmid, IPC_RMID, nullptr);
    if (!sent || error != 0 || m_connection.IsLost()) {
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- the X server did not attach the shared memory, error " << error);
        shmdt(m_info.shmaddr);
        m_info.shmaddr = nullptr;
        m_info.shmid = -1;
        return false;
    }
    // Touch every page now, for both sides, rather than during the first grab.
    std::memset(m_info.shmaddr, 0, bytes);
    m_bAttached = true;
    m_nCapacity = bytes;
    return true;
}

void CShmImage::Detach() {
    if (!m_bAttached) return;
    if (!m_connection.IsLost()) XShmDetach(m_connection.GetDisplay(), &m_info);
    shmdt(m_info.shmaddr);
    m_info.shmaddr = nullptr;
    m_info.shmid = -1;
    m_bAttached = false;
    m_nCapacity = 0;
}

XImage* CShmImage::Get(int w, int h) {
    if (m_pImage && m_pImage->width == w && m_pImage->height == h) return m_pImage;
    DropImage();
    Display* display = m_connection.GetDisplay();
    m_pImage = XShmCreateImage(display, m_pVisual, static_cast<unsigned>(m_nDepth), ZPixmap, nullptr, &m_info,
                               static_cast<unsigned>(w), static_cast<unsigned>(h));
    if (!m_pImage) return nullptr;
    const std::size_t bytes = static_cast<std::size_t>(m_pImage->bytes_per_line) * h;
    if (bytes > m_nCapacity) {
        // XShmCreateImage keeps a pointer to m_info, so the image survives a new segment.
        Detach();
        if (!Attach(std::max(bytes, m_nCapacity * 2))) {
            m_bRefused = true;
            DropImage();
            return nullptr;
        }
    }
    m_pImage->data = m_info.shmaddr;
    return m_pImage;
}

bool CShmImage::Read(int x, int y, int w, int h) {
    XImage* image = Get(w, h);
    if (!image) return false;
    m_connection.TakeError();
    const bool ok = XShmGetImage(m_connection.GetDisplay(), m_connection.GetRoot(), image, x, y, AllPlanes) != 0;
    return ok && m_connection.TakeError() == 0 && !m_connection.IsLost();
}

bool CShmImage::ReadRows(int x, int y, int w, int h, int top, int rows) {
    if (!m_pImage || m_pImage->width != w || m_pImage->height != h || top < 0 || rows < 1 || top + rows > h)
        return false;
    // The server writes a rows-high image at the image's offset in the
    // segment; rows of the same width have the same length, so a band
    // lands exactly on its rows of the whole image.
    m_pImage->height = rows;
    m_pImage->data = m_info.shmaddr + static_cast<std::ptrdiff_t>(top) * m_pImage->bytes_per_line;
    m_connection.TakeError();
    const bool ok = XShmGetImage(m_connection.GetDisplay(), m_connection.GetRoot(), m_pImage, x, y + top, AllPlanes) != 0;
    m_pImage->height = h;
    m_pImage->data = m_info.shmaddr;
    return ok && m_connection.TakeError() == 0 && !m_connection.IsLost();
}
