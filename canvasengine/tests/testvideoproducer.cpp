#include "testvideoproducer.h"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>

#include <chrono>
#include <cstring>
#include <thread>

struct CTestVideoProducer::Impl {
    CTestVideoProducer* pOwner = nullptr;
    pw_thread_loop* pLoop = nullptr;
    pw_context* pContext = nullptr;
    pw_core* pCore = nullptr;
    pw_stream* pStream = nullptr;
    spa_hook listener{};
    spa_source* pTimer = nullptr;
    int nWidth = 0;
    int nHeight = 0;

    static void OnProcess(void* data) {
        auto* self = static_cast<Impl*>(data);
        pw_buffer* b = pw_stream_dequeue_buffer(self->pStream);
        if (!b) return;
        spa_data& d = b->buffer->datas[0];
        const int stride = self->nWidth * 4;
        if (d.data && d.maxsize >= static_cast<std::uint32_t>(stride * self->nHeight)) {
            auto* bits = static_cast<std::uint8_t*>(d.data);
            for (int y = 0; y < self->nHeight; ++y)
                for (int x = 0; x < self->nWidth; ++x) {
                    const int q = (y >= self->nHeight / 2 ? 2 : 0) + (x >= self->nWidth / 2 ? 1 : 0);
                    const std::uint32_t rgb = self->pOwner->m_quadrants[q].load();
                    std::uint8_t* p = bits + y * stride + x * 4;
                    p[0] = rgb & 0xFF;
                    p[1] = (rgb >> 8) & 0xFF;
                    p[2] = (rgb >> 16) & 0xFF;
                    p[3] = 0xFF;
                }
            d.chunk->offset = 0;
            d.chunk->stride = stride;
            d.chunk->size = stride * self->nHeight;
            self->pOwner->m_nProduced.fetch_add(1);
        }
        pw_stream_queue_buffer(self->pStream, b);
    }

    static void OnState(void* data, pw_stream_state, pw_stream_state state, const char*) {
        auto* self = static_cast<Impl*>(data);
        if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING)
            self->pOwner->m_dwNode.store(pw_stream_get_node_id(self->pStream));
    }

    static void OnParamChanged(void* data, uint32_t id, const spa_pod* param) {
        auto* self = static_cast<Impl*>(data);
        if (!param || id != SPA_PARAM_Format) return;
        std::uint8_t buffer[256];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        const spa_pod* params[1];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
            SPA_POD_Int(self->nWidth * 4 * self->nHeight), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(self->nWidth * 4),
            SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd)));
        pw_stream_update_params(self->pStream, params, 1);
    }

    static void OnTimer(void* data, uint64_t) {
        auto* self = static_cast<Impl*>(data);
        pw_stream_trigger_process(self->pStream);
    }
};

namespace {
const pw_stream_events kEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = CTestVideoProducer::Impl::OnState;
    e.param_changed = CTestVideoProducer::Impl::OnParamChanged;
    e.process = CTestVideoProducer::Impl::OnProcess;
    return e;
}();
}  // namespace

CTestVideoProducer::CTestVideoProducer() : m_pImpl(std::make_unique<Impl>()), m_dwNode(SPA_ID_INVALID) {
    m_pImpl->pOwner = this;
}

CTestVideoProducer::~CTestVideoProducer() {
    Stop();
    if (m_pImpl->pLoop) pw_thread_loop_destroy(m_pImpl->pLoop);
}

bool CTestVideoProducer::Start(int fd, int width, int height, std::string& why) {
    pw_init(nullptr, nullptr);
    Impl& p = *m_pImpl;
    p.nWidth = width;
    p.nHeight = height;
    if (fd < 0) {
        why = "cannot connect to PipeWire";
        return false;
    }
    p.pLoop = pw_thread_loop_new("test-producer", nullptr);
    pw_thread_loop_lock(p.pLoop);
    p.pContext = pw_context_new(pw_thread_loop_get_loop(p.pLoop), nullptr, 0);
    p.pCore = pw_context_connect_fd(p.pContext, fd, nullptr, 0);
    p.pStream = pw_stream_new(p.pCore, "tolvane-test-screen",
                              pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_TYPE, "Video",
                                                PW_KEY_MEDIA_CATEGORY, "Source", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    pw_stream_add_listener(p.pStream, &p.listener, &kEvents, &p);
    std::uint8_t buffer[512];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    const spa_rectangle size = SPA_RECTANGLE(static_cast<uint32_t>(width), static_cast<uint32_t>(height));
    const spa_fraction rate = SPA_FRACTION(30, 1);
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_Id(SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
    const int rv = pw_stream_connect(
        p.pStream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
        params, 1);
    p.pTimer = pw_loop_add_timer(pw_thread_loop_get_loop(p.pLoop), Impl::OnTimer, &p);
    timespec interval{0, 33333333};
    pw_loop_update_timer(pw_thread_loop_get_loop(p.pLoop), p.pTimer, &interval, &interval, false);
    pw_thread_loop_unlock(p.pLoop);
    if (rv < 0 || pw_thread_loop_start(p.pLoop) < 0) {
        why = "cannot start the test video stream";
        return false;
    }
    for (int i = 0; i < 200 && m_dwNode.load() == SPA_ID_INVALID; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (m_dwNode.load() == SPA_ID_INVALID) {
        why = "the test video stream got no node";
        return false;
    }
    return true;
}

void CTestVideoProducer::SetQuadrants(const std::array<std::uint32_t, 4>& rgb) {
    for (int i = 0; i < 4; ++i) m_quadrants[i].store(rgb[i]);
}

void CTestVideoProducer::Stop() {
    Impl& p = *m_pImpl;
    if (!p.pLoop) return;
    pw_thread_loop_stop(p.pLoop);
    if (p.pTimer) pw_loop_destroy_source(pw_thread_loop_get_loop(p.pLoop), p.pTimer);
    if (p.pStream) pw_stream_destroy(p.pStream);
    if (p.pCore) pw_core_disconnect(p.pCore);
    if (p.pContext) pw_context_destroy(p.pContext);
    p.pTimer = nullptr;
    p.pStream = nullptr;
    p.pCore = nullptr;
    p.pContext = nullptr;
}
