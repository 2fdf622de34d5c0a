#include "audiodevicecapture.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <system_error>

#include "basekit/logwrapper.h"
#include "basekit/tickcount.h"
#include "pulse/pulseconnection.h"
#include "pulse/pulseloop.h"
#include "pulse/pulserecordstream.h"
#include "resamplerproxy.h"

namespace {

constexpr std::uint64_t kSetupTimeoutUs = 3000 * 1000;
constexpr int kStartWaitMs = 5000;
constexpr std::uint64_t kPollTimeoutUs = CPulsePollLoop::kPollTimeoutUs;
constexpr std::uint32_t kEngineRate = 44100;
constexpr std::uint32_t kEngineChannels = 2;
constexpr std::uint32_t kFormatS16 = 1;  // decodekit's signed 16-bit interleaved

// The rate and channel search: the first combination the device takes as it
// is (its own rate; its channel count, or stereo from a device with more
// channels, which the server folds down). A device whose rate is none of the
// candidates is recorded at its own rate, mono or stereo.
void SearchFormat(std::uint32_t nativeRate, std::uint32_t nativeChannels, std::uint32_t& rate,
                  std::uint32_t& channels) {
    static const std::uint32_t kRates[] = {48000, 44100, 16000, 96000, 32000, 8000};
    static const std::uint32_t kChannels[] = {2, 1};
    for (std::uint32_t r : kRates) {
        for (std::uint32_t c : kChannels) {
            if (r == nativeRate && (c == nativeChannels || (c == 2 && nativeChannels > 2))) {
                rate = r;
                channels = c;
                return;
            }
        }
    }
    rate = nativeRate;
    channels = nativeChannels >= 2 ? 2 : 1;
}

}  // namespace

CAudioDeviceCapture::CAudioDeviceCapture() = default;

CAudioDeviceCapture::~CAudioDeviceCapture() {
    bool bThread;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        bThread = m_hThread.joinable();
    }
    if (bThread) StopCapture();
    std::lock_guard<std::mutex> lock(m_lock);
    _ReleaseEndpoint();
}

int CAudioDeviceCapture::Init(IAudioDeviceCaptureSink* pSink, CResamplerProxy* pResample) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry");
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pSink || m_hThread.joinable()) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- NULL != m_pSink || NULL != m_hThread");
        return -1;
    }
    if (!pResample) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- NULL == pResample");
        return -2;
    }
    m_pSink = pSink;
    m_pResample = pResample;
    return 0;
}

int CAudioDeviceCapture::StartCapture(bool bIsInputDevice, const char* deviceName,
                                      const char* endpointId) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry");
    std::lock_guard<std::mutex> lock(m_lock);
    // An object is started once: a second start would orphan the first thread.
    if (!m_pSink || m_hThread.joinable() || m_pLoop) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- NULL != m_pSink || NULL != m_hThread");
        return -1;
    }
    if (!deviceName) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- 0 > iBufferLen (1)");
        return -2;
    }
    m_strDeviceName = CutDeviceText(deviceName);
    if (!endpointId || endpointId[0] == '\0') {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- 0 >= iBufferLen (2)");
        return -2;
    }
    m_strEndpointId = CutDeviceText(endpointId);

    int rv = _ConnectServer();
    if (rv != 0) return rv;
    NativeFormat native;
    rv = _FindDevice(bIsInputDevice, m_strEndpointId, native);
    if (rv != 0) return rv;
    m_dwBytesPerSample = 2;
    _ChooseFormat(native);
    m_bIsInputDevice = bIsInputDevice;
    rv = _OpenStream(native);
    if (rv != 0) return rv;

    if (!m_pResample->Init(m_dwChannels, kFormatS16, m_dwSampleRate, kEngineChannels, kFormatS16,
                           kEngineRate)) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- m_pResample init fail");
        return -10;
    }

    Snapshot snap;
    snap.pLoop = m_pLoop.get();
    snap.pStream = m_pStream.get();
    snap.bIsInputDevice = m_bIsInputDevice;
    snap.bytesPerSample = m_dwBytesPerSample;
    snap.channels = m_dwChannels;
    snap.sampleRate = m_dwSampleRate;
    snap.pSink = m_pSink;
    snap.pResample = m_pResample;
    try {
        m_hThread = std::thread(&CAudioDeviceCapture::_ThreadMain, this, snap);
        pthread_setname_np(m_hThread.native_handle(), m_bIsInputDevice ? "tv-mic" : "tv-loopback");
    } catch (const std::system_error&) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- CreateThread fail");
        return -11;
    }
    // The thread starts the stream; wait for its verdict.
    int startResult = PULSE_ERR_TIMEOUT;
    if (m_startedEvent.TimedWait(CTimeValueWrapper::FromMilliseconds(kStartWaitMs)) == 0) {
        startResult = m_nStartResult.load();
    } else {
        m_stopEvent.Signal();
        m_pLoop->Wakeup();
    }
    if (startResult != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- m_Client->Start fail, res=" << startResult);
        return -12;
    }
    m_bCapturing = true;
    return 0;
}

