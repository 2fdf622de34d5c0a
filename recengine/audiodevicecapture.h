// CAudioDeviceCapture: captures one sound-server endpoint on a thread of its
// own and hands 44100 Hz stereo S16 blocks to an IAudioDeviceCaptureSink.
//
// A microphone (bIsInputDevice) records its PulseAudio source; a speaker is
// captured in loopback by recording its sink's monitor source. The object
// has its own server connection (pulse/) on a poll loop that StartCapture
// drives while it opens the stream and the capture thread drives afterwards.
// Samples are S16LE at the device's native rate and channel count where
// possible, delivered in 10 ms fragments; the stream buffers up to 5 s.
//
// Block times (engine clock, GetTickNs): a block carries the capture time
// of its first frame: the read time minus the stream latency (the sound
// still buffered for this client from the block's first frame on, plus the
// source's and the transport's latency as the server last reported them)
// and minus the resampler's delay. For loopback the source is the sink's
// monitor, which gets the sound when the sink mixes it, before it plays: the
// sink's latency is taken off, and the block carries the time its first
// frame plays. A sink mixes ahead in periods and its latency is largest just
// after it has mixed, when the monitor gets the sound; the reports come at
// any phase, so the largest of the last 64 stands for that moment. It counts
// up to 100 ms, so that a sink that mixes far ahead (a lone player with a
// long buffer) cannot stamp the sound much later than it was read. The
// queue keeps these times beside its read-time line (IAudioCaptureTime);
// they move the stamps, not the rate correction's fill.
// Since a late wake-up can only make that estimate later, consecutive blocks
// are chained (each one expected where the previous one's frames end) and
// the estimate follows measurements below the chain quickly (a quarter of
// the difference per block) and above it slowly (a 32nd); a jump of more
// than 50 ms (lost sound, an overflow) starts the chain again.
//
// A device that goes away, or a server that dies, ends the capture thread:
// IsCapturing() turns false and StopCapture() still works. An object is
// started once; the engine creates a fresh one for every start.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "basekit/eventwrapper.h"
#include "enginetypes.h"

class CResamplerProxy;
class CPulseConnection;
class CPulsePollLoop;
class CPulseRecordStream;

class CAudioDeviceCapture {
public:
    CAudioDeviceCapture();
    ~CAudioDeviceCapture();
    CAudioDeviceCapture(const CAudioDeviceCapture&) = delete;
    CAudioDeviceCapture& operator=(const CAudioDeviceCapture&) = delete;

    // 0; -1 when a sink or a thread is already set; -2 without a resampler.
    int Init(IAudioDeviceCaptureSink* pSink, CResamplerProxy* pResample);
    // deviceName: the friendly name (kept for the logs); endpointId: the
    // source name (microphone) or the sink name (loopback). UTF-8.
    // 0 or a negative code:
    //   -1 no sink, or already started;   -2 name null, or ID null/empty;
    //   -3 server unreachable;            -4 no such source/sink;
    //   -5 stream not created;            -6 the device's sample format unusable;
    //   -7 stream not connected;          -10 resampler refused the format;
    //   -11 thread not created;           -12 stream did not start.
    int StartCapture(bool bIsInputDevice, const char* deviceName, const char* endpointId);
    // Stops and joins the thread, then disconnects the stream; always 0.
    // Not to be called from the sink callback.
    int StopCapture();
    int PauseOrResumeCapture(bool bIsPause);
    bool IsCapturing();
    bool IsInputDevice();

    // The format negotiated with the device (valid after a successful start).
    std::uint32_t GetDeviceSampleRate();
    std::uint32_t GetDeviceChannels();

private:
    // What the capture thread works with, taken under the lock at the start.
    struct Snapshot {
        CPulsePollLoop* pLoop = nullptr;
        CPulseRecordStream* pStream = nullptr;
        bool bIsInputDevice = false;
        std::uint32_t bytesPerSample = 2;
        std::uint32_t channels = 0;
        std::uint32_t sampleRate = 0;
        IAudioDeviceCaptureSink* pSink = nullptr;
        CResamplerProxy* pResample = nullptr;
    };
    struct NativeFormat {
        std::uint32_t rate = 0;
        std::uint32_t channels = 0;
        std::string sourceName;  // the source to record
    };

    // The chain of block times (capture thread only).
    struct TimeChain {
        bool bValid = false;
        std::uint64_t nextNs = 0;  // where the next block is expected to start
    };

    // StartCapture steps; each returns 0 or its negative code.
    int _ConnectServer();
    int _FindDevice(bool bIsInputDevice, const std::string& endpointId, NativeFormat& native);
    int _OpenStream(const NativeFormat& native);
    void _ChooseFormat(const NativeFormat& native);

    void _ThreadMain(Snapshot snap);
    int _StartStream(const Snapshot& snap);
    // Reads and delivers every fragment the stream holds; 0 or negative.
    int _DrainPackets(const Snapshot& snap);
    void _DeliverFragment(const Snapshot& snap, const void* data, std::size_t bytes);
    // The first frame's capture time of a fragment of `bytes`.
    std::uint64_t _CaptureTime(const Snapshot& snap, std::uint64_t readNs, std::size_t bytes);
    // How long before it plays a monitor gets the sound, from a new report
    // of the sink's latency: the largest of the recent reports (see above),
    // at most kMaxSinkLeadUs.
    std::uint64_t _SinkLeadUs(std::uint64_t reportUs);
    static constexpr std::uint64_t kMaxSinkLeadUs = 100 * 1000;
    void _OnOverflow();
    void _ReleaseEndpoint();

    std::mutex m_lock;
    IAudioDeviceCaptureSink* m_pSink = nullptr;
    CResamplerProxy* m_pResample = nullptr;
    std::thread m_hThread;
    CEventWrapper m_stopEvent{true, false};
    CEventWrapper m_startedEvent{true, false};
    CEventWrapper m_pauseEvent{true, false};
    bool m_bCapturing = false;
    std::atomic<bool> m_bThreadEnded{false};
    std::atomic<int> m_nStartResult{0};
    bool m_bIsInputDevice = false;
    std::string m_strDeviceName;
    std::string m_strEndpointId;

    std::unique_ptr<CPulsePollLoop> m_pLoop;             // the object's own loop
    std::unique_ptr<CPulseConnection> m_pConnection;     // its connection to the server
    std::unique_ptr<CPulseRecordStream> m_pStream;       // the record stream
    std::uint32_t m_dwBytesPerSample = 2;
    std::uint32_t m_dwSampleRate = 0;
    std::uint32_t m_dwChannels = 0;
    TimeChain m_timeChain;
    // The last sink latency reports of a monitor (capture thread only).
    std::array<std::uint64_t, 64> m_sinkReportsUs{};
    std::size_t m_nSinkReports = 0;
};
