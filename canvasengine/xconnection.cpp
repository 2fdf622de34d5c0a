#include "xconnection.h"

#include <X11/Xlibint.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdlib>

#include "basekit/logwrapper.h"

namespace {

// Marks the private data the component hangs on its displays.
int FreeConnectionData(XExtData*) { return 0; }

#if CANVASENGINE_HAVE_IOERROR_EXIT
std::atomic<XIOErrorHandler> g_previousIOHandler{nullptr};
thread_local bool t_bInIOHandler = false;
#endif

}  // namespace

CXConnection* CXConnection::FromDisplay(Display* display) {
    XEDataObject object;
    object.display = display;
    for (XExtData* data = *XEHeadOfExtensionList(object); data; data = data->next)
        if (data->free_private == FreeConnectionData) return reinterpret_cast<CXConnection*>(data->private_data);
    return nullptr;
}

int CXConnection::OnIOError(Display* display) {
    if (CXConnection* connection = FromDisplay(display)) {
        // Returning lets Xlib go on to the connection's exit handler, which
        // only marks it too; the process lives on.
        connection->MarkLost();
        return 0;
    }
#if CANVASENGINE_HAVE_IOERROR_EXIT
    XIOErrorHandler previous = g_previousIOHandler.load();
    if (!previous || t_bInIOHandler) return 0;
    t_bInIOHandler = true;
    const int rv = previous(display);
    t_bInIOHandler = false;
    return rv;
#else
    return 0;
#endif
}

void CXConnection::InstallIOErrorHandler() {
#if CANVASENGINE_HAVE_IOERROR_EXIT
    XIOErrorHandler previous = XSetIOErrorHandler(OnIOError);
    if (previous != OnIOError) g_previousIOHandler.store(previous);
#endif
}

std::unique_ptr<CXConnection> CXConnection::Open(const char* name) {
    Display* display = XOpenDisplay(name);
    if (!display) {
        const char* shown = name ? name : std::getenv("DISPLAY");
        UC_LOG(CLogWrapper::LOG_ERROR, " --- cannot open the X display " << (shown ? shown : "(unset)"));
        return nullptr;
    }
    InstallIOErrorHandler();
    std::unique_ptr<CXConnection> connection(new CXConnection(display));
    if (!connection->Attach()) return nullptr;
    return connection;
}

CXConnection::CXConnection(Display* display)
    : m_pDisplay(display), m_root(DefaultRootWindow(display)), m_nFd(ConnectionNumber(display)) {}

bool CXConnection::Attach() {
    XExtData* data = static_cast<XExtData*>(std::calloc(1, sizeof(XExtData)));
    XExtCodes* codes = XAddExtension(m_pDisplay);
    if (!data || !codes) {
        std::free(data);
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- cannot register the connection's error hooks");
        return false;
    }
    // Xlib frees the record (not what it points to) when the display closes.
    data->number = codes->extension;
    data->free_private = FreeConnectionData;
    data->private_data = reinterpret_cast<XPointer>(this);
    XEDataObject object;
    object.display = m_pDisplay;
    XAddToExtensionList(XEHeadOfExtensionList(object), data);
    XESetError(m_pDisplay, codes->extension, [](Display* display, xError* error, XExtCodes*, int* rv) -> int {
        CXConnection* self = FromDisplay(display);
        if (!self) return 0;
        if (self->m_nError == 0) self->m_nError = error->errorCode;
        *rv = 0;
        return 1;  // handled: the process-wide error handler never sees it
    });
#if CANVASENGINE_HAVE_IOERROR_EXIT
    XSetIOErrorExitHandler(
        m_pDisplay, [](Display*, void* self) { static_cast<CXConnection*>(self)->MarkLost(); }, this);
#endif
    return true;
}

CXConnection::~CXConnection() {
#if CANVASENGINE_HAVE_IOERROR_EXIT
    XCloseDisplay(m_pDisplay);
#else
    // Closing a broken connection through Xlib would end the process.
    if (!IsLost()) XCloseDisplay(m_pDisplay);
#endif
}

bool CXConnection::CheckAlive() {
    if (IsLost()) return false;
    pollfd pfd{m_nFd, POLLIN, 0};
    if (poll(&pfd, 1, 0) > 0) {
        char c;
        if ((pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) ||
            ((pfd.revents & POLLIN) && recv(m_nFd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0)) {
            UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- the X server closed the connection");
            MarkLost();
        }
    }
    return !IsLost();
}

int CXConnection::TakeError() {
    const int error = m_nError;
    m_nError = 0;
    return error;
}

void CXConnection::Shutdown() {
    shutdown(m_nFd, SHUT_RDWR);
    MarkLost();
}