int CAudioDeviceCapture::StopCapture() {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry");
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_bCapturing = false;
        if (!m_hThread.joinable()) return 0;
        thread = std::move(m_hThread);
        m_stopEvent.Signal();
        m_pLoop->Wakeup();
    }
    // Without the lock: the sink callback may ask this object questions.
    thread.join();
    std::lock_guard<std::mutex> lock(m_lock);
    _ReleaseEndpoint();
    return 0;
}

int CAudioDeviceCapture::PauseOrResumeCapture(bool bIsPause) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry, bIsPause= " << (bIsPause ? 1 : 0));
    std::lock_guard<std::mutex> lock(m_lock);
    if (bIsPause) {
        m_pauseEvent.Signal();
    } else {
        m_pauseEvent.Reset();
    }
    return 0;
}

bool CAudioDeviceCapture::IsCapturing() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_hThread.joinable() && !m_bThreadEnded.load();
}

bool CAudioDeviceCapture::IsInputDevice() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_bIsInputDevice;
}

std::uint32_t CAudioDeviceCapture::GetDeviceSampleRate() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_dwSampleRate;
}

std::uint32_t CAudioDeviceCapture::GetDeviceChannels() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_dwChannels;
}

// ---- opening the endpoint (caller's thread, lock held) ----

int CAudioDeviceCapture::_ConnectServer() {
    int err = 0;
    m_pLoop = std::make_unique<CPulsePollLoop>();
    if (!m_pLoop->Create()) {
        err = PULSE_ERR_INTERNAL;
    } else {
        m_pConnection = std::make_unique<CPulseConnection>(*m_pLoop, "Tolvane capture");
        err = m_pConnection->Connect(CPulseLoop::DeadlineIn(kSetupTimeoutUs));
    }
    if (err != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- MMDeviceEnumerator instance fail, res=" << err);
        return -3;
    }
    return 0;
}

int CAudioDeviceCapture::_FindDevice(bool bIsInputDevice, const std::string& endpointId,
                                     NativeFormat& native) {
    CPulseConnection::EndpointFormat format;
    int err = m_pConnection->GetEndpointFormat(bIsInputDevice, endpointId,
                                               CPulseLoop::DeadlineIn(kSetupTimeoutUs), format);
    if (err != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- enumerator->GetDevice fail, res=" << err);
        return -4;
    }
    if (!format.bValidSpec) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- m_Client->GetMixFormat fail, res=" << int(PULSE_ERR_INVALID));
        return -6;
    }
    native.rate = format.rate;
    native.channels = format.channels;
    if (bIsInputDevice) {
        native.sourceName = endpointId;
    } else {
        native.sourceName = format.monitorSource.empty() ? endpointId + ".monitor" : format.monitorSource;
    }
    return 0;
}

void CAudioDeviceCapture::_ChooseFormat(const NativeFormat& native) {
    SearchFormat(native.rate, native.channels, m_dwSampleRate, m_dwChannels);
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "device format rate= " << native.rate << ", channels= " << native.channels
                                        << ", capture rate= " << m_dwSampleRate
                                        << ", channels= " << m_dwChannels);
}

