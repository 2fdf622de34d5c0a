// CRecordSession: drives one engine instance the way the recorder program
// does (create, Init, GetDeviceList, SetCurrentAudioDevice, StartRecord,
// pushes, PauseRecord / ResumeRecord, StopRecord, destroy) and collects what
// the engine reports through IOrvixRecordSink.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <string>

#include "recengine/orvixavrecord.h"

class CDataPackage;

class CRecordSession : public IOrvixRecordSink {
public:
    CRecordSession() = default;
    // Stops a recording still running and destroys the engine.
    ~CRecordSession();
    CRecordSession(const CRecordSession&) = delete;
    CRecordSession& operator=(const CRecordSession&) = delete;

    // What an engine result code means.
    static std::string CodeText(std::uint32_t code);
    // What a code of OnRecordError means (bit 31 set: a muxer's writer failed).
    static std::string ErrorText(int code);

    // Creates the engine and initialises it on the calling thread (which
    // then receives OnAudioDeviceChanged through its message queue). The
    // engine code, 0 on success.
    std::uint32_t Open(int width, int height, int fps);
    std::list<AudioDeviceInfo> ListDevices();
    // The chosen records, at most one of each kind.
    std::uint32_t ChooseDevices(const std::list<AudioDeviceInfo>& chosen);
    std::uint32_t Start(const std::string& path, const std::string& dumpPath);
    void PushPicture(std::uint32_t timestampMs, const std::uint8_t* bgra, std::size_t bytes);
    std::uint32_t Pause();
    std::uint32_t Resume();
    // StopRecord, then destroys the engine; the StopRecord code.
    std::uint32_t Stop();

    // The engine instance (null before Open and after Stop), for a picture
    // source that pushes to it from its own thread.
    IOrvixAvRecordInterface* Engine() const { return m_pEngine; }

    // Peak levels since the last call (-1: nothing reported).
    int TakeLevel(bool bMic);
    std::uint32_t Seconds() const { return m_dwSeconds.load(); }
    // The first OnRecordError code, 0 when none came.
    int ErrorCode() const { return m_nErrorCode.load(); }
    int DeviceChanges() const { return m_nDeviceChanges.load(); }

    // IOrvixRecordSink
    int OnAudioLevel(int isInput, int level) override;
    int OnRecordDuration(std::uint32_t seconds) override;
    int OnAudioDeviceChanged() override;
    int OnRecordError(int code) override;

private:
    IOrvixAvRecordInterface* m_pEngine = nullptr;
    bool m_bRecording = false;
    std::atomic<int> m_anLevel[2] = {-1, -1};  // [0] speaker, [1] microphone
    std::atomic<std::uint32_t> m_dwSeconds{0};
    std::atomic<int> m_nErrorCode{0};
    std::atomic<int> m_nDeviceChanges{0};
};
