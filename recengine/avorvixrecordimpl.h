// CAVOrvixRecordImpl: the engine object behind IOrvixAvRecordInterface. It
// wires the device enumerator, the two captures (microphone and loopback),
// the audio processor, the video worker and the two muxers together, chooses
// the audio devices and passes progress and errors to the caller's sink.
//
// Threads: the caller's thread makes every interface call except
// PushVideoData / PushVideoPicture and receives OnAudioDeviceChanged (the enumerator posts it
// through that thread's CMessageQueue, which the caller pumps); capture
// threads call OnAudioCaptured, the video thread OnVideoFrameEncoded, muxer
// threads OnMuxError. The engine lock guards the sink pointer, the duration
// clock, the pause accounting and m_bInputCapturing; callbacks into the sink
// are made after it is released. One instance records once.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "audiodevicecapture.h"
#include "audiodeviceenum.h"
#include "audioprocess.h"
#include "dumpaudiomuxer.h"
#include "enginetypes.h"
#include "flvmuxer.h"
#include "recengine/orvixavrecord.h"
#include "recengine/videopicturesink.h"
#include "resamplerproxy.h"
#include "videoencodingworker.h"

class CAVOrvixRecordImpl : public IOrvixAvRecordInterface,
                           public IVideoPictureSink,
                           public IAudioDeviceCaptureSink,
                           public IVideoEncodingObserver,
                           public IDeviceChangedSink,
                           public IMuxErrorNotify {
public:
    CAVOrvixRecordImpl();
    // Stops nothing but the two captures (their threads use the resamplers,
    // which go before them); DestoryOrvixAvRecord calls StopRecord first.
    virtual ~CAVOrvixRecordImpl();
    CAVOrvixRecordImpl(const CAVOrvixRecordImpl&) = delete;
    CAVOrvixRecordImpl& operator=(const CAVOrvixRecordImpl&) = delete;

    // IOrvixAvRecordInterface
    std::uint32_t Init(IOrvixRecordSink* pSink, int iWidth, int iHeight, int unformat,
                       int iFps) override;
    std::uint32_t SetCurrentAudioDevice(std::list<AudioDeviceInfo>* devices) override;
    std::uint32_t StartRecord(RecordParam* param) override;
    std::uint32_t StopRecord() override;
    std::uint32_t PauseRecord() override;
    std::uint32_t ResumeRecord() override;
    std::uint32_t PushVideoData(std::uint32_t timestamp, CDataPackage* picture) override;
    std::uint32_t GetDeviceList(std::list<AudioDeviceInfo>* devices) override;
    // IVideoPictureSink: as PushVideoData, with the picture's size and changed rows.
    std::uint32_t PushVideoPicture(std::uint32_t timestamp, const VideoPicture& picture) override;
    // What the video pushes did with the pictures (tests).
    CVideoEncodingWorker::PictureStats GetPictureStats() { return m_VideoEncodingWorker.GetPictureStats(); }

    // IAudioDeviceCaptureSink, IVideoEncodingObserver, IDeviceChangedSink, IMuxErrorNotify
    void OnAudioCaptured(CAudioDeviceCapture* source, CapturedAudioBlock* block) override;
    void OnVideoFrameEncoded() override;
    void OnDeviceChanged() override;
    void OnMuxError(int code) override;

    // The level 0..9 of a block: its peak absolute 16-bit sample, in
    // thousands, through the level table. An empty block gives 0.
    static int AudioLevelOf(const CapturedAudioBlock* block);

    // The chosen devices (for the caller's thread and tests).
    const AudioDeviceInfo& GetInputDevice() const { return m_InputDevice; }
    const AudioDeviceInfo& GetOutputDevice() const { return m_OutputDevice; }
    // True while the capture of that kind runs (caller's thread).
    bool IsDeviceCapturing(bool bInput) const;

private:
    bool _TrySetCurrentAudioDeviceByUUID(const std::list<AudioDeviceInfo>& devices);
    bool _TrySetCurrentAudioDeviceByName(const std::list<AudioDeviceInfo>& devices);
    // Stops the kind's capture, puts a fresh idle one in its place and, with
    // bStart, starts it on the kind's device record.
    void _ReplaceCapture(bool bInput, bool bStart);
    // Replaces the capture without starting it and empties the record's ID.
    void _ResetCapture(bool bInput);
    void _LogChosenDevices(bool bInputSeen, bool bOutputSeen, int counter);
    int _StartCapture(bool bInput);

    // Under m_Lock: the duration step; true with `seconds` when a report is due.
    bool _DurationStepLocked(std::uint32_t& seconds);
    // Under m_Lock: paused time so far, the running pause included.
    std::uint64_t _PausedMsLocked(std::uint64_t nowMs) const;

    AudioDeviceInfo& _Record(bool bInput) { return bInput ? m_InputDevice : m_OutputDevice; }
    std::unique_ptr<CAudioDeviceCapture>& _Capture(bool bInput) {
        return bInput ? m_InputDeviceCapture : m_OutputDeviceCapture;
    }
    CResamplerProxy& _Resampler(bool bInput) { return bInput ? m_InputResampler : m_OutputResampler; }

    IOrvixRecordSink* m_pSink = nullptr;
    AudioDeviceInfo m_InputDevice;
    AudioDeviceInfo m_OutputDevice;
    CVideoEncodingWorker m_VideoEncodingWorker;
    CAudioDeviceEnum m_DeviceControl;
    std::unique_ptr<CAudioDeviceCapture> m_InputDeviceCapture;
    std::unique_ptr<CAudioDeviceCapture> m_OutputDeviceCapture;
    CResamplerProxy m_InputResampler;
    CResamplerProxy m_OutputResampler;
    CFlvMuxer m_FlvMuxer;
    CDumpAudioMuxer m_DumpAudioMuxer;
    mutable std::mutex m_Lock;
    std::uint64_t m_llLastReportMs = 0;
    std::uint64_t m_llStartMs = 0;
    std::uint64_t m_llPausedMs = 0;
    std::uint64_t m_llPauseBeginMs = 0;
    bool m_bPaused = false;                 // between PauseRecord and ResumeRecord
    std::uint64_t m_llLastInputBlockMs = 0; // last microphone block, for the duration pacing
    bool m_bInputCapturing = false;
    int m_iWidth = 0;
    int m_iHeight = 0;
    int m_iFps = 15;
    bool m_bIsCapture = false;
    bool m_bInitOk = false;  // Init went through every step
    CAudioProcess m_AudioProcessor;
};
