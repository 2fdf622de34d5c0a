// CCaptureBridge: the recorder's side of the capture component. It sets up
// the canvas "CANVAS_AS" with its source "SOURCE_AS", draws the capture
// rectangle of the screen when the canvas asks for a picture, and hands each
// finished picture to the recording engine without copying it: with its size
// and changed rows when the engine takes pictures described in full
// (IVideoPictureSink), else as bytes through PushVideoData.
//
// Used from two threads: the owner's thread (normally the GUI thread) calls
// every operation except the two callbacks; the canvas thread calls
// DrawFrame and OnVideoFrame. The engine pointer, the rectangle provider and
// the recording flag may be changed while the canvas runs: once SetEngine or
// SetRectProvider returns, the previous engine or provider is no longer used.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "canvasengine/obsengine.h"
#include "georect.h"

class IOrvixAvRecordInterface;
class IVideoPictureSink;

// A rectangle of the screen in physical pixels.
using CaptureRect = GeoRect;

class CCaptureBridge : public OBSEngineSink, public OBSEngineDsSourceSink {
public:
    // Settings of the canvas at set-up.
    static constexpr int kDefaultWidth = 1280;
    static constexpr int kDefaultHeight = 720;
    static constexpr float kFrameRate = 15.0f;
    static constexpr std::uint32_t kBackground = 0xFF808080u;  // opaque grey
    static constexpr int kWholeCanvas = 0xFFFF;                 // source size that covers any canvas

    CCaptureBridge() = default;
    // Tears the canvas down (Close) if that was not done.
    virtual ~CCaptureBridge();
    CCaptureBridge(const CCaptureBridge&) = delete;
    CCaptureBridge& operator=(const CCaptureBridge&) = delete;

    // Loads the component and sets up the canvas and its source (not
    // started). False when no capture is possible (no X display, no canvas).
    bool Load();
    bool HasCanvas() const { return m_pCanvas != nullptr; }

    // Where OnVideoFrame pushes the pictures; null drops them.
    void SetEngine(IOrvixAvRecordInterface* engine);
    // Called on the canvas thread for every picture: the capture rectangle in
    // physical screen pixels. Without a provider the whole screen is taken.
    void SetRectProvider(std::function<CaptureRect()> provider);
    // DrawFrame reads the screen only while this is true.
    void SetRecording(bool recording) { m_bRecording.store(recording); }
    bool IsRecording() const { return m_bRecording.load(); }

    // The canvas picture size (the encoded size) and the source's gamma (0..200).
    void SetCanvasSize(int width, int height);
    void SetGamma(int gamma);
    // Starts the canvas if it is not running; false when it cannot run.
    bool StartCanvas();
    // Stops the canvas if it runs.
    void StopCanvas();
    bool IsCanvasRunning() const;
    // Detaches the sinks, stops and closes the canvas and destroys it.
    void Close();

    // True once a draw request during a recording found no readable screen
    // (the X server went away); the pictures are the background from then
    // on. StartCanvas clears it (a new connection).
    bool IsScreenLost() const { return m_bScreenLost.load(); }

    // Pictures handed to an engine, and pictures the canvas left out (late
    // slots), since Load.
    std::uint64_t PictureCount() const { return m_nPictures.load(); }
    std::uint64_t SkippedCount() const { return m_nSkipped.load(); }

    // OBSEngineSink, on the canvas thread.
    void OnVideoFrame(int nSlot, OBSVideoFrame* frame) override;
    // OBSEngineDsSourceSink, on the canvas thread.
    bool DrawFrame(IOBSEngineDC* dc, int width, int height) override;

private:
    CaptureRect CurrentRect(IOBSEngineScreenDC* screen);

    IOBSEngineCanvas* m_pCanvas = nullptr;
    IOBSEngineSource* m_pSource = nullptr;
    std::atomic<bool> m_bRecording{false};
    std::atomic<bool> m_bScreenLost{false};

    std::mutex m_engineMutex;  // held while a picture is pushed
    IOrvixAvRecordInterface* m_pEngine = nullptr;
    IVideoPictureSink* m_pPictureSink = nullptr;  // the same engine's extension, or null
    std::atomic<std::uint64_t> m_nPictures{0};
    std::atomic<std::uint64_t> m_nSkipped{0};
    int m_nLastSlot = -1;      // canvas thread; reset by StartCanvas before the thread runs
    std::mutex m_rectMutex;    // held while the provider runs
    std::function<CaptureRect()> m_rectProvider;
};
