#include "support/pulseplayer.h"

#include <pulse/pulseaudio.h>

#include <algorithm>

#include "basekit/tickcount.h"

namespace {

class CLoop {
public:
    CLoop() : m_pLoop(pa_mainloop_new()) {}
    ~CLoop() {
        if (m_pStream) {
            pa_stream_disconnect(m_pStream);
            pa_stream_unref(m_pStream);
        }
        if (m_pContext) {
            pa_context_disconnect(m_pContext);
            pa_context_unref(m_pContext);
        }
        if (m_pLoop) pa_mainloop_free(m_pLoop);
    }
    CLoop(const CLoop&) = delete;
    CLoop& operator=(const CLoop&) = delete;

    // Runs the loop until `done` or `timeoutMs`; true when done.
    template <class Done>
    bool RunUntil(Done done, int timeoutMs) {
        const std::uint64_t deadline = GetTickNs() + static_cast<std::uint64_t>(timeoutMs) * 1000000ULL;
        while (!done()) {
            if (GetTickNs() >= deadline) return false;
            if (pa_mainloop_prepare(m_pLoop, 20000) < 0 || pa_mainloop_poll(m_pLoop) < 0 ||
                pa_mainloop_dispatch(m_pLoop) < 0) {
                return done();
            }
        }
        return true;
    }

    pa_mainloop* m_pLoop;
    pa_context* m_pContext = nullptr;
    pa_stream* m_pStream = nullptr;
};

bool WaitOperation(CLoop& loop, pa_operation* op, int timeoutMs) {
    if (!op) return false;
    bool done = loop.RunUntil([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }, timeoutMs);
    if (!done) pa_operation_cancel(op);
    bool ok = pa_operation_get_state(op) == PA_OPERATION_DONE;
    pa_operation_unref(op);
    return ok;
}

}  // namespace

CPulsePlayer::Result CPulsePlayer::Play(const std::string& sinkName, const std::vector<std::int16_t>& pcm,
                                        unsigned rate, unsigned channels, unsigned leadInMs) {
    Result result;
    CLoop loop;
    if (!loop.m_pLoop) {
        result.error = "no mainloop";
        return result;
    }
    loop.m_pContext = pa_context_new(pa_mainloop_get_api(loop.m_pLoop), "Tolvane test player");
    if (!loop.m_pContext ||
        pa_context_connect(loop.m_pContext, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        !loop.RunUntil([&] { return pa_context_get_state(loop.m_pContext) == PA_CONTEXT_READY ||
                                    !PA_CONTEXT_IS_GOOD(pa_context_get_state(loop.m_pContext)); },
                       5000) ||
        pa_context_get_state(loop.m_pContext) != PA_CONTEXT_READY) {
        result.error = "cannot connect";
        return result;
    }
    pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, rate, static_cast<std::uint8_t>(channels)};
    loop.m_pStream = pa_stream_new(loop.m_pContext, "Tolvane test playback", &sampleSpec, nullptr);
    if (!loop.m_pStream) {
        result.error = "cannot create the stream";
        return result;
    }
    pa_buffer_attr attr;
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(50 * PA_USEC_PER_MSEC, &sampleSpec));
    attr.prebuf = attr.minreq = attr.fragsize = static_cast<std::uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
                                                      PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_playback(loop.m_pStream, sinkName.c_str(), &attr, flags, nullptr, nullptr) < 0 ||
        !loop.RunUntil([&] { return pa_stream_get_state(loop.m_pStream) == PA_STREAM_READY ||
                                    !PA_STREAM_IS_GOOD(pa_stream_get_state(loop.m_pStream)); },
                       5000) ||
        pa_stream_get_state(loop.m_pStream) != PA_STREAM_READY) {
        result.error = "cannot connect the stream to " + sinkName;
        return result;
    }

    // The whole buffer goes to the server at once, so that playback never
    // runs dry and the stream clock maps onto the engine clock throughout.
    const std::size_t leadInFrames = static_cast<std::size_t>(rate) * leadInMs / 1000;
    const std::size_t tailFrames = rate / 10;
    std::vector<std::int16_t> buffer((leadInFrames + tailFrames) * channels + pcm.size(), 0);
    std::copy(pcm.begin(), pcm.end(), buffer.begin() + static_cast<std::ptrdiff_t>(leadInFrames * channels));
    if (pa_stream_write(loop.m_pStream, buffer.data(), buffer.size() * sizeof(std::int16_t), nullptr, 0,
                        PA_SEEK_RELATIVE) < 0) {
        result.error = "write failed";
        return result;
    }
    // Once playback runs, read the stream time on fresh timing data.
    const pa_usec_t leadInUs = static_cast<pa_usec_t>(leadInFrames) * PA_USEC_PER_SEC / rate;
    loop.RunUntil([&] {
        pa_usec_t t = 0;
        return pa_stream_get_time(loop.m_pStream, &t) == 0 && t >= 50 * PA_USEC_PER_MSEC;
    }, 5000);
    if (!WaitOperation(loop, pa_stream_update_timing_info(loop.m_pStream, nullptr, nullptr), 2000)) {
        result.error = "no timing data";
        return result;
    }
    pa_usec_t playedUs = 0;
    const std::uint64_t now = GetTickNs();
    if (pa_stream_get_time(loop.m_pStream, &playedUs) != 0) {
        result.error = "no stream time";
        return result;
    }
    result.firstFrameNs = now + (static_cast<std::int64_t>(leadInUs) - static_cast<std::int64_t>(playedUs)) * 1000;

    const int playMs = static_cast<int>(buffer.size() / channels * 1000 / rate);
    if (!WaitOperation(loop, pa_stream_drain(loop.m_pStream, nullptr, nullptr), playMs + 5000)) {
        result.error = "drain failed";
        return result;
    }
    result.ok = true;
    return result;
}
