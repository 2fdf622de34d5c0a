#include "canvas.h"

#include <pthread.h>

#include <algorithm>
#include <cmath>

#include "basekit/logwrapper.h"
#include "basekit/tickcount.h"
#include "canvassource.h"
#include "devicecontext.h"
#include "frameschedule.h"
#include "screenbackend.h"

namespace {
constexpr int kMaxSide = 8192;
constexpr float kMaxFps = 240.0f;
thread_local const CCanvas* t_pThreadCanvas = nullptr;
}  // namespace

CCanvas::CCanvas(const char* name) : m_strName(name ? name : "") {}

CCanvas::~CCanvas() {
    Close();
    std::lock_guard<std::mutex> run(m_runMutex);
    JoinThread();
}

bool CCanvas::OnCanvasThread() const { return t_pThreadCanvas == this; }

IOBSEngineSource* CCanvas::CreateSource(const char* name, int type) {
    if (type != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- unknown source type " << type);
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> callbacks(m_callbackMutex);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bClosed) return nullptr;
    m_sources.push_back(std::make_shared<CCanvasSource>(name ? name : "", m_callbackMutex));
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "source " << m_sources.back()->GetName() << " created");
    return m_sources.back().get();
}

void CCanvas::DestroySource(IOBSEngineSource* source) {
    std::lock_guard<std::recursive_mutex> callbacks(m_callbackMutex);
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = std::find_if(m_sources.begin(), m_sources.end(),
                           [source](const auto& s) { return s.get() == source; });
    UC_ASSERTE_RETURN(it != m_sources.end(), );
    // A picture being drawn right now (DestroySource called from a callback)
    // holds its own reference and skips the removed source.
    (*it)->MarkRemoved();
    m_sources.erase(it);
}

void CCanvas::Close() {
    Stop();
    {
        std::lock_guard<std::recursive_mutex> callbacks(m_callbackMutex);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pSink = nullptr;
        for (auto& source : m_sources) source->MarkRemoved();
        m_sources.clear();
    }
    if (!m_bClosed.exchange(true)) UC_LOG_THIS(CLogWrapper::LOG_INFO, "canvas " << m_strName << " closed");
}

void CCanvas::SetSize(int width, int height) {
    UC_ASSERTE_RETURN(width >= 1 && width <= kMaxSide && height >= 1 && height <= kMaxSide, );
    std::lock_guard<std::mutex> lock(m_mutex);
    m_settings.nWidth = width;
    m_settings.nHeight = height;
}

void CCanvas::SetFrameRate(float fps) {
    UC_ASSERTE_RETURN(fps > 0.0f && fps <= kMaxFps, );
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fFps = fps;
}

float CCanvas::GetFrameRate() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fFps;
}

void CCanvas::SetTimestampMode(int mode) {
    UC_ASSERTE_RETURN(mode == 0 || mode == 1, );
    std::lock_guard<std::mutex> lock(m_mutex);
    m_settings.nTimestampMode = mode;
}

void CCanvas::SetSink(OBSEngineSink* sink) {
    std::lock_guard<std::recursive_mutex> callbacks(m_callbackMutex);
    m_pSink = sink;
}

void CCanvas::SetBackgroundColor(std::uint32_t argb) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_settings.dwBackground = argb;
}

bool CCanvas::Start() {
    std::lock_guard<std::mutex> run(m_runMutex);
    if (m_bClosed) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- the canvas is closed");
        return false;
    }
    if (m_bRunning.load()) return true;
    JoinThread();  // a thread told to stop from inside a callback
    // The one place where the way of reading the screen is chosen.
    const CScreenBackend::Kind kind = CScreenBackend::ChosenKind();
    std::string error;
    std::unique_ptr<CScreenBackend> grabber = CScreenBackend::Open(kind, error);
    if (!grabber) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- " << error << ", the canvas does not start");
        return false;
    }
    if (kind != CScreenBackend::Kind::kX11)
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "canvas " << m_strName << " reads the screen through the " << CScreenBackend::KindName(kind));
    {
        std::lock_guard<std::mutex> lock(m_grabberMutex);
        m_pLiveGrabber = grabber.get();
    }
    m_pStopEvent = std::make_unique<CEventWrapper>(true, false);
    m_pDoneEvent = std::make_unique<CEventWrapper>(true, false);
    m_bRunning.store(true);
    m_thread = std::thread([this, owned = grabber.release()] { ThreadMain(std::unique_ptr<CScreenBackend>(owned)); });
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "canvas " << m_strName << " started");
    return true;
}

void CCanvas::Stop() {
    if (OnCanvasThread()) {
        // Joining ourselves is impossible: the thread ends after this
        // callback and is joined by the next Start, Stop or the destructor.
        if (m_bRunning.exchange(false)) m_pStopEvent->Signal();
        return;
    }
    std::lock_guard<std::mutex> run(m_runMutex);
    if (!m_thread.joinable()) return;
    m_bRunning.store(false);
    m_pStopEvent->Signal();
    JoinThread();
}

