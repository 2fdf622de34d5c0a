#include "pulseloop.h"

#include <pulse/pulseaudio.h>

#include <algorithm>

static_assert(int{PULSE_ERR_INVALID} == int{PA_ERR_INVALID} && int{PULSE_ERR_TIMEOUT} == int{PA_ERR_TIMEOUT} &&
              int{PULSE_ERR_NOENTITY} == int{PA_ERR_NOENTITY} && int{PULSE_ERR_INTERNAL} == int{PA_ERR_INTERNAL});

namespace {

timeval WallClockIn(std::uint64_t usec) {
    timeval tv{};
    pa_gettimeofday(&tv);
    pa_timeval_add(&tv, usec);
    return tv;
}

}  // namespace

std::uint64_t CPulseLoop::Now() { return pa_rtclock_now(); }

// ---- threaded ----

CPulseThreadedLoop::~CPulseThreadedLoop() {
    Stop();
    if (m_pLoop) pa_threaded_mainloop_free(m_pLoop);
}

bool CPulseThreadedLoop::Create(const char* name) {
    if (!m_pLoop) m_pLoop = pa_threaded_mainloop_new();
    if (!m_pLoop) return false;
    pa_threaded_mainloop_set_name(m_pLoop, name);
    return true;
}

bool CPulseThreadedLoop::Start() {
    if (!m_pLoop || pa_threaded_mainloop_start(m_pLoop) < 0) return false;
    m_bRunning = true;
    return true;
}

void CPulseThreadedLoop::Stop() {
    if (!m_bRunning) return;
    pa_threaded_mainloop_stop(m_pLoop);
    m_bRunning = false;
}

void CPulseThreadedLoop::Lock() { pa_threaded_mainloop_lock(m_pLoop); }

void CPulseThreadedLoop::Unlock() { pa_threaded_mainloop_unlock(m_pLoop); }

pa_mainloop_api* CPulseThreadedLoop::Api() { return pa_threaded_mainloop_get_api(m_pLoop); }

void CPulseThreadedLoop::Signal() { pa_threaded_mainloop_signal(m_pLoop, 0); }

bool CPulseThreadedLoop::WaitUntil(const std::function<bool()>& done, std::uint64_t deadlineUs) {
    if (done()) return true;
    struct Timeout {
        pa_threaded_mainloop* mainloop;
        bool fired = false;
    } timeout{m_pLoop};
    const std::uint64_t now = Now();
    if (now >= deadlineUs) return false;
    pa_mainloop_api* api = Api();
    timeval tv = WallClockIn(deadlineUs - now);
    pa_time_event* timer = api->time_new(
        api, &tv,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
            auto* t = static_cast<Timeout*>(userdata);
            t->fired = true;
            pa_threaded_mainloop_signal(t->mainloop, 0);
        },
        &timeout);
    while (!done() && !timeout.fired) pa_threaded_mainloop_wait(m_pLoop);
    api->time_free(timer);
    return done();
}

// ---- driven by the caller ----

CPulsePollLoop::~CPulsePollLoop() {
    if (m_pLoop) pa_mainloop_free(m_pLoop);
}

bool CPulsePollLoop::Create() {
    if (!m_pLoop) m_pLoop = pa_mainloop_new();
    return m_pLoop != nullptr;
}

pa_mainloop_api* CPulsePollLoop::Api() { return pa_mainloop_get_api(m_pLoop); }

bool CPulsePollLoop::Iterate(std::uint64_t timeoutUs) {
    return pa_mainloop_prepare(m_pLoop, static_cast<int>(timeoutUs)) >= 0 && pa_mainloop_poll(m_pLoop) >= 0 &&
           pa_mainloop_dispatch(m_pLoop) >= 0;
}

void CPulsePollLoop::Wakeup() {
    if (m_pLoop) pa_mainloop_wakeup(m_pLoop);
}

bool CPulsePollLoop::WaitUntil(const std::function<bool()>& done, std::uint64_t deadlineUs) {
    while (!done()) {
        const std::uint64_t now = Now();
        if (now >= deadlineUs) return false;
        if (!Iterate(std::min<std::uint64_t>(deadlineUs - now, kPollTimeoutUs))) return done();
    }
    return true;
}