int CAudioDeviceCapture::_OpenStream(const NativeFormat& native) {
    m_pStream = std::make_unique<CPulseRecordStream>(*m_pConnection);
    if (!m_pStream->Create(m_bIsInputDevice ? "Tolvane microphone" : "Tolvane loopback", m_dwSampleRate,
                           m_dwChannels)) {
        m_pStream.reset();
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- m_Device->Activate fail, res=" << m_pConnection->ContextError());
        return -5;
    }
    // Corked until the capture thread runs; never moved to another device,
    // so that a device that goes away ends the capture.
    int err = m_pStream->ConnectRecord(native.sourceName, CPulseLoop::DeadlineIn(kSetupTimeoutUs));
    if (err != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- m_Client->Initialize fail, res=" << err);
        return -7;
    }
    return 0;
}

void CAudioDeviceCapture::_ReleaseEndpoint() {
    m_pStream.reset();
    m_pConnection.reset();
    m_pLoop.reset();
}

// ---- the capture thread ----

void CAudioDeviceCapture::_ThreadMain(Snapshot snap) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Thread Working now");
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Thread, bIsInputDevice= " << TrueFalse(snap.bIsInputDevice));
    const int startResult = _StartStream(snap);
    m_nStartResult = startResult;
    m_startedEvent.Signal();
    int result = 0;
    if (startResult != 0) {
        result = -12;
    } else {
        snap.pStream->SetOverflowCallback([this] { _OnOverflow(); });
        for (;;) {
            if (m_stopEvent.IsSignaled()) {
                UC_LOG_THIS(CLogWrapper::LOG_INFO, "Thread go stop");
                break;
            }
            // Wakes on stream data, on the stop call's wake-up, or after the poll time-out.
            if (!snap.pLoop->Iterate(kPollTimeoutUs)) {
                result = -21;
                break;
            }
            int rv = _DrainPackets(snap);
            if (rv < 0) {
                result = rv - 20;
                break;
            }
        }
    }
    if (result != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- capture thread ends, result=" << result
                                             << ", error=" << snap.pStream->LastError());
    }
    m_bThreadEnded = true;
}

int CAudioDeviceCapture::_StartStream(const Snapshot& snap) {
    return snap.pStream->Start(CPulseLoop::DeadlineIn(kSetupTimeoutUs),
                               [this] { return m_stopEvent.IsSignaled(); });
}

int CAudioDeviceCapture::_DrainPackets(const Snapshot& snap) {
    for (;;) {
        if (!snap.pStream->IsReady()) return -1;
        const std::size_t readable = snap.pStream->Readable();
        if (readable == static_cast<std::size_t>(-1)) return -1;
        if (readable == 0) return 0;
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (!snap.pStream->Peek(data, bytes)) return -2;
        if (bytes == 0) return 0;
        // A hole (data lost by the server) carries no samples; it is dropped,
        // and the next block is expected after it.
        if (data) {
            _DeliverFragment(snap, data, bytes);
        } else if (m_timeChain.bValid) {
            m_timeChain.nextNs += static_cast<std::uint64_t>(bytes) * 1000000000ULL /
                                  (static_cast<std::uint64_t>(snap.sampleRate) * snap.bytesPerSample * snap.channels);
        }
        snap.pStream->Drop();
    }
}

