#include "audiodevicecapture.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstring>
#include <system_error>
#include <type_traits>

#include "basekit/logwrapper.h"
#include "basekit/tickcount.h"
#include "resamplerproxy.h"

namespace {

constexpr int kSetupTimeoutMs = 3000;
constexpr int kStartWaitMs = 5000;
constexpr pa_usec_t kBufferUs = 5 * PA_USEC_PER_SEC;      // the stream's maximum length
constexpr pa_usec_t kFragmentUs = 10 * PA_USEC_PER_MSEC;  // one wake-up's worth
constexpr pa_usec_t kPollTimeoutUs = 100 * PA_USEC_PER_MSEC;
constexpr std::uint32_t kEngineRate = 44100;
constexpr std::uint32_t kEngineChannels = 2;
constexpr std::uint32_t kFormatS16 = 1;  // decodekit's signed 16-bit interleaved

// Cuts to at most 127 bytes without splitting a UTF-8 sequence.
std::string CutUtf8(const char* text) {
    std::string s(text);
    if (s.size() > 127) {
        std::size_t n = 127;
        while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
        s.resize(n);
    }
    return s;
}

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

struct DeviceRequest {
    bool done = false;
    bool found = false;
    int error = 0;
    pa_sample_spec sampleSpec{};
    std::string monitorSource;
};

template <class Info>
void OnDeviceInfo(pa_context* c, const Info* info, int eol, void* userdata) {
    auto* req = static_cast<DeviceRequest*>(userdata);
    if (eol < 0) {
        req->error = pa_context_errno(c);
        req->done = true;
    } else if (eol > 0) {
        req->done = true;
    } else if (info) {
        req->found = true;
        req->sampleSpec = info->sample_spec;
        if constexpr (std::is_same_v<Info, pa_sink_info>) {
            if (info->monitor_source_name) req->monitorSource = info->monitor_source_name;
        }
    }
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
    m_strDeviceName = CutUtf8(deviceName);
    if (!endpointId || endpointId[0] == '\0') {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- 0 >= iBufferLen (2)");
        return -2;
    }
    m_strEndpointId = CutUtf8(endpointId);

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
    snap.pLoop = m_pLoop;
    snap.pStream = m_pStream;
    snap.bIsInputDevice = m_bIsInputDevice;
    snap.bytesPerSample = m_dwBytesPerSample;
    snap.channels = m_dwChannels;
    snap.sampleRate = m_dwSampleRate;
    snap.pSink = m_pSink;
    snap.pResample = m_pResample;
    try {
        m_hThread = std::thread(&CAudioDeviceCapture::_ThreadMain, this, snap);
    } catch (const std::system_error&) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- CreateThread fail");
        return -11;
    }
    // The thread starts the stream; wait for its verdict.
    int startResult = PA_ERR_TIMEOUT;
    if (m_startedEvent.TimedWait(CTimeValueWrapper::FromMilliseconds(kStartWaitMs)) == 0) {
        startResult = m_nStartResult.load();
    } else {
        m_stopEvent.Signal();
        pa_mainloop_wakeup(m_pLoop);
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
        pa_mainloop_wakeup(m_pLoop);
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

template <class Done>
bool CAudioDeviceCapture::_IterateUntil(Done done, int timeoutMs) {
    const std::uint64_t deadline = GetTickNs() + static_cast<std::uint64_t>(timeoutMs) * 1000000ULL;
    while (!done()) {
        const std::uint64_t now = GetTickNs();
        if (now >= deadline) return false;
        const std::uint64_t leftUs = (deadline - now) / 1000;
        if (pa_mainloop_prepare(m_pLoop, static_cast<int>(std::min<std::uint64_t>(leftUs, kPollTimeoutUs))) < 0 ||
            pa_mainloop_poll(m_pLoop) < 0 || pa_mainloop_dispatch(m_pLoop) < 0) {
            return done();
        }
    }
    return true;
}

int CAudioDeviceCapture::_ConnectServer() {
    int err = 0;
    m_pLoop = pa_mainloop_new();
    if (m_pLoop) m_pContext = pa_context_new(pa_mainloop_get_api(m_pLoop), "Tolvane capture");
    if (!m_pContext) {
        err = PA_ERR_INTERNAL;
    } else if (pa_context_connect(m_pContext, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        err = pa_context_errno(m_pContext);
    } else {
        bool finished = _IterateUntil(
            [this] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(m_pContext)) ||
                            pa_context_get_state(m_pContext) == PA_CONTEXT_READY; },
            kSetupTimeoutMs);
        if (pa_context_get_state(m_pContext) != PA_CONTEXT_READY) {
            err = finished ? pa_context_errno(m_pContext) : int(PA_ERR_TIMEOUT);
            if (err == 0) err = PA_ERR_CONNECTIONREFUSED;
        }
    }
    if (err != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- MMDeviceEnumerator instance fail, res=" << err);
        return -3;
    }
    return 0;
}

int CAudioDeviceCapture::_FindDevice(bool bIsInputDevice, const std::string& endpointId,
                                     NativeFormat& native) {
    DeviceRequest req;
    pa_operation* op =
        bIsInputDevice
            ? pa_context_get_source_info_by_name(m_pContext, endpointId.c_str(), OnDeviceInfo<pa_source_info>, &req)
            : pa_context_get_sink_info_by_name(m_pContext, endpointId.c_str(), OnDeviceInfo<pa_sink_info>, &req);
    int err = 0;
    if (!op) {
        err = pa_context_errno(m_pContext);
    } else {
        bool finished = _IterateUntil([&] { return req.done; }, kSetupTimeoutMs);
        if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
        pa_operation_unref(op);
        if (!finished) {
            err = PA_ERR_TIMEOUT;
        } else if (!req.found) {
            err = req.error ? req.error : int(PA_ERR_NOENTITY);
        }
    }
    if (err != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- enumerator->GetDevice fail, res=" << err);
        return -4;
    }
    if (!pa_sample_spec_valid(&req.sampleSpec)) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- m_Client->GetMixFormat fail, res=" << int(PA_ERR_INVALID));
        return -6;
    }
    native.rate = req.sampleSpec.rate;
    native.channels = req.sampleSpec.channels;
    if (bIsInputDevice) {
        native.sourceName = endpointId;
    } else {
        native.sourceName = req.monitorSource.empty() ? endpointId + ".monitor" : req.monitorSource;
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
    pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, m_dwSampleRate, static_cast<std::uint8_t>(m_dwChannels)};
    pa_channel_map map;
    pa_channel_map_init_auto(&map, sampleSpec.channels, PA_CHANNEL_MAP_DEFAULT);
    m_pStream = pa_stream_new(m_pContext, m_bIsInputDevice ? "Tolvane microphone" : "Tolvane loopback",
                              &sampleSpec, &map);
    if (!m_pStream) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- m_Device->Activate fail, res=" << pa_context_errno(m_pContext));
        return -5;
    }
    pa_buffer_attr attr;
    attr.maxlength = static_cast<std::uint32_t>(pa_usec_to_bytes(kBufferUs, &sampleSpec));
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(kFragmentUs, &sampleSpec));
    attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
    // Corked until the capture thread runs; never moved to another device,
    // so that a device that goes away ends the capture.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY |
                                                      PA_STREAM_INTERPOLATE_TIMING |
                                                      PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_DONT_MOVE);
    int err = 0;
    if (pa_stream_connect_record(m_pStream, native.sourceName.c_str(), &attr, flags) < 0) {
        err = pa_context_errno(m_pContext);
    } else {
        bool finished = _IterateUntil(
            [this] { return !PA_STREAM_IS_GOOD(pa_stream_get_state(m_pStream)) ||
                            pa_stream_get_state(m_pStream) == PA_STREAM_READY; },
            kSetupTimeoutMs);
        if (pa_stream_get_state(m_pStream) != PA_STREAM_READY) {
            err = finished ? pa_context_errno(m_pContext) : int(PA_ERR_TIMEOUT);
            if (err == 0) err = PA_ERR_UNKNOWN;
        }
    }
    if (err != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- m_Client->Initialize fail, res=" << err);
        return -7;
    }
    return 0;
}

