#include "audiodeviceenum.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "basekit/logwrapper.h"
#include "basekit/messagequeue.h"

namespace {

constexpr std::uint64_t kQueryTimeoutUs = 3 * PA_USEC_PER_SEC;
constexpr std::uint64_t kFirstReconnectDelayUs = PA_USEC_PER_SEC;
constexpr std::uint64_t kMaxReconnectDelayUs = 8 * PA_USEC_PER_SEC;

// Copies `src` into a 128-byte field, cut to at most 127 bytes without
// splitting a UTF-8 sequence.
void CopyCut(char (&dst)[128], const std::string& src) {
    std::size_t n = std::min<std::size_t>(src.size(), sizeof(dst) - 1);
    if (n < src.size()) {
        while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80) --n;
    }
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

timeval WallClockIn(std::uint64_t usec) {
    timeval tv{};
    pa_gettimeofday(&tv);
    pa_timeval_add(&tv, usec);
    return tv;
}

}  // namespace

// The sink and the queue of the Init thread. Shared with the messages in
// flight, so that a message that runs after the enumerator is gone finds no
// sink instead of a dead object.
class CAudioDeviceEnum::CNotifyTarget : public std::enable_shared_from_this<CNotifyTarget> {
public:
    void SetSink(IDeviceChangedSink* pSink) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_pSink = pSink;
    }
    void SetQueue(std::shared_ptr<CMessageQueue> pQueue) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_pQueue = std::move(pQueue);
    }
    void Detach() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_pSink = nullptr;
        m_pQueue.reset();
    }
    // Any thread: one OnDeviceChanged, later, on the queue's thread.
    void Post() {
        std::shared_ptr<CMessageQueue> pQueue;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            pQueue = m_pQueue;
        }
        if (pQueue) {
            pQueue->Post([self = shared_from_this()] { self->OnDeviceChange(); });
        }
    }

private:
    void OnDeviceChange() {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry");
        IDeviceChangedSink* pSink;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            pSink = m_pSink;
        }
        if (pSink) pSink->OnDeviceChanged();
    }

    std::mutex m_lock;
    IDeviceChangedSink* m_pSink = nullptr;
    std::shared_ptr<CMessageQueue> m_pQueue;
};

namespace {

// One info-list query in flight; lives on the caller's stack, so the query
// is cancelled before the caller returns.
struct ListRequest {
    pa_threaded_mainloop* mainloop;
    bool bInput;
    std::vector<std::pair<std::string, std::string>> found;  // id, friendly name
    bool done = false;
    int error = 0;
};

struct ServerInfoRequest {
    pa_threaded_mainloop* mainloop;
    bool bInput;
    std::string defaultName;
    bool done = false;
};

template <class Info>
void CollectEndpoint(pa_context* c, const Info* info, int eol, void* userdata, bool bMonitor) {
    auto* req = static_cast<ListRequest*>(userdata);
    if (eol < 0) {
        req->error = pa_context_errno(c);
        req->done = true;
    } else if (eol > 0) {
        req->done = true;
    } else if (info && !bMonitor) {
        req->found.emplace_back(info->name ? info->name : "",
                                info->description ? info->description : (info->name ? info->name : ""));
    }
    pa_threaded_mainloop_signal(req->mainloop, 0);
}

}  // namespace

CAudioDeviceEnum::CAudioDeviceEnum() : m_pTarget(std::make_shared<CNotifyTarget>()) {}

CAudioDeviceEnum::~CAudioDeviceEnum() {
    m_pTarget->Detach();
    if (m_mmEnumerator) {
        pa_threaded_mainloop_lock(m_mmEnumerator);
        m_bShutdown = true;
        _CancelReconnectLocked();
        _DropContextLocked();
        pa_threaded_mainloop_unlock(m_mmEnumerator);
        pa_threaded_mainloop_stop(m_mmEnumerator);
        pa_threaded_mainloop_free(m_mmEnumerator);
        m_mmEnumerator = nullptr;
    }
}