void CAudioDeviceCapture::_DeliverFragment(const Snapshot& snap, const void* data, std::size_t bytes) {
    CapturedAudioBlock block;
    block.channels = snap.channels;
    block.bytesPerSample = snap.bytesPerSample;
    block.bIsInputDevice = snap.bIsInputDevice;
    block.deviceSampleRate = snap.sampleRate;
    block.sampleRate = snap.sampleRate;
    block.captureTimeNs = GetTickNs();
    const std::uint32_t frameBytes = snap.bytesPerSample * snap.channels;
    block.frames = static_cast<std::uint32_t>(bytes / frameBytes);
    block.byteLength = block.frames * frameBytes;
    block.data = static_cast<const std::uint8_t*>(data);
    block.timestampNs = _CaptureTime(snap, block.captureTimeNs, bytes);
    if (snap.pResample) {
        // Frames the resampler still holds are older than this fragment.
        const int delayFrames = snap.pResample->GetDelayFrames();
        std::uint32_t outBytes = 0;
        const std::uint8_t* outData = nullptr;
        snap.pResample->Resample(block.byteLength, block.data, &outBytes, &outData);
        if (!outData) return;
        block.sampleRate = kEngineRate;
        block.bytesPerSample = 2;
        block.channels = kEngineChannels;
        block.frames = outBytes / 4;
        block.data = outData;
        block.byteLength = outBytes;
        if (delayFrames > 0) {
            block.timestampNs -= static_cast<std::uint64_t>(delayFrames) * 1000000000ULL / kEngineRate;
        }
    }
    // The resampler may keep a whole small fragment back; nothing to hand over then.
    if (block.frames == 0) return;
    if (!m_pauseEvent.IsSignaled() && snap.pSink) snap.pSink->OnAudioCaptured(this, &block);
}

std::uint64_t CAudioDeviceCapture::_CaptureTime(const Snapshot& snap, std::uint64_t readNs,
                                                std::size_t bytes) {
    const std::uint64_t bytesPerSecond =
        static_cast<std::uint64_t>(snap.sampleRate) * snap.bytesPerSample * snap.channels;
    // Still buffered here from this fragment's first frame on (the fragment
    // stays in the buffer until it is dropped).
    std::size_t buffered = snap.pStream->Readable();
    if (buffered == static_cast<std::size_t>(-1) || buffered < bytes) buffered = bytes;
    std::int64_t latencyNs = static_cast<std::int64_t>(static_cast<std::uint64_t>(buffered) * 1000000000ULL /
                                                       bytesPerSecond);
    // The server's part; a report beyond a second is not believed.
    std::uint64_t sourceUs = 0;
    std::uint64_t sinkUs = 0;
    if (snap.pStream->ServerLatencyUs(sourceUs, sinkUs) && sourceUs < 1000000ULL && sinkUs < 1000000ULL) {
        latencyNs += static_cast<std::int64_t>(sourceUs) * 1000;
        latencyNs -= static_cast<std::int64_t>(_SinkLeadUs(sinkUs)) * 1000;
    }
    // On a monitor the sound may be read before it plays: the capture time
    // (when it plays) may then lie after the read.
    const std::uint64_t measured =
        latencyNs >= 0 ? (readNs > static_cast<std::uint64_t>(latencyNs) ? readNs - latencyNs : 0)
                       : readNs + static_cast<std::uint64_t>(-latencyNs);

    constexpr std::uint64_t kResyncNs = 50000000ULL;
    std::uint64_t estimate = measured;
    TimeChain& chain = m_timeChain;
    if (chain.bValid) {
        const std::uint64_t expected = chain.nextNs;
        if (measured < expected && expected - measured <= kResyncNs) {
            estimate = expected - (expected - measured) / 4;
        } else if (measured >= expected && measured - expected <= kResyncNs) {
            estimate = expected + (measured - expected) / 32;
        }
    }
    chain.bValid = true;
    chain.nextNs = estimate + static_cast<std::uint64_t>(bytes) * 1000000000ULL / bytesPerSecond;
    return estimate;
}

std::uint64_t CAudioDeviceCapture::_SinkLeadUs(std::uint64_t reportUs) {
    m_sinkReportsUs[m_nSinkReports++ % m_sinkReportsUs.size()] = reportUs;
    const auto end = m_sinkReportsUs.begin() +
                     static_cast<std::ptrdiff_t>(std::min<std::size_t>(m_nSinkReports, m_sinkReportsUs.size()));
    return std::min<std::uint64_t>(*std::max_element(m_sinkReportsUs.begin(), end), kMaxSinkLeadUs);
}

void CAudioDeviceCapture::_OnOverflow() {
    UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- capture buffer overflow, samples lost");
}
