#include "pulseconnection.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <type_traits>
#include <utility>

namespace {

constexpr std::uint64_t kFirstReconnectDelayUs = PA_USEC_PER_SEC;
constexpr std::uint64_t kMaxReconnectDelayUs = 8 * PA_USEC_PER_SEC;

timeval WallClockIn(std::uint64_t usec) {
    timeval tv{};
    pa_gettimeofday(&tv);
    pa_timeval_add(&tv, usec);
    return tv;
}

// One listing in flight; lives on the caller's stack, so the query is
// cancelled before the caller returns.
struct ListRequest {
    CPulseLoop* loop;
    std::vector<CPulseConnection::Endpoint> found;
    bool done = false;
    int error = 0;
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
        req->found.push_back({info->name ? info->name : "",
                              info->description ? info->description : (info->name ? info->name : "")});
    }
    req->loop->Signal();
}

struct ServerInfoRequest {
    CPulseLoop* loop;
    bool bInput;
    std::string defaultName;
    bool done = false;
};

struct FormatRequest {
    explicit FormatRequest(CPulseLoop* l) : loop(l) {}
    CPulseLoop* loop;
    bool done = false;
    bool found = false;
    int error = 0;
    pa_sample_spec sampleSpec{};
    std::string monitorSource;
};

template <class Info>
void OnEndpointInfo(pa_context* c, const Info* info, int eol, void* userdata) {
    auto* req = static_cast<FormatRequest*>(userdata);
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
    req->loop->Signal();
}

}  // namespace

CPulseConnection::CPulseConnection(CPulseLoop& loop, std::string clientName)
    : m_loop(loop), m_strClientName(std::move(clientName)) {}

CPulseConnection::~CPulseConnection() { Close(); }

void CPulseConnection::Close() {
    m_bClosed = true;
    CancelReconnect();
    DropContext();
}

int CPulseConnection::StartConnect() {
    CancelReconnect();
    if (m_pContext) {
        if (PA_CONTEXT_IS_GOOD(pa_context_get_state(m_pContext))) return 0;
        DropContext();
    }
    m_pContext = pa_context_new(m_loop.Api(), m_strClientName.c_str());
    if (!m_pContext) {
        Failed(PA_ERR_INTERNAL);
        return PA_ERR_INTERNAL;
    }
    pa_context_set_state_callback(
        m_pContext,
        [](pa_context* c, void* userdata) { static_cast<CPulseConnection*>(userdata)->OnContextState(c); },
        this);
    if (pa_context_connect(m_pContext, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        // The failed context stays until the next attempt replaces it.
        int error = pa_context_errno(m_pContext);
        m_bReady = false;
        Failed(error);
        return error;
    }
    return 0;
}

int CPulseConnection::Connect(std::uint64_t deadlineUs) {
    if (m_pContext && m_bReady) return 0;
    if (!m_pContext || !PA_CONTEXT_IS_GOOD(pa_context_get_state(m_pContext))) {
        int error = StartConnect();
        if (error != 0) return error;
    }
    bool finished = m_loop.WaitUntil(
        [this] { return m_bReady || !m_pContext || !PA_CONTEXT_IS_GOOD(pa_context_get_state(m_pContext)); },
        deadlineUs);
    if (m_bReady) return 0;
    if (!finished) return PA_ERR_TIMEOUT;
    return m_nLastError ? m_nLastError : int(PA_ERR_CONNECTIONREFUSED);
}

int CPulseConnection::ContextError() const {
    return m_pContext ? pa_context_errno(m_pContext) : m_nLastError;
}

void CPulseConnection::Failed(int error) {
    m_nLastError = error;
    ScheduleReconnect();
    if (m_observer) m_observer(false, false, error);
}

void CPulseConnection::DropContext() {
    if (!m_pContext) return;
    pa_context_set_state_callback(m_pContext, nullptr, nullptr);
    pa_context_set_subscribe_callback(m_pContext, nullptr, nullptr);
    pa_context_disconnect(m_pContext);
    pa_context_unref(m_pContext);
    m_pContext = nullptr;
    m_bReady = false;
}

void CPulseConnection::ScheduleReconnect() {
    if (!m_bReconnect || m_bClosed || m_pReconnectTimer) return;
    m_nReconnectDelayUs = m_nReconnectDelayUs == 0 ? kFirstReconnectDelayUs
                                                   : std::min(2 * m_nReconnectDelayUs, kMaxReconnectDelayUs);
    pa_mainloop_api* api = m_loop.Api();
    timeval tv = WallClockIn(m_nReconnectDelayUs);
    m_pReconnectTimer = api->time_new(
        api, &tv,
        [](pa_mainloop_api* a, pa_time_event* e, const timeval*, void* userdata) {
            auto* self = static_cast<CPulseConnection*>(userdata);
            a->time_free(e);
            self->m_pReconnectTimer = nullptr;
            self->StartConnect();
        },
        this);
}

void CPulseConnection::CancelReconnect() {
    if (!m_pReconnectTimer) return;
    pa_mainloop_api* api = m_loop.Api();
    api->time_free(m_pReconnectTimer);
    m_pReconnectTimer = nullptr;
}

void CPulseConnection::OnContextState(pa_context* c) {
    if (c != m_pContext) return;
    const pa_context_state_t state = pa_context_get_state(m_pContext);
    if (state == PA_CONTEXT_READY) {
        m_bReady = true;
        m_nReconnectDelayUs = 0;
        if (m_onEndpointChange) {
            pa_context_set_subscribe_callback(
                m_pContext,
                [](pa_context*, pa_subscription_event_type_t t, std::uint32_t index, void* userdata) {
                    static_cast<CPulseConnection*>(userdata)->OnSubscription(t, index);
                },
                this);
            pa_operation* op = pa_context_subscribe(
                m_pContext,
                static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE),
                nullptr, nullptr);
            if (op) pa_operation_unref(op);
            // Learn which sources are capture endpoints, so that their
            // removal can be told from a monitor's.
            m_inputSources.clear();
            op = pa_context_get_source_info_list(
                m_pContext,
                [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
                    if (eol == 0 && info && info->monitor_of_sink == PA_INVALID_INDEX) {
                        static_cast<CPulseConnection*>(userdata)->m_inputSources.insert(info->index);
                    }
                },
                this);
            if (op) pa_operation_unref(op);
        }
        if (m_observer) m_observer(true, false, 0);
    } else if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
        m_nLastError = pa_context_errno(m_pContext);
        const bool wasReady = m_bReady;
        m_bReady = false;
        ScheduleReconnect();
        if (m_observer) m_observer(false, wasReady, m_nLastError);
    }
    m_loop.Signal();
}