bool CAudioDeviceEnum::Init(IDeviceChangedSink* pSink) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry");
    m_pTarget->SetSink(pSink);
    // Notifications go to the calling thread's queue; without one (no
    // eventfd) the enumerator still lists.
    CMessageQueue* pQueue = CMessageQueue::ForCurrentThread();
    m_pTarget->SetQueue(pQueue ? pQueue->shared_from_this() : nullptr);

    if (m_mmEnumerator) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- NULL != m_mmEnumerator");
        return true;
    }
    pa_threaded_mainloop* mainloop = pa_threaded_mainloop_new();
    if (!mainloop) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR,
                    " --- instance CLSID_MMDeviceEnumerator fail errorcode=" << int(PA_ERR_INTERNAL));
        return false;
    }
    pa_threaded_mainloop_set_name(mainloop, "devenum");
    m_mmEnumerator = mainloop;
    // A first attempt, so that notifications flow without a listing; its
    // outcome does not matter here. It is made before the loop runs, so the
    // library's lazily created internals come into being on this thread.
    _ConnectLocked();
    if (pa_threaded_mainloop_start(mainloop) < 0) {
        _DropContextLocked();
        _CancelReconnectLocked();
        m_mmEnumerator = nullptr;
        pa_threaded_mainloop_free(mainloop);
        UC_LOG_THIS(CLogWrapper::LOG_ERROR,
                    " --- instance CLSID_MMDeviceEnumerator fail errorcode=" << int(PA_ERR_INTERNAL));
        return false;
    }
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Exit ok");
    return true;
}

int CAudioDeviceEnum::GetInputDeviceNum() {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry (Input)");
    EndpointList endpoints;
    return _GetInputDeviceNum(endpoints);
}

int CAudioDeviceEnum::GetOutputDeviceNum() {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry (Output)");
    EndpointList endpoints;
    return _GetOutputDeviceNum(endpoints);
}

bool CAudioDeviceEnum::GetInputDeviceList(DeviceEntryMap& devices) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry (Input)");
    devices.clear();
    EndpointList endpoints;
    int count = _GetInputDeviceNum(endpoints);
    if (count < 0) return false;
    return _GetInputDeviceList(endpoints, count, devices);
}

bool CAudioDeviceEnum::GetOutputDeviceList(DeviceEntryMap& devices) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry (Output)");
    devices.clear();
    EndpointList endpoints;
    int count = _GetOutputDeviceNum(endpoints);
    if (count < 0) return false;
    return _GetOutputDeviceList(endpoints, count, devices);
}

bool CAudioDeviceEnum::GetDeviceIdByName(char* idBuffer, bool bInput, const char* name) {
    if (!idBuffer || !name) return false;
    DeviceEntryMap devices;
    if (bInput) {
        GetInputDeviceList(devices);
    } else {
        GetOutputDeviceList(devices);
    }
    if (devices.empty()) return false;
    for (const auto& [index, entry] : devices) {
        if (std::strcmp(entry.name, name) == 0) {
            std::size_t n = strnlen(entry.id, sizeof(entry.id) - 1);
            std::memcpy(idBuffer, entry.id, n);
            idBuffer[n] = '\0';
            return true;
        }
    }
    return false;
}

int CAudioDeviceEnum::_GetInputDeviceNum(EndpointList& endpoints) {
    return _CountEndpoints(true, endpoints);
}

int CAudioDeviceEnum::_GetOutputDeviceNum(EndpointList& endpoints) {
    return _CountEndpoints(false, endpoints);
}

bool CAudioDeviceEnum::_GetInputDeviceList(const EndpointList& endpoints, int count,
                                           DeviceEntryMap& devices) {
    return _ListEndpoints(true, endpoints, count, devices);
}

bool CAudioDeviceEnum::_GetOutputDeviceList(const EndpointList& endpoints, int count,
                                            DeviceEntryMap& devices) {
    return _ListEndpoints(false, endpoints, count, devices);
}

