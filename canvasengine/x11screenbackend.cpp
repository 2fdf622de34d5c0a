#include "x11screenbackend.h"

#include "screengrabber.h"
#include "xconnection.h"

std::unique_ptr<CScreenBackend> CX11ScreenBackend::Open(std::string& error) {
    std::unique_ptr<CScreenGrabber> grabber = CScreenGrabber::Open(nullptr);
    if (!grabber) {
        error = "no X display";
        return nullptr;
    }
    return std::unique_ptr<CScreenBackend>(new CX11ScreenBackend(std::move(grabber)));
}

CX11ScreenBackend::CX11ScreenBackend(std::unique_ptr<CScreenGrabber> grabber) : m_pGrabber(std::move(grabber)) {}
CX11ScreenBackend::~CX11ScreenBackend() = default;

int CX11ScreenBackend::GetWidth() { return m_pGrabber->GetWidth(); }
int CX11ScreenBackend::GetHeight() { return m_pGrabber->GetHeight(); }

bool CX11ScreenBackend::BitBlt(IOBSEngineDC* dc, int dx, int dy, int w, int h, int sx, int sy) {
    return m_pGrabber->BitBlt(dc, dx, dy, w, h, sx, sy);
}

bool CX11ScreenBackend::StretchBlt(IOBSEngineDC* dc, int dx, int dy, int dw, int dh, int sx, int sy, int sw, int sh) {
    return m_pGrabber->StretchBlt(dc, dx, dy, dw, dh, sx, sy, sw, sh);
}

bool CX11ScreenBackend::IsAlive() { return m_pGrabber->IsAlive(); }
void CX11ScreenBackend::Shutdown() { m_pGrabber->GetConnection().Shutdown(); }