void CPulseConnection::OnSubscription(unsigned eventType, std::uint32_t index) {
    const unsigned facility = eventType & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const unsigned type = eventType & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (type != PA_SUBSCRIPTION_EVENT_NEW && type != PA_SUBSCRIPTION_EVENT_REMOVE) return;
    if (facility == PA_SUBSCRIPTION_EVENT_SINK) {
        m_onEndpointChange();
    } else if (facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
        if (type == PA_SUBSCRIPTION_EVENT_REMOVE) {
            if (m_inputSources.erase(index) != 0) m_onEndpointChange();
            return;
        }
        // A new source counts only when it is not a sink's monitor. The
        // server sends one new-event per source; the set may know it already
        // from the listing made at connection.
        pa_operation* op = pa_context_get_source_info_by_index(
            m_pContext, index,
            [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
                if (eol == 0 && info && info->monitor_of_sink == PA_INVALID_INDEX) {
                    auto* self = static_cast<CPulseConnection*>(userdata);
                    self->m_inputSources.insert(info->index);
                    self->m_onEndpointChange();
                }
            },
            this);
        if (op) pa_operation_unref(op);
    }
}

template <class Op>
bool CPulseConnection::FinishOperation(Op* op, const std::function<bool()>& done, std::uint64_t deadlineUs) {
    bool finished = m_loop.WaitUntil(
        [&] { return done() || pa_operation_get_state(op) != PA_OPERATION_RUNNING; }, deadlineUs);
    if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
    pa_operation_unref(op);
    return finished;
}

int CPulseConnection::ListEndpoints(bool bInput, std::uint64_t deadlineUs, std::vector<Endpoint>& endpoints,
                                    bool& bQueried) {
    endpoints.clear();
    bQueried = false;
    int err = Connect(deadlineUs);
    if (err != 0) return err;
    ListRequest req{&m_loop, {}, false, 0};
    pa_operation* op = nullptr;
    if (bInput) {
        op = pa_context_get_source_info_list(
            m_pContext,
            [](pa_context* c, const pa_source_info* info, int eol, void* userdata) {
                CollectEndpoint(c, info, eol, userdata, info && info->monitor_of_sink != PA_INVALID_INDEX);
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
    if (!op) return pa_context_errno(m_pContext);
    bQueried = true;
    bool finished = FinishOperation(op, [&] { return req.done; }, deadlineUs);
    if (!req.done) return finished ? (m_nLastError ? m_nLastError : int(PA_ERR_KILLED)) : int(PA_ERR_TIMEOUT);
    if (req.error != 0) return req.error;
    endpoints = std::move(req.found);
    return 0;
}

int CPulseConnection::GetDefaultEndpoint(bool bInput, std::uint64_t deadlineUs, std::string& name) {
    name.clear();
    int err = Connect(deadlineUs);
    if (err != 0) return err;
    ServerInfoRequest req{&m_loop, bInput, {}, false};
    pa_operation* op = pa_context_get_server_info(
        m_pContext,
        [](pa_context*, const pa_server_info* info, void* userdata) {
            auto* r = static_cast<ServerInfoRequest*>(userdata);
            const char* def = info ? (r->bInput ? info->default_source_name : info->default_sink_name) : nullptr;
            r->defaultName = def ? def : "";
            r->done = true;
            r->loop->Signal();
        },
        &req);
    if (!op) return pa_context_errno(m_pContext);
    bool finished = FinishOperation(op, [&] { return req.done; }, deadlineUs);
    if (!req.done) return finished ? int(PA_ERR_KILLED) : int(PA_ERR_TIMEOUT);
    name = std::move(req.defaultName);
    return 0;
}

int CPulseConnection::GetEndpointFormat(bool bInput, const std::string& id, std::uint64_t deadlineUs,
                                        EndpointFormat& format) {
    FormatRequest req(&m_loop);
    pa_operation* op =
        bInput ? pa_context_get_source_info_by_name(m_pContext, id.c_str(), OnEndpointInfo<pa_source_info>, &req)
               : pa_context_get_sink_info_by_name(m_pContext, id.c_str(), OnEndpointInfo<pa_sink_info>, &req);
    if (!op) return pa_context_errno(m_pContext);
    bool finished = FinishOperation(op, [&] { return req.done; }, deadlineUs);
    if (!finished) return PA_ERR_TIMEOUT;
    if (!req.found) return req.error ? req.error : int(PA_ERR_NOENTITY);
    format.bValidSpec = pa_sample_spec_valid(&req.sampleSpec) != 0;
    format.rate = req.sampleSpec.rate;
    format.channels = req.sampleSpec.channels;
    format.monitorSource = std::move(req.monitorSource);
    return 0;
}
