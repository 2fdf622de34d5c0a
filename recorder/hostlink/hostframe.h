// IHostFrame: what the host link's frame side (CHostFrameSink) asks of the
// bar. Implemented by the bar (over its record state machine) and by the
// scripted frames of the tests and the fuzz target. GUI thread only.
#pragma once

#include <string>

class IHostFrame {
public:
    virtual bool isRecording() = 0;
    virtual bool isPaused() = 0;
    virtual bool isAutoSync() = 0;
    // The record operations; 1 when they ran to their end.
    virtual int doStart() = 0;
    virtual int doStop() = 0;
    virtual int doPause() = 0;
    virtual int doResume() = 0;
    virtual int doToAutoSync(bool on) = 0;
    virtual void setHostName(const std::string& name) = 0;
    virtual void applyAudioDevices(const std::string& inputName, bool inputDisabled, const std::string& outputName,
                                   bool outputDisabled) = 0;
    // Message 1128: the finish prompt, shown once the current call is over.
    virtual void postFinishPrompt() = 0;
    // Timer 254 (calls the link's CheckPeer).
    virtual void startCheckTimer(unsigned periodMs) = 0;
    virtual void stopCheckTimer() = 0;

protected:
    ~IHostFrame() = default;
};
