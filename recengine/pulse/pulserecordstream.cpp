#include "pulserecordstream.h"


#include <pulse/pulseaudio.h>

#include <utility>

CPulseRecordStream::~CPulseRecordStream() {
    if (!m_pStream) return;
    pa_stream_set_state_callback(m_pStream, nullptr, nullptr);
    pa_stream_set_overflow_callback(m_pStream, nullptr, nullptr);
    if (pa_stream_get_state(m_pStream) == PA_STREAM_READY) pa_stream_disconnect(m_pStream);
    pa_stream_unref(m_pStream);
}

bool CPulseRecordStream::Create(const char* name, std::uint32_t rate, std::uint32_t channels) {
    pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, rate, static_cast<std::uint8_t>(channels)};
    pa_channel_map map;
    pa_channel_map_init_auto(&map, sampleSpec.channels, PA_CHANNEL_MAP_DEFAULT);
    m_pStream = pa_stream_new(m_connection.Context(), name, &sampleSpec, &map);
    return m_pStream != nullptr;
}

int CPulseRecordStream::ConnectRecord(const std::string& source, std::uint64_t deadlineUs) {
    const pa_sample_spec* sampleSpec = pa_stream_get_sample_spec(m_pStream);
    pa_buffer_attr attr;
    attr.maxlength = static_cast<std::uint32_t>(pa_usec_to_bytes(kBufferUs, sampleSpec));
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(kFragmentUs, sampleSpec));
    attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY |
                                                      PA_STREAM_INTERPOLATE_TIMING |
                                                      PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(m_pStream, source.c_str(), &attr, flags) < 0) return LastError();
    bool finished = m_connection.Loop().WaitUntil(
        [this] {
            return !PA_STREAM_IS_GOOD(pa_stream_get_state(m_pStream)) ||
                   pa_stream_get_state(m_pStream) == PA_STREAM_READY;
        },
        deadlineUs);
    if (pa_stream_get_state(m_pStream) == PA_STREAM_READY) return 0;
    int err = finished ? LastError() : int(PA_ERR_TIMEOUT);
    return err != 0 ? err : int(PA_ERR_UNKNOWN);
}

int CPulseRecordStream::Start(std::uint64_t deadlineUs, const std::function<bool()>& stop) {
    struct CorkResult {
        bool done = false;
        bool ok = false;
    } cork;
    pa_operation* op = pa_stream_cork(
        m_pStream, 0,
        [](pa_stream*, int success, void* userdata) {
            auto* r = static_cast<CorkResult*>(userdata);
            r->done = true;
            r->ok = success != 0;
        },
        &cork);
    if (!op) return LastError();
    m_connection.Loop().WaitUntil([&] { return cork.done || stop(); }, deadlineUs);
    if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
    pa_operation_unref(op);
    if (cork.ok) return 0;
    int err = LastError();
    return err != 0 ? err : int(PA_ERR_TIMEOUT);
}

void CPulseRecordStream::SetOverflowCallback(std::function<void()> onOverflow) {
    m_onOverflow = std::move(onOverflow);
    pa_stream_set_overflow_callback(
        m_pStream,
        [](pa_stream*, void* userdata) {
            auto* self = static_cast<CPulseRecordStream*>(userdata);
            if (self->m_onOverflow) self->m_onOverflow();
        },
        this);
}

bool CPulseRecordStream::IsReady() const { return pa_stream_get_state(m_pStream) == PA_STREAM_READY; }

std::size_t CPulseRecordStream::Readable() const { return pa_stream_readable_size(m_pStream); }

bool CPulseRecordStream::Peek(const void*& data, std::size_t& bytes) {
    data = nullptr;
    bytes = 0;
    return pa_stream_peek(m_pStream, &data, &bytes) >= 0;
}

void CPulseRecordStream::Drop() { pa_stream_drop(m_pStream); }

bool CPulseRecordStream::ServerLatencyUs(std::uint64_t& sourceUs, std::uint64_t& sinkUs) const {
    const pa_timing_info* timing = pa_stream_get_timing_info(m_pStream);
    if (!timing) return false;
    sourceUs = timing->source_usec + timing->transport_usec;
    sinkUs = timing->sink_usec;
    return true;
}

int CPulseRecordStream::LastError() const { return pa_context_errno(pa_stream_get_context(m_pStream)); }