void CAudioDeviceCapture::_ReleaseEndpoint() {
    if (m_pStream) {
        pa_stream_set_state_callback(m_pStream, nullptr, nullptr);
        pa_stream_set_overflow_callback(m_pStream, nullptr, nullptr);
        if (pa_stream_get_state(m_pStream) == PA_STREAM_READY) pa_stream_disconnect(m_pStream);
        pa_stream_unref(m_pStream);
        m_pStream = nullptr;
    }
    if (m_pContext) {
        pa_context_set_state_callback(m_pContext, nullptr, nullptr);
        pa_context_disconnect(m_pContext);
        pa_context_unref(m_pContext);
        m_pContext = nullptr;
    }
    if (m_pLoop) {
        pa_mainloop_free(m_pLoop);
        m_pLoop = nullptr;
    }
}

// ---- the capture thread ----

void CAudioDeviceCapture::_ThreadMain(Snapshot snap) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Thread Working now");
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Thread, bIsInputDevice= " << (snap.bIsInputDevice ? "true" : "false"));
    const int startResult = _StartStream(snap);
    m_nStartResult = startResult;
    m_startedEvent.Signal();
    int result = 0;
    if (startResult != 0) {
        result = -12;
    } else {
        pa_stream_set_overflow_callback(
            snap.pStream,
            [](pa_stream*, void* userdata) {
                static_cast<CAudioDeviceCapture*>(userdata)->_OnOverflow();
            },
            this);
        for (;;) {
            if (m_stopEvent.IsSignaled()) {
                UC_LOG_THIS(CLogWrapper::LOG_INFO, "Thread go stop");
                break;
            }
            // Wakes on stream data, on the stop call's wake-up, or after the poll time-out.
            if (pa_mainloop_prepare(snap.pLoop, static_cast<int>(kPollTimeoutUs)) < 0 ||
                pa_mainloop_poll(snap.pLoop) < 0 || pa_mainloop_dispatch(snap.pLoop) < 0) {
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
                                             << ", error=" << pa_context_errno(pa_stream_get_context(snap.pStream)));
    }
    m_bThreadEnded = true;
}