void CCanvas::JoinThread() {
    if (!m_thread.joinable()) return;
    if (m_pDoneEvent->TimedWait(CTimeValueWrapper::FromMilliseconds(kStopGraceMs)) == CEventWrapper::EVENT_TIMEOUT) {
        // Most likely blocked on an X server that stopped answering: a shut
        // socket makes the pending call fail.
        UC_LOG_THIS(CLogWrapper::LOG_WARNING,
                    " --- the canvas thread did not end in " << kStopGraceMs << " ms, shutting the X connection down");
        std::lock_guard<std::mutex> lock(m_grabberMutex);
        if (m_pLiveGrabber) m_pLiveGrabber->Shutdown();
    }
    m_thread.join();
    m_pStopEvent.reset();
    m_pDoneEvent.reset();
    UC_LOG_THIS(CLogWrapper::LOG_INFO,
                "canvas " << m_strName << " stopped: " << m_nPictures << " pictures, " << m_nSkipped << " slots skipped");
}

void CCanvas::ThreadMain(std::unique_ptr<CScreenBackend> grabber) {
    t_pThreadCanvas = this;
    pthread_setname_np(pthread_self(), "canvas");  // shown by top -H, /proc and the benchmarks
    m_nPictures = 0;
    m_nSkipped = 0;
    m_bFrameKept = false;  // a new screen context has drawn nothing yet
    m_pLastSink = nullptr;
    {
        // The picture buffer is set up before the clock starts, so that the
        // first slot is not late for it.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frame.assign(static_cast<std::size_t>(m_settings.nWidth) * 4 * m_settings.nHeight, 0);
    }
    float fps = GetFrameRate();
    CFrameSchedule schedule;
    schedule.Reset(GetTickMs(), fps);
    std::int64_t slot = 0;
    for (;;) {
        const std::uint64_t due = schedule.DueTime(slot);
        const std::uint64_t now = GetTickMs();
        if (due > now) {
            const int rv = m_pStopEvent->TimedWait(CTimeValueWrapper::FromMilliseconds(static_cast<std::int64_t>(due - now)));
            if (rv != CEventWrapper::EVENT_TIMEOUT) break;
            continue;  // look at the clock again
        }
        if (m_pStopEvent->IsSignaled()) break;
        const float current = GetFrameRate();
        if (current != fps) {
            fps = current;
            schedule.Reset(GetTickMs(), fps);
            slot = 0;
            continue;
        }
        // Woken too late, or the last picture took too long: skip ahead.
        const std::int64_t onTime = schedule.FirstOnTimeSlot(slot, now);
        if (onTime != slot) {
            m_nSkipped += onTime - slot;
            slot = onTime;
            continue;
        }
        RenderFrame(slot, due, grabber.get());
        ++m_nPictures;
        ++slot;
    }
    {
        std::lock_guard<std::mutex> lock(m_grabberMutex);
        m_pLiveGrabber = nullptr;
    }
    grabber.reset();
    m_pDoneEvent->Signal();
}

std::vector<CCanvas::SourceLayout> CCanvas::Layout(const std::vector<std::shared_ptr<CCanvasSource>>& sources,
                                                  std::vector<CGammaTable>& gammas, int width, int height) {
    std::vector<SourceLayout> layout;
    gammas.clear();
    for (const auto& source : sources) {
        SourceLayout item;
        item.pSource = source.get();
        item.pSink = source->GetSink();
        const CCanvasSource::Params params = source->GetParams();
        const std::int64_t x0 = std::max(params.nX, 0), y0 = std::max(params.nY, 0);
        const std::int64_t x1 = std::min<std::int64_t>(std::int64_t{params.nX} + params.nWidth, width);
        const std::int64_t y1 = std::min<std::int64_t>(std::int64_t{params.nY} + params.nHeight, height);
        if (item.pSink && !source->IsRemoved() && x0 < x1 && y0 < y1) {
            item.nX = static_cast<int>(x0);
            item.nY = static_cast<int>(y0);
            item.nWidth = static_cast<int>(x1 - x0);
            item.nHeight = static_cast<int>(y1 - y0);
        }
        item.nGamma = params.gamma.Get();
        layout.push_back(item);
        gammas.push_back(params.gamma);
    }
    return layout;
}

bool CCanvas::AreasApart(const std::vector<SourceLayout>& layout) {
    for (std::size_t i = 0; i < layout.size(); ++i)
        for (std::size_t j = i + 1; j < layout.size(); ++j) {
            const SourceLayout& a = layout[i];
            const SourceLayout& b = layout[j];
            if (a.nWidth > 0 && b.nWidth > 0 && a.nX < b.nX + b.nWidth && b.nX < a.nX + a.nWidth &&
                a.nY < b.nY + b.nHeight && b.nY < a.nY + a.nHeight)
                return false;
        }
    return true;
}

