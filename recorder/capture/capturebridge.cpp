#include "capturebridge.h"

#include "basekit/datapackage.h"
#include "basekit/logwrapper.h"
#include "recengine/orvixavrecord.h"
#include "recengine/videopicturesink.h"

namespace {
constexpr std::uint32_t kBlack = 0xFF000000u;
}  // namespace

CCaptureBridge::~CCaptureBridge() { Close(); }

bool CCaptureBridge::Load() {
    if (m_pCanvas) return true;
    if (!OBSEngine_Load()) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- the capture component did not load, no capture possible");
        return false;
    }
    m_pCanvas = OBSEngine_CreateCanvas("CANVAS_AS");
    if (!m_pCanvas) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- no canvas");
        return false;
    }
    m_pCanvas->SetBackgroundColor(kBackground);
    m_pCanvas->SetSize(kDefaultWidth, kDefaultHeight);
    m_pCanvas->SetFrameRate(kFrameRate);
    m_pCanvas->SetTimestampMode(0);
    m_pCanvas->SetSink(this);
    m_pSource = m_pCanvas->CreateSource("SOURCE_AS", 0);
    if (m_pSource) {
        m_pSource->SetDsSourceSink(this);
        m_pSource->SetPosition(0, 0);
        m_pSource->SetSize(kWholeCanvas, kWholeCanvas);
    } else {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- no source on the canvas");
    }
    return true;
}

void CCaptureBridge::SetEngine(IOrvixAvRecordInterface* engine) {
    std::lock_guard<std::mutex> lock(m_engineMutex);
    m_pEngine = engine;
    m_pPictureSink = dynamic_cast<IVideoPictureSink*>(engine);
}

void CCaptureBridge::SetRectProvider(std::function<CaptureRect()> provider) {
    std::lock_guard<std::mutex> lock(m_rectMutex);
    m_rectProvider = std::move(provider);
}

void CCaptureBridge::SetCanvasSize(int width, int height) {
    if (m_pCanvas) m_pCanvas->SetSize(width, height);
}

void CCaptureBridge::SetGamma(int gamma) {
    if (m_pSource) m_pSource->SetGamma(gamma);
}

bool CCaptureBridge::StartCanvas() {
    if (!m_pCanvas) return false;
    if (m_pCanvas->IsRunning()) return true;
    m_nLastSlot = -1;  // slots count from 0 again
    m_bScreenLost.store(false);
    return m_pCanvas->Start();
}

void CCaptureBridge::StopCanvas() {
    if (m_pCanvas && m_pCanvas->IsRunning()) m_pCanvas->Stop();
}

bool CCaptureBridge::IsCanvasRunning() const { return m_pCanvas && m_pCanvas->IsRunning(); }

void CCaptureBridge::Close() {
    if (!m_pCanvas) return;
    if (m_pSource) m_pSource->SetDsSourceSink(nullptr);
    m_pCanvas->SetSink(nullptr);
    if (m_pCanvas->IsRunning()) m_pCanvas->Stop();
    m_pCanvas->Close();
    OBSEngine_DestroyCanvas(m_pCanvas);
    m_pCanvas = nullptr;
    m_pSource = nullptr;  // the canvas destroyed it
}

void CCaptureBridge::OnVideoFrame(int nSlot, OBSVideoFrame* frame) {
    if (!frame || !frame->pData) return;
    if (nSlot < m_nLastSlot) m_nLastSlot = -1;  // a new schedule (frame rate change)
    if (nSlot > m_nLastSlot + 1) m_nSkipped += static_cast<std::uint64_t>(nSlot - m_nLastSlot - 1);
    m_nLastSlot = nSlot;
    std::lock_guard<std::mutex> lock(m_engineMutex);
    if (!m_pEngine) return;
    if (m_pPictureSink) {
        VideoPicture picture;
        picture.pData = frame->pData;
        picture.nLength = frame->dwLength;
        picture.nWidth = frame->nWidth;
        picture.nHeight = frame->nHeight;
        picture.nStride = frame->nStride;
        picture.nFormat = frame->nFormat;
        picture.nDirtyTop = frame->nDirtyTop;
        picture.nDirtyRows = frame->nDirtyRows;
        m_pPictureSink->PushVideoPicture(frame->dwTimeStamp, picture);
    } else {
        CDataPackage picture(frame->dwLength, frame->pData, CDataPackage::FLAG_WRAP, frame->dwLength);
        m_pEngine->PushVideoData(frame->dwTimeStamp, &picture);
    }
    ++m_nPictures;
}

CaptureRect CCaptureBridge::CurrentRect(IOBSEngineScreenDC* screen) {
    {
        std::lock_guard<std::mutex> lock(m_rectMutex);
        if (m_rectProvider) return m_rectProvider();
    }
    return CaptureRect{0, 0, screen->GetWidth(), screen->GetHeight()};
}

bool CCaptureBridge::DrawFrame(IOBSEngineDC* dc, int width, int height) {
    // Nothing is read from the screen unless a recording runs.
    if (!m_bRecording.load() || !dc) return true;
    IOBSEngineScreenDC* screen = dc->GetScreenDC();
    if (!screen) {
        if (!m_bScreenLost.exchange(true))
            UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- the screen cannot be read any more");
        return true;
    }
    const CaptureRect rect = CurrentRect(screen);
    if (rect.empty()) {
        dc->FillColor(kBlack);
        return false;
    }
    if (rect.width() == width && rect.height() == height) {
        screen->BitBlt(dc, 0, 0, width, height, rect.left, rect.top);
    } else {
        screen->StretchBlt(dc, 0, 0, width, height, rect.left, rect.top, rect.width(), rect.height());
    }
    return true;
}
