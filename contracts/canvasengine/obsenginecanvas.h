// canvasengine: the canvas and its sources.
//
// A canvas produces pictures of its size at its frame rate on its own thread
// while it runs. For each picture it fills itself with the background colour,
// asks every source (in creation order) to draw its area through the source's
// OBSEngineDsSourceSink, applies the source's gamma to that area, and hands
// the finished picture to its OBSEngineSink. Pictures are scheduled on the
// engine clock (GetTickMs) at start + n x 1000 / fps, without drift; a slot
// that cannot begin within half a period of its time (after a slow picture
// or a late wake-up) is skipped rather than made up in a burst.
//
// Operations may be called from any thread. SetSink and SetDsSourceSink wait
// for a callback in progress, so once they return the old sink is no longer
// called. Stop called from inside a callback only asks the thread to end.
#pragma once

#include <cstdint>

#include "canvasengine/obsenginesink.h"

class IOBSEngineSource {
public:
    // Top-left corner of the source's area on the canvas.
    virtual void SetPosition(int x, int y) = 0;
    // Size of the area; clipped to the canvas (0xFFFF x 0xFFFF covers any canvas).
    virtual void SetSize(int width, int height) = 0;
    // 0..200, 100 leaves the pixels unchanged: each of B, G, R becomes
    // 255 x (v / 255) ^ (100 / gamma) (gamma below 1 counts as 1).
    virtual void SetGamma(int value) = 0;
    // Null detaches.
    virtual void SetDsSourceSink(OBSEngineDsSourceSink* sink) = 0;

protected:
    ~IOBSEngineSource() = default;
};

class IOBSEngineCanvas {
public:
    // type 0 is the one kind of source (a drawing callback); any other type
    // gives null. The source belongs to the canvas.
    virtual IOBSEngineSource* CreateSource(const char* name, int type) = 0;
    virtual void DestroySource(IOBSEngineSource* source) = 0;
    virtual const char* GetName() = 0;
    // Stops the canvas, detaches the sinks and destroys the sources; the
    // canvas cannot be started again.
    virtual void Close() = 0;
    // Output picture size in pixels (1..8192 each; default 1280 x 720).
    virtual void SetSize(int width, int height) = 0;
    // Pictures per second (0 < fps <= 240; default 15). A change while
    // running starts a new schedule.
    virtual void SetFrameRate(float fps) = 0;
    // 0 (default): a picture is stamped with GetTickMs() taken just before its
    // sources draw; 1: with its scheduled time on the same clock.
    virtual void SetTimestampMode(int mode) = 0;
    virtual bool IsRunning() = 0;
    // Opens a connection to the X display ($DISPLAY) and starts the canvas
    // thread; false when the display cannot be opened or the canvas is closed.
    virtual bool Start() = 0;
    // Ends the canvas thread and closes the connection. Never hangs on the X
    // server: a server that stops answering has its connection shut down
    // after two seconds. It does wait for a sink callback to return.
    virtual void Stop() = 0;
    // Null detaches.
    virtual void SetSink(OBSEngineSink* sink) = 0;
    // 32-bit ARGB (0xAARRGGBB); default opaque black.
    virtual void SetBackgroundColor(std::uint32_t argb) = 0;

protected:
    ~IOBSEngineCanvas() = default;
};
