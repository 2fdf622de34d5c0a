#include "canvassource.h"

#include "basekit/logwrapper.h"

CCanvasSource::CCanvasSource(std::string name, std::recursive_mutex& callbackMutex)
    : m_strName(std::move(name)), m_callbackMutex(callbackMutex) {}

void CCanvasSource::SetPosition(int x, int y) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nX = x;
    m_nY = y;
}

void CCanvasSource::SetSize(int width, int height) {
    UC_ASSERTE_RETURN(width >= 0 && height >= 0, );
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nWidth = width;
    m_nHeight = height;
}

void CCanvasSource::SetGamma(int value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_gamma.Set(value);
}

void CCanvasSource::SetDsSourceSink(OBSEngineDsSourceSink* sink) {
    std::lock_guard<std::recursive_mutex> lock(m_callbackMutex);
    m_pSink = sink;
}

CCanvasSource::Params CCanvasSource::GetParams() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    Params params;
    params.nX = m_nX;
    params.nY = m_nY;
    params.nWidth = m_nWidth;
    params.nHeight = m_nHeight;
    params.gamma = m_gamma;
    return params;
}
