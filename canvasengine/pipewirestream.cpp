#include "pipewirestream.h"

#include <pipewire/pipewire.h>
#include <spa/debug/types.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/type-info.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>

#include "basekit/logwrapper.h"

struct CPipeWireStream::Impl {
    CPipeWireStream* pOwner = nullptr;
    pw_thread_loop* pLoop = nullptr;
    pw_context* pContext = nullptr;
    pw_core* pCore = nullptr;
    pw_stream* pStream = nullptr;
    spa_hook streamListener{};
    spa_hook coreListener{};
    pw_registry* pRegistry = nullptr;
    spa_hook registryListener{};
    std::uint32_t dwNode = 0;
    spa_video_info_raw format{};
    bool bSwapRB = false;
    bool bStreamed = false;  // reached the streaming state once

    std::mutex mutex;  // the picture
    std::condition_variable firstPicture;
    std::vector<std::uint8_t> picture;
    int nWidth = 0;
    int nHeight = 0;

    void Lost(const char* why) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!pOwner->m_bLost.exchange(true)) UC_LOG(CLogWrapper::LOG_WARNING, " --- the screen-cast stream ended: " << why);
        firstPicture.notify_all();
    }

    static void OnStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
        auto* self = static_cast<Impl*>(data);
        if (state == PW_STREAM_STATE_STREAMING) self->bStreamed = true;
        if (state == PW_STREAM_STATE_ERROR) self->Lost(error ? error : "stream error");
        if (state == PW_STREAM_STATE_UNCONNECTED && self->bStreamed) self->Lost("unconnected");
    }

    static void OnParamChanged(void* data, uint32_t id, const spa_pod* param) {
        auto* self = static_cast<Impl*>(data);
        if (!param || id != SPA_PARAM_Format) return;
        spa_video_info info{};
        if (spa_format_parse(param, &info.media_type, &info.media_subtype) < 0 ||
            info.media_type != SPA_MEDIA_TYPE_video || info.media_subtype != SPA_MEDIA_SUBTYPE_raw)
            return;
        if (spa_format_video_raw_parse(param, &info.info.raw) < 0) return;
        self->format = info.info.raw;
        self->bSwapRB = self->format.format == SPA_VIDEO_FORMAT_RGBx || self->format.format == SPA_VIDEO_FORMAT_RGBA;
        UC_LOG(CLogWrapper::LOG_INFO, "screen-cast stream: " << self->format.size.width << "x"
                                                             << self->format.size.height << ", format "
                                                             << self->format.format);
        // Shared memory only: what every compositor's screen cast offers.
        std::uint8_t buffer[256];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        const spa_pod* params[1];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
        pw_stream_update_params(self->pStream, params, 1);
    }

    static void OnProcess(void* data) {
        auto* self = static_cast<Impl*>(data);
        // Only the newest buffer counts; older ones go straight back.
        pw_buffer* newest = nullptr;
        while (pw_buffer* b = pw_stream_dequeue_buffer(self->pStream)) {
            if (newest) pw_stream_queue_buffer(self->pStream, newest);
            newest = b;
        }
        if (!newest) return;
        spa_buffer* buf = newest->buffer;
        const spa_data& d = buf->datas[0];
        const int width = static_cast<int>(self->format.size.width);
        const int height = static_cast<int>(self->format.size.height);
        const bool ok = d.data && d.chunk && d.chunk->size > 0 &&
                        (d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) == 0 && width > 0 && height > 0;
        const int stride = d.chunk ? (d.chunk->stride > 0 ? d.chunk->stride : width * 4) : 0;
        if (ok && static_cast<std::uint64_t>(stride) * (height - 1) + width * 4 + d.chunk->offset <= d.maxsize &&
            stride >= width * 4) {
            const auto* src = static_cast<const std::uint8_t*>(d.data) + d.chunk->offset;
            {
                std::lock_guard<std::mutex> lock(self->mutex);
                self->nWidth = width;
                self->nHeight = height;
                self->picture.resize(static_cast<std::size_t>(width) * 4 * height);
                for (int y = 0; y < height; ++y) {
                    const std::uint8_t* s = src + static_cast<std::ptrdiff_t>(y) * stride;
                    std::uint8_t* o = self->picture.data() + static_cast<std::ptrdiff_t>(y) * width * 4;
                    if (!self->bSwapRB) {
                        std::memcpy(o, s, static_cast<std::size_t>(width) * 4);
                        continue;
                    }
                    for (int x = 0; x < width; ++x, s += 4, o += 4) {
                        o[0] = s[2];
                        o[1] = s[1];
                        o[2] = s[0];
                        o[3] = s[3];
                    }
                }
                self->pOwner->m_nPictures.fetch_add(1);
            }
            self->firstPicture.notify_all();
        }
        pw_stream_queue_buffer(self->pStream, newest);
    }

    // The cast's node leaving (the compositor's cast ended) ends the stream.
    static void OnGlobalRemove(void* data, uint32_t id) {
        auto* self = static_cast<Impl*>(data);
        if (id == self->dwNode) self->Lost("the screen-cast node went away");
    }

    static void OnCoreError(void* data, uint32_t id, int, int res, const char* message) {
        auto* self = static_cast<Impl*>(data);
        if (id == PW_ID_CORE && res == -EPIPE) self->Lost(message ? message : "the remote went away");
    }
};