void CCanvas::RenderFrame(std::int64_t slot, std::uint64_t dueMs, CScreenBackend* grabber) {
    std::lock_guard<std::recursive_mutex> callbacks(m_callbackMutex);
    Settings settings;
    std::vector<std::shared_ptr<CCanvasSource>> sources;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        settings = m_settings;
        sources = m_sources;
    }
    const int stride = settings.nWidth * 4;
    const std::size_t bytes = static_cast<std::size_t>(stride) * settings.nHeight;
    std::vector<CGammaTable> gammas;
    std::vector<SourceLayout> layout = Layout(sources, gammas, settings.nWidth, settings.nHeight);
    // The previous picture is built on when nothing but the screen can have
    // changed it: same size, background, sources, areas and gamma.
    const bool keep = m_bFrameKept && m_frame.size() == bytes && settings.nWidth == m_keptSettings.nWidth &&
                      settings.nHeight == m_keptSettings.nHeight &&
                      settings.dwBackground == m_keptSettings.dwBackground && layout == m_keptLayout &&
                      AreasApart(layout);
    m_bFrameKept = false;
    if (!keep) {
        m_frame.resize(bytes);
        CDeviceContext::Fill(m_frame.data(), settings.nWidth, settings.nHeight, stride, settings.dwBackground);
    }
    const std::uint64_t stamp = settings.nTimestampMode == 1 ? dueMs : GetTickMs();
    CRowSpans changed;
    bool keepable = true;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        if (layout[i].nWidth == 0) continue;
        if (!DrawSource(*sources[i], layout[i], gammas[i], stride, settings.dwBackground, keep, grabber, changed))
            keepable = false;
    }
    if (!keep) changed.SetAll();
    m_bFrameKept = keepable;
    m_keptSettings = settings;
    m_keptLayout = std::move(layout);
    OBSEngineSink* sink = m_pSink;
    // Which rows changed is known against the picture this sink saw last.
    if (sink != m_pLastSink) changed.SetAll();
    m_pLastSink = sink;
    if (!sink) return;
    OBSVideoFrame frame;
    frame.dwLength = static_cast<std::uint32_t>(m_frame.size());
    frame.pData = m_frame.data();
    frame.dwTimeStamp = static_cast<std::uint32_t>(stamp);
    frame.nWidth = settings.nWidth;
    frame.nHeight = settings.nHeight;
    frame.nStride = stride;
    frame.nFormat = OBS_FRAME_FORMAT_BGRA;
    if (changed.IsAll()) {
        frame.nDirtyTop = 0;
        frame.nDirtyRows = -1;
    } else {
        const CRowSpans::Span band = changed.Hull(settings.nHeight);
        frame.nDirtyTop = band.first;
        frame.nDirtyRows = band.second - band.first;
    }
    sink->OnVideoFrame(static_cast<int>(slot), &frame);
}

bool CCanvas::DrawSource(CCanvasSource& source, const SourceLayout& layout, const CGammaTable& gamma, int stride,
                         std::uint32_t background, bool keep, CScreenBackend* grabber, CRowSpans& changed) {
    OBSEngineDsSourceSink* sink = layout.pSink;
    const int w = layout.nWidth, h = layout.nHeight;
    std::uint8_t* bits = m_frame.data() + static_cast<std::ptrdiff_t>(layout.nY) * stride + layout.nX * 4;
    if (source.IsRemoved() || !sink) {
        // Dropped (from a callback) while the picture is drawn: not drawn,
        // its area is the background.
        if (keep) CDeviceContext::Fill(bits, w, h, stride, background);
        changed.SetAll();
        return false;
    }
    CDeviceContext dc(bits, w, h, stride, grabber, keep, background);
    sink->DrawFrame(&dc, w, h);
    dc.Finish();
    if (dc.IsMixed()) {
        // Drawn partly on the kept picture and partly anew: drawn again from
        // the background.
        CDeviceContext::Fill(bits, w, h, stride, background);
        CDeviceContext fresh(bits, w, h, stride, grabber, false, background);
        sink->DrawFrame(&fresh, w, h);
        gamma.Apply(bits, w, h, stride);
        changed.Add(layout.nY, layout.nY + h);
        return false;
    }
    // Only what was drawn now gets the gamma: the rest has it already.
    const CRowSpans& rows = dc.GetChangedRows();
    const int left = dc.GetChangedLeft(), right = dc.GetChangedRight();
    for (const CRowSpans::Span& span : rows.Within(h)) {
        gamma.Apply(bits + static_cast<std::ptrdiff_t>(span.first) * stride + left * 4, right - left,
                    span.second - span.first, stride);
        changed.Add(layout.nY + span.first, layout.nY + span.second);
    }
    return dc.IsKeepable();
}
