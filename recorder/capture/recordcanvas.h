// IRecordCanvas: the capture canvas as the record state machine drives it
// (implemented by CCaptureCanvas, which passes it on to CCaptureBridge).
#pragma once

class IOrvixAvRecordInterface;

class IRecordCanvas {
public:
    virtual bool hasCanvas() = 0;
    // The engine the finished pictures go to (null: none).
    virtual void setEngine(IOrvixAvRecordInterface* engine) = 0;
    // Pictures are drawn only while recording.
    virtual void setRecording(bool on) = 0;
    virtual void setCanvasSize(int width, int height) = 0;
    virtual void setGamma(int gamma) = 0;
    virtual void startCanvas() = 0;
    virtual void stopCanvas() = 0;
    virtual bool isCanvasRunning() = 0;

protected:
    ~IRecordCanvas() = default;
};
