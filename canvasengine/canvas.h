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
    };

    void ThreadMain(std::unique_ptr<CScreenBackend> grabber);
    void RenderFrame(std::int64_t slot, std::uint64_t dueMs, CScreenBackend* grabber);
    void DrawSource(CCanvasSource& source, int width, int height, CScreenBackend* grabber);
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
    std::vector<std::uint8_t> m_frame;
    std::int64_t m_nPictures = 0;
    std::int64_t m_nSkipped = 0;
};