int CAudioDeviceCapture::_StartStream(const Snapshot& snap) {
    struct CorkResult {
        bool done = false;
        bool ok = false;
    } cork;
    pa_operation* op = pa_stream_cork(
        snap.pStream, 0,
        [](pa_stream*, int success, void* userdata) {
            auto* r = static_cast<CorkResult*>(userdata);
            r->done = true;
            r->ok = success != 0;
        },
        &cork);
    if (!op) return pa_context_errno(pa_stream_get_context(snap.pStream));
    const std::uint64_t deadline = GetTickNs() + static_cast<std::uint64_t>(kSetupTimeoutMs) * 1000000ULL;
    while (!cork.done && !m_stopEvent.IsSignaled() && GetTickNs() < deadline) {
        if (pa_mainloop_prepare(snap.pLoop, static_cast<int>(kPollTimeoutUs)) < 0 ||
            pa_mainloop_poll(snap.pLoop) < 0 || pa_mainloop_dispatch(snap.pLoop) < 0) {
            break;
        }
    }
    if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
    pa_operation_unref(op);
    if (cork.ok) return 0;
    int err = pa_context_errno(pa_stream_get_context(snap.pStream));
    return err != 0 ? err : int(PA_ERR_TIMEOUT);
}

int CAudioDeviceCapture::_DrainPackets(const Snapshot& snap) {
    for (;;) {
        if (pa_stream_get_state(snap.pStream) != PA_STREAM_READY) return -1;
        const std::size_t readable = pa_stream_readable_size(snap.pStream);
        if (readable == static_cast<std::size_t>(-1)) return -1;
        if (readable == 0) return 0;
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(snap.pStream, &data, &bytes) < 0) return -2;
        if (bytes == 0) return 0;
        // A hole (data lost by the server) carries no samples; it is dropped,
        // and the next block is expected after it.
        if (data) {
            _DeliverFragment(snap, data, bytes);
        } else if (m_timeChain.bValid) {
            m_timeChain.nextNs += static_cast<std::uint64_t>(bytes) * 1000000000ULL /
                                  (static_cast<std::uint64_t>(snap.sampleRate) * snap.bytesPerSample * snap.channels);
        }
        pa_stream_drop(snap.pStream);
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
    block.timestampNs = snap.bIsInputDevice ? _MicrophoneTime(snap, block.captureTimeNs, bytes) : GetTickNs();
    if (snap.pResample) {
        // Frames the resampler still holds are older than this fragment.
        const int delayFrames = snap.bIsInputDevice ? snap.pResample->GetDelayFrames() : 0;
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

std::uint64_t CAudioDeviceCapture::_MicrophoneTime(const Snapshot& snap, std::uint64_t readNs,
                                                   std::size_t bytes) {
    const std::uint64_t bytesPerSecond =
        static_cast<std::uint64_t>(snap.sampleRate) * snap.bytesPerSample * snap.channels;
    // Still buffered here from this fragment's first frame on (the fragment
    // stays in the buffer until it is dropped).
    std::size_t buffered = pa_stream_readable_size(snap.pStream);
    if (buffered == static_cast<std::size_t>(-1) || buffered < bytes) buffered = bytes;
    std::uint64_t latencyNs = static_cast<std::uint64_t>(buffered) * 1000000000ULL / bytesPerSecond;
    if (const pa_timing_info* timing = pa_stream_get_timing_info(snap.pStream)) {
        const pa_usec_t serverUs = timing->source_usec + timing->transport_usec;
        if (serverUs < PA_USEC_PER_SEC) latencyNs += serverUs * 1000ULL;
    }
    const std::uint64_t measured = readNs > latencyNs ? readNs - latencyNs : 0;

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

void CAudioDeviceCapture::_OnOverflow() {
    UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- capture buffer overflow, samples lost");
}
