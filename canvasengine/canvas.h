// CCanvas: the canvas of the component: settings, sources, and the canvas
// thread that produces the pictures at the frame rate.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "basekit/eventwrapper.h"
#include "canvasengine/obsenginecanvas.h"
#include "gammatable.h"
#include "rowspans.h"

class CCanvasSource;
class CScreenBackend;

class CCanvas : public IOBSEngineCanvas {
public:
    explicit CCanvas(const char* name);
    // Must not run on the canvas thread (from inside a callback).
    virtual ~CCanvas();
    CCanvas(const CCanvas&) = delete;
    CCanvas& operator=(const CCanvas&) = delete;

    IOBSEngineSource* CreateSource(const char* name, int type) override;
    void DestroySource(IOBSEngineSource* source) override;
    const char* GetName() override { return m_strName.c_str(); }
    void Close() override;
    void SetSize(int width, int height) override;
    void SetFrameRate(float fps) override;
    void SetTimestampMode(int mode) override;
    bool IsRunning() override { return m_bRunning.load(); }
    bool Start() override;
    void Stop() override;
    void SetSink(OBSEngineSink* sink) override;
    void SetBackgroundColor(std::uint32_t argb) override;

    // Time Stop gives the canvas thread before it shuts the screen's connection down.
    static constexpr int kStopGraceMs = 2000;

private:
    struct Settings {
        int nWidth;
        int nHeight;
        int nTimestampMode;
        std::uint32_t dwBackground;
        bool operator==(const Settings&) const = default;
    };
    // A source as a picture drew it: the area of the canvas it covered.
    struct SourceLayout {
        const CCanvasSource* pSource = nullptr;
        OBSEngineDsSourceSink* pSink = nullptr;
        int nX = 0, nY = 0, nWidth = 0, nHeight = 0;  // clipped to the canvas; nWidth 0: not drawn
        int nGamma = 0;
        bool operator==(const SourceLayout&) const = default;
    };

    void ThreadMain(std::unique_ptr<CScreenBackend> grabber);
    void RenderFrame(std::int64_t slot, std::uint64_t dueMs, CScreenBackend* grabber);
    // Draws one source into its area; `keep`: the area holds the previous
    // picture's draw. Adds the rows it changed to `changed` and returns true
    // when the next picture may keep the area.
    bool DrawSource(CCanvasSource& source, const SourceLayout& layout, const CGammaTable& gamma, int stride,
                    std::uint32_t background, bool keep, CScreenBackend* grabber, CRowSpans& changed);
    static std::vector<SourceLayout> Layout(const std::vector<std::shared_ptr<CCanvasSource>>& sources,
                                            std::vector<CGammaTable>& gammas, int width, int height);
    // True when no two drawn areas overlap (a later source would cover
    // rows an earlier one redrew).
    static bool AreasApart(const std::vector<SourceLayout>& layout);
    // Waits for an ended (or ending) canvas thread and frees what it used.
    void JoinThread();
    bool OnCanvasThread() const;
    float GetFrameRate() const;

    const std::string m_strName;
    mutable std::mutex m_mutex;             // the settings and the source list
    std::recursive_mutex m_callbackMutex;   // the sinks; held while a picture is drawn and delivered
    std::mutex m_runMutex;                  // Start, Stop and Close against each other
    Settings m_settings{1280, 720, 0, 0xFF000000u};
    float m_fFps = 15.0f;
    std::vector<std::shared_ptr<CCanvasSource>> m_sources;
    OBSEngineSink* m_pSink = nullptr;
    std::atomic<bool> m_bClosed{false};

    // The canvas thread owns its screen context and closes it itself: after
    // a broken connection Xlib keeps the display locked for the thread that
    // saw the failure, so no other thread may close it. m_pLiveGrabber lets
    // Stop shut the connection down while the thread still has it.
    std::mutex m_grabberMutex;
    CScreenBackend* m_pLiveGrabber = nullptr;
    // Set up by Start, freed once the thread has ended.
    std::unique_ptr<CEventWrapper> m_pStopEvent;  // manual reset: the thread is to end
    std::unique_ptr<CEventWrapper> m_pDoneEvent;  // manual reset: the thread has ended
    std::thread m_thread;
    std::atomic<bool> m_bRunning{false};

    // Canvas thread only.
    // The picture, kept from one slot to the next: an area whose source
    // drew it with a single screen grab is redrawn where the screen changed.
    // Sinks only read the picture they are handed; one that wrote into it
    // would spoil the next one.
    std::vector<std::uint8_t> m_frame;
    bool m_bFrameKept = false;  // m_frame is reusable for the layout below
    Settings m_keptSettings{};
    std::vector<SourceLayout> m_keptLayout;
    OBSEngineSink* m_pLastSink = nullptr;  // the sink the last picture went to
    std::int64_t m_nPictures = 0;
    std::int64_t m_nSkipped = 0;
};