namespace {
const pw_stream_events kStreamEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = CPipeWireStream::Impl::OnStateChanged;
    e.param_changed = CPipeWireStream::Impl::OnParamChanged;
    e.process = CPipeWireStream::Impl::OnProcess;
    return e;
}();
const pw_registry_events kRegistryEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global_remove = CPipeWireStream::Impl::OnGlobalRemove;
    return e;
}();
const pw_core_events kCoreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.error = CPipeWireStream::Impl::OnCoreError;
    return e;
}();
}  // namespace

CPipeWireStream::CPipeWireStream() : m_pImpl(std::make_unique<Impl>()) { m_pImpl->pOwner = this; }

std::unique_ptr<CPipeWireStream> CPipeWireStream::Connect(int fd, std::uint32_t node, std::string& error) {
    pw_init(nullptr, nullptr);
    std::unique_ptr<CPipeWireStream> stream(new CPipeWireStream());
    Impl& p = *stream->m_pImpl;
    p.pLoop = pw_thread_loop_new("tolvane-screencast", nullptr);
    if (!p.pLoop) {
        if (fd >= 0) ::close(fd);
        error = "no PipeWire loop";
        return nullptr;
    }
    pw_thread_loop_lock(p.pLoop);
    p.pContext = pw_context_new(pw_thread_loop_get_loop(p.pLoop), nullptr, 0);
    if (p.pContext)
        p.pCore = fd >= 0 ? pw_context_connect_fd(p.pContext, fd, nullptr, 0) : pw_context_connect(p.pContext, nullptr, 0);
    if (!p.pCore) {
        if (!p.pContext && fd >= 0) ::close(fd);
        pw_thread_loop_unlock(p.pLoop);
        error = fd >= 0 ? "cannot connect to the portal's PipeWire remote" : "cannot connect to PipeWire";
        return nullptr;
    }
    pw_core_add_listener(p.pCore, &p.coreListener, &kCoreEvents, &p);
    p.dwNode = node;
    p.pRegistry = pw_core_get_registry(p.pCore, PW_VERSION_REGISTRY, 0);
    if (p.pRegistry) pw_registry_add_listener(p.pRegistry, &p.registryListener, &kRegistryEvents, &p);
    p.pStream = pw_stream_new(p.pCore, "tolvane-screen",
                              pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!p.pStream) {
        pw_thread_loop_unlock(p.pLoop);
        error = "no PipeWire stream";
        return nullptr;
    }
    pw_stream_add_listener(p.pStream, &p.streamListener, &kStreamEvents, &p);
    std::uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    const spa_rectangle defSize = SPA_RECTANGLE(1280, 720), minSize = SPA_RECTANGLE(1, 1),
                        maxSize = SPA_RECTANGLE(8192, 8192);
    const spa_fraction defRate = SPA_FRACTION(30, 1), minRate = SPA_FRACTION(0, 1), maxRate = SPA_FRACTION(240, 1);
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                               SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defSize, &minSize, &maxSize),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&defRate, &minRate, &maxRate)));
    const int rv = pw_stream_connect(p.pStream, PW_DIRECTION_INPUT, node,
                                     static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
                                     params, 1);
    pw_thread_loop_unlock(p.pLoop);
    if (rv < 0) {
        error = std::string("cannot connect to the screen-cast node: ") + std::strerror(-rv);
        return nullptr;
    }
    if (pw_thread_loop_start(p.pLoop) < 0) {
        error = "cannot start the PipeWire loop";
        return nullptr;
    }
    return stream;
}

CPipeWireStream::~CPipeWireStream() {
    Impl& p = *m_pImpl;
    if (!p.pLoop) return;
    pw_thread_loop_stop(p.pLoop);
    if (p.pStream) pw_stream_destroy(p.pStream);
    if (p.pRegistry) {
        spa_hook_remove(&p.registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(p.pRegistry));
    }
    if (p.pCore) {
        spa_hook_remove(&p.coreListener);
        pw_core_disconnect(p.pCore);
    }
    if (p.pContext) pw_context_destroy(p.pContext);
    pw_thread_loop_destroy(p.pLoop);
}

bool CPipeWireStream::WaitFirstPicture(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_pImpl->mutex);
    return m_pImpl->firstPicture.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                          [this] { return m_nPictures.load() > 0 || m_bLost.load(); }) &&
           m_nPictures.load() > 0;
}

bool CPipeWireStream::UseLatest(const std::function<void(const std::uint8_t*, int, int, int)>& use) {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    if (m_pImpl->picture.empty()) return false;
    use(m_pImpl->picture.data(), m_pImpl->nWidth, m_pImpl->nHeight, m_pImpl->nWidth * 4);
    return true;
}
