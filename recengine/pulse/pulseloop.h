// The two ways the engine runs libpulse's main loop, behind one interface so
// that a connection's connect-and-wait and its queries are written once:
//
// CPulseThreadedLoop: a pa_threaded_mainloop with a thread of its own (the
// device enumerator). Every libpulse call on its objects is made with the
// loop's lock held (Lock/Unlock) or from its callbacks; WaitUntil is called
// with the lock held, never on the loop's thread.
//
// CPulsePollLoop: a pa_mainloop driven by whoever calls WaitUntil or Iterate
// (a capture: the caller of StartCapture while it opens the stream, then the
// capture thread). Wakeup may be called from any thread.
//
// Deadlines are pa_rtclock_now() microseconds (Now()).
#pragma once

#include <cstdint>
#include <functional>

struct pa_mainloop;
struct pa_mainloop_api;
struct pa_threaded_mainloop;

// The libpulse error codes (PA_ERR_*) the engine reports itself.
enum PulseError : int {
    PULSE_ERR_INVALID = 3,
    PULSE_ERR_NOENTITY = 5,
    PULSE_ERR_TIMEOUT = 8,
    PULSE_ERR_INTERNAL = 10,
};

class CPulseLoop {
public:
    virtual ~CPulseLoop() = default;
    virtual pa_mainloop_api* Api() = 0;
    // Runs or waits for the loop until done() or the deadline; true when done.
    virtual bool WaitUntil(const std::function<bool()>& done, std::uint64_t deadlineUs) = 0;
    // From a callback on the loop: a waiter should look at its condition again.
    virtual void Signal() = 0;

    static std::uint64_t Now();
    static std::uint64_t DeadlineIn(std::uint64_t usec) { return Now() + usec; }
};

class CPulseThreadedLoop : public CPulseLoop {
public:
    CPulseThreadedLoop() = default;
    // Stops the loop's thread (if it runs) and frees the loop.
    ~CPulseThreadedLoop() override;
    CPulseThreadedLoop(const CPulseThreadedLoop&) = delete;
    CPulseThreadedLoop& operator=(const CPulseThreadedLoop&) = delete;

    // Creates the loop (its thread named `name`); false when libpulse cannot.
    bool Create(const char* name);
    // Starts the loop's thread; false when it cannot.
    bool Start();
    void Stop();
    void Lock();
    void Unlock();

    pa_mainloop_api* Api() override;
    bool WaitUntil(const std::function<bool()>& done, std::uint64_t deadlineUs) override;
    void Signal() override;

private:
    pa_threaded_mainloop* m_pLoop = nullptr;
    bool m_bRunning = false;
};

class CPulsePollLoop : public CPulseLoop {
public:
    // The longest a single iteration waits for events.
    static constexpr std::uint64_t kPollTimeoutUs = 100 * 1000;

    CPulsePollLoop() = default;
    ~CPulsePollLoop() override;
    CPulsePollLoop(const CPulsePollLoop&) = delete;
    CPulsePollLoop& operator=(const CPulsePollLoop&) = delete;

    bool Create();
    // One round: waits up to timeoutUs for events and dispatches them; false
    // when the loop failed.
    bool Iterate(std::uint64_t timeoutUs);
    // Any thread: ends the current wait of Iterate early.
    void Wakeup();

    pa_mainloop_api* Api() override;
    bool WaitUntil(const std::function<bool()>& done, std::uint64_t deadlineUs) override;
    void Signal() override {}

private:
    pa_mainloop* m_pLoop = nullptr;
};