int CAudioDeviceEnum::_CountEndpoints(bool bInput, EndpointList& endpoints) {
    if (!m_mmEnumerator) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- WTF!!!! NULL == m_mmEnumerator");
        return -1;
    }
    endpoints.clear();
    const std::uint64_t deadline = pa_rtclock_now() + kQueryTimeoutUs;
    pa_threaded_mainloop_lock(m_mmEnumerator);
    int err = _EnsureConnectedLocked(deadline);
    pa_operation* op = nullptr;
    ListRequest req{m_mmEnumerator, bInput, {}, false, 0};
    if (err == 0) {
        if (bInput) {
            op = pa_context_get_source_info_list(
                m_pContext,
                [](pa_context* c, const pa_source_info* info, int eol, void* userdata) {
                    CollectEndpoint(c, info, eol, userdata,
                                    info && info->monitor_of_sink != PA_INVALID_INDEX);
                },
                &req);
        } else {
            op = pa_context_get_sink_info_list(
                m_pContext,
                [](pa_context* c, const pa_sink_info* info, int eol, void* userdata) {
                    CollectEndpoint(c, info, eol, userdata, false);
                },
                &req);
        }
        if (!op) err = pa_context_errno(m_pContext);
    }
    if (err != 0) {
        pa_threaded_mainloop_unlock(m_mmEnumerator);
        m_nLastResult = err;
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- EnumAudioEndpoints fail, errorcode=" << err);
        return -2;
    }
    bool finished = _WaitLocked(
        [&] { return req.done || pa_operation_get_state(op) != PA_OPERATION_RUNNING; }, deadline);
    if (!req.done) {
        err = finished ? (m_nLastResult ? m_nLastResult.load() : int(PA_ERR_KILLED)) : int(PA_ERR_TIMEOUT);
    } else {
        err = req.error;
    }
    if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
    pa_operation_unref(op);
    pa_threaded_mainloop_unlock(m_mmEnumerator);
    if (err != 0) {
        m_nLastResult = err;
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- GetCount fail, errorcode=" << err);
        return -3;
    }
    for (auto& [id, name] : req.found) endpoints.push_back({std::move(id), std::move(name)});
    const int count = static_cast<int>(endpoints.size());
    UC_LOG_THIS(CLogWrapper::LOG_INFO, " --- device num=" << count);
    return count;
}

int CAudioDeviceEnum::_GetDefaultName(bool bInput, std::string& name) {
    name.clear();
    const std::uint64_t deadline = pa_rtclock_now() + kQueryTimeoutUs;
    pa_threaded_mainloop_lock(m_mmEnumerator);
    int err = _EnsureConnectedLocked(deadline);
    ServerInfoRequest req{m_mmEnumerator, bInput, {}, false};
    pa_operation* op = nullptr;
    if (err == 0) {
        op = pa_context_get_server_info(
            m_pContext,
            [](pa_context*, const pa_server_info* info, void* userdata) {
                auto* r = static_cast<ServerInfoRequest*>(userdata);
                const char* def = info ? (r->bInput ? info->default_source_name : info->default_sink_name)
                                       : nullptr;
                r->defaultName = def ? def : "";
                r->done = true;
                pa_threaded_mainloop_signal(r->mainloop, 0);
            },
            &req);
        if (!op) err = pa_context_errno(m_pContext);
    }
    if (op) {
        bool finished = _WaitLocked(
            [&] { return req.done || pa_operation_get_state(op) != PA_OPERATION_RUNNING; }, deadline);
        if (!req.done) err = finished ? int(PA_ERR_KILLED) : int(PA_ERR_TIMEOUT);
        if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
        pa_operation_unref(op);
    }
    pa_threaded_mainloop_unlock(m_mmEnumerator);
    if (err != 0) {
        m_nLastResult = err;
        return err;
    }
    name = std::move(req.defaultName);
    return 0;
}

