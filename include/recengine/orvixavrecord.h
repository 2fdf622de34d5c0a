// The recording engine's public interface: one engine instance records one
// screen-and-sound recording into an FLV file. Create it with
// CreateOrvixAvRecord, call Init, optionally GetDeviceList and
// SetCurrentAudioDevice, StartRecord, PushVideoData (any thread) and
// PauseRecord / ResumeRecord pairs, StopRecord, then DestoryOrvixAvRecord.
// Every text (paths, device names, endpoint IDs) is UTF-8.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "recengine/enginecodes.h"

class CDataPackage;

// One audio endpoint.
struct AudioDeviceInfo {
    std::string DevicesName;   // friendly name
    char GuidName[128] = {};   // endpoint ID (PulseAudio source/sink name); empty = none chosen
    int m_bCapture = 0;        // 1 microphone (source), 0 speaker (sink, recorded through its monitor)
    int m_bDefault = 0;        // 1 the server's default endpoint of its kind
};

struct RecordParam {
    std::string strFilePath;           // FLV output path
    int bDumpAudio = 0;                // non-zero: also write the AAC audio as ADTS
    std::string strDumpAudioFileName;  // ADTS output path
};

// Implemented by the caller. Results are ignored.
class IOrvixRecordSink {
public:
    // Every captured block, on the capture thread: isInput 1 microphone,
    // 0 loopback; level 0..9.
    virtual int OnAudioLevel(int isInput, int level) = 0;
    // Whole seconds recorded, pauses excluded, about once a second.
    virtual int OnRecordDuration(std::uint32_t seconds) = 0;
    // An audio device arrived or left, on the thread that called Init.
    virtual int OnAudioDeviceChanged() = 0;
    // A muxer's writer thread failed: its error code with bit 31 set. The
    // caller is expected to stop the recording.
    virtual int OnRecordError(int code) = 0;

protected:
    ~IOrvixRecordSink() = default;
};

// Result codes: OrvixRecordResult (recengine/enginecodes.h): 0 success, 1
// invalid argument, 2 busy, 4 a component failed to initialise, 5 a capture
// failed to start, 6 a capture failed to stop, 7 a muxer failed to
// initialise, 8 an encoder failed to start, 9 the video encoder failed to
// stop, 10 the audio encoder failed to stop, 12 a muxer failed to stop.
class IOrvixAvRecordInterface {
public:
    // unformat: picture format code 0..23 of the video codec layer (12 = 32-bit BGRA).
    virtual std::uint32_t Init(IOrvixRecordSink* pSink, int iWidth, int iHeight, int unformat,
                               int iFps) = 0;
    virtual std::uint32_t SetCurrentAudioDevice(std::list<AudioDeviceInfo>* devices) = 0;
    virtual std::uint32_t StartRecord(RecordParam* param) = 0;
    virtual std::uint32_t StopRecord() = 0;
    virtual std::uint32_t PauseRecord() = 0;
    virtual std::uint32_t ResumeRecord() = 0;
    // timestamp: milliseconds on the engine clock (GetTickMs); the caller keeps the picture.
    virtual std::uint32_t PushVideoData(std::uint32_t timestamp, CDataPackage* picture) = 0;
    virtual std::uint32_t GetDeviceList(std::list<AudioDeviceInfo>* devices) = 0;

protected:
    ~IOrvixAvRecordInterface() = default;
};

extern "C" {
IOrvixAvRecordInterface* CreateOrvixAvRecord();
int DestoryOrvixAvRecord(IOrvixAvRecordInterface* p);
}
