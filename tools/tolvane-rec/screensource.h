// CScreenSource: the pictures of tolvane-rec --source screen: the capture
// bridge and the capture component deliver the screen rectangle to the
// engine at 15 pictures per second on the canvas thread, as in the recorder
// program. The calls follow the program's record control: Start after
// StartRecord, Pause / Resume with the engine's, Stop before StopRecord.
#pragma once

#include <cstdint>
#include <string>

#include "capturebridge.h"

class IOrvixAvRecordInterface;

class CScreenSource {
public:
    // Sets the canvas up for pictures of width x height taken from `rect`
    // (physical screen pixels) and pushed to `engine`. False with a message
    // when the capture component cannot load.
    bool Open(const CaptureRect& rect, int width, int height, IOrvixAvRecordInterface* engine,
              std::string& error);
    bool Start(std::string& error);
    void Pause();
    bool Resume();
    // Stops the pictures and detaches the engine; the canvas stays set up.
    void Stop();

    // The X server went away: no more screen pictures.
    bool IsScreenLost() const { return m_bridge.IsScreenLost(); }
    std::uint64_t Pictures() const { return m_bridge.PictureCount(); }
    std::uint64_t Skipped() const { return m_bridge.SkippedCount(); }

private:
    CCaptureBridge m_bridge;
};