bool CAudioDeviceEnum::_ListEndpoints(bool bInput, const EndpointList& endpoints, int count,
                                      DeviceEntryMap& devices) {
    devices.clear();
    // Without an endpoint of this kind there is no default endpoint either.
    if (count <= 0 || endpoints.empty()) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR,
                    " --- GetDefaultAudioEndpoint fail, errorcode=" << int(PA_ERR_NOENTITY));
        return false;
    }
    std::string defaultId;
    int err = _GetDefaultName(bInput, defaultId);
    if (err != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- GetDefaultAudioEndpoint fail, errorcode=" << err);
        return false;
    }
    bool bMarked = false;
    const int n = std::min<int>(count, static_cast<int>(endpoints.size()));
    for (int i = 0; i < n; ++i) {
        DeviceEntry& entry = devices[i];
        entry = DeviceEntry{};
        CopyCut(entry.name, endpoints[i].name);
        CopyCut(entry.id, endpoints[i].id);
        entry.isDefault = !bMarked && endpoints[i].id == defaultId;
        if (entry.isDefault) bMarked = true;
    }
    // A default that is not among the endpoints (a monitor, or none set):
    // the first endpoint stands in.
    if (!bMarked && !devices.empty()) devices.begin()->second.isDefault = true;
    return true;
}

// ---- connection, on the mainloop (lock held) ----

void CAudioDeviceEnum::_ConnectLocked() {
    _CancelReconnectLocked();
    if (m_pContext) {
        if (PA_CONTEXT_IS_GOOD(pa_context_get_state(m_pContext))) return;
        _DropContextLocked();
    }
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_mmEnumerator);
    m_pContext = pa_context_new(api, "Tolvane");
    if (!m_pContext) {
        m_nLastResult = PA_ERR_INTERNAL;
        m_bNotifyOnReady = true;
        _ScheduleReconnectLocked();
        return;
    }
    pa_context_set_state_callback(
        m_pContext,
        [](pa_context* c, void* userdata) { static_cast<CAudioDeviceEnum*>(userdata)->_OnContextState(c); },
        this);
    if (pa_context_connect(m_pContext, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        // The failed context stays until the next attempt replaces it.
        m_nLastResult = pa_context_errno(m_pContext);
        m_bContextReady = false;
        m_bNotifyOnReady = true;
        _ScheduleReconnectLocked();
    }
}

void CAudioDeviceEnum::_DropContextLocked() {
    if (!m_pContext) return;
    pa_context_set_state_callback(m_pContext, nullptr, nullptr);
    pa_context_set_subscribe_callback(m_pContext, nullptr, nullptr);
    pa_context_disconnect(m_pContext);
    pa_context_unref(m_pContext);
    m_pContext = nullptr;
    m_bContextReady = false;
}

void CAudioDeviceEnum::_ScheduleReconnectLocked() {
    if (m_bShutdown || m_pReconnectTimer) return;
    m_nReconnectDelayUs = m_nReconnectDelayUs == 0 ? kFirstReconnectDelayUs
                                                   : std::min(2 * m_nReconnectDelayUs, kMaxReconnectDelayUs);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_mmEnumerator);
    timeval tv = WallClockIn(m_nReconnectDelayUs);
    m_pReconnectTimer = api->time_new(
        api, &tv,
        [](pa_mainloop_api* a, pa_time_event* e, const timeval*, void* userdata) {
            auto* self = static_cast<CAudioDeviceEnum*>(userdata);
            a->time_free(e);
            self->m_pReconnectTimer = nullptr;
            self->_ConnectLocked();
        },
        this);
}

void CAudioDeviceEnum::_CancelReconnectLocked() {
    if (!m_pReconnectTimer) return;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_mmEnumerator);
    api->time_free(m_pReconnectTimer);
    m_pReconnectTimer = nullptr;
}

int CAudioDeviceEnum::_EnsureConnectedLocked(std::uint64_t deadlineUs) {
    if (m_pContext && m_bContextReady) return 0;
    if (!m_pContext || !PA_CONTEXT_IS_GOOD(pa_context_get_state(m_pContext))) _ConnectLocked();
    bool finished = _WaitLocked(
        [&] {
            return m_bContextReady || !m_pContext ||
                   !PA_CONTEXT_IS_GOOD(pa_context_get_state(m_pContext));
        },
        deadlineUs);
    if (m_bContextReady) return 0;
    if (!finished) return PA_ERR_TIMEOUT;
    return m_nLastResult ? m_nLastResult.load() : int(PA_ERR_CONNECTIONREFUSED);
}

template <class Done>
bool CAudioDeviceEnum::_WaitLocked(Done done, std::uint64_t deadlineUs) {
    if (done()) return true;
    struct Timeout {
        pa_threaded_mainloop* mainloop;
        bool fired = false;
    } timeout{m_mmEnumerator};
    const std::uint64_t now = pa_rtclock_now();
    if (now >= deadlineUs) return false;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_mmEnumerator);
    timeval tv = WallClockIn(deadlineUs - now);
    pa_time_event* timer = api->time_new(
        api, &tv,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
            auto* t = static_cast<Timeout*>(userdata);
            t->fired = true;
            pa_threaded_mainloop_signal(t->mainloop, 0);
        },
        &timeout);
    while (!done() && !timeout.fired) pa_threaded_mainloop_wait(m_mmEnumerator);
    api->time_free(timer);
    return done();
}

void CAudioDeviceEnum::_OnContextState(pa_context* c) {
    if (c != m_pContext) return;
    const pa_context_state_t state = pa_context_get_state(m_pContext);
    if (state == PA_CONTEXT_READY) {
        m_bContextReady = true;
        m_nReconnectDelayUs = 0;
        pa_context_set_subscribe_callback(
            m_pContext,
            [](pa_context*, pa_subscription_event_type_t t, std::uint32_t index, void* userdata) {
                static_cast<CAudioDeviceEnum*>(userdata)->_OnSubscription(t, index);
            },
            this);
        pa_operation* op = pa_context_subscribe(
            m_pContext,
            static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE),
            nullptr, nullptr);
        if (op) pa_operation_unref(op);
        // Learn which sources are capture endpoints, so that their removal
        // can be told from a monitor's.
        m_inputSources.clear();
        op = pa_context_get_source_info_list(
            m_pContext,
            [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
                if (eol == 0 && info && info->monitor_of_sink == PA_INVALID_INDEX) {
                    static_cast<CAudioDeviceEnum*>(userdata)->m_inputSources.insert(info->index);
                }
            },
            this);
        if (op) pa_operation_unref(op);
        if (m_bNotifyOnReady) {
            m_bNotifyOnReady = false;
            _PostNotify();
        }
    } else if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
        m_nLastResult = pa_context_errno(m_pContext);
        if (m_bContextReady) _PostNotify();  // the server and its devices are gone
        m_bContextReady = false;
        m_bNotifyOnReady = true;
        _ScheduleReconnectLocked();
    }
    pa_threaded_mainloop_signal(m_mmEnumerator, 0);
}

void CAudioDeviceEnum::_OnSubscription(unsigned eventType, std::uint32_t index) {
    const unsigned facility = eventType & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const unsigned type = eventType & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (type != PA_SUBSCRIPTION_EVENT_NEW && type != PA_SUBSCRIPTION_EVENT_REMOVE) return;
    if (facility == PA_SUBSCRIPTION_EVENT_SINK) {
        _PostNotify();
    } else if (facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
        if (type == PA_SUBSCRIPTION_EVENT_REMOVE) {
            if (m_inputSources.erase(index) != 0) _PostNotify();
            return;
        }
        // A new source counts only when it is not a sink's monitor.
        pa_operation* op = pa_context_get_source_info_by_index(
            m_pContext, index,
            [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
                if (eol == 0 && info) {
                    static_cast<CAudioDeviceEnum*>(userdata)->_OnNewSource(
                        info->index, info->monitor_of_sink != PA_INVALID_INDEX);
                }
            },
            this);
        if (op) pa_operation_unref(op);
    }
}

void CAudioDeviceEnum::_OnNewSource(std::uint32_t index, bool bMonitor) {
    if (bMonitor) return;
    // The server sends one new-event per source; the set may know it already
    // from the listing made at connection.
    m_inputSources.insert(index);
    _PostNotify();
}

void CAudioDeviceEnum::_PostNotify() {
    m_pTarget->Post();
}
