// CPulseServer: a private PulseAudio daemon for tests.
//
// The daemon runs as a child process in user mode with a folder of its own
// under /tmp (runtime, state and home directories, its log and its start
// script). It loads no default configuration (-n): the script loads
// module-native-protocol-unix on <folder>/native with anonymous access, the
// null sinks and sine sources that were added, and the defaults. Running as
// root needs no special flag: pulseaudio warns ("not intended to be run as
// root") and works in user mode; --system=no keeps it so, and
// --realtime=no / --high-priority=no keep it from asking for privileges. The
// child gets no DISPLAY and no D-Bus session address, so it never meets a
// desktop's sound server; no system daemon is touched.
//
// Start() exports PULSE_SERVER=unix:<folder>/native for this process (so
// that every libpulse client in it, and pactl, talks to this daemon) and
// waits until `pactl info` answers. Stop() sends SIGTERM, waits, and sends
// SIGKILL after a time-out; Kill() simulates a crash. The destructor stops
// the daemon and removes the folder. Start() may be called again after a
// stop: the daemon comes back on the same socket with the same devices.
// The daemon gets SIGTERM when the thread that started it ends (so a test
// program that aborts leaves no server behind): start it from a thread that
// outlives the server, such as the test's main thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

class CPulseServer {
public:
    struct NullSink {
        std::string name;
        std::string description;  // empty: the module's default
        unsigned rate = 44100;
        unsigned channels = 2;
    };
    // module-sine-source: mono float samples at `rate`. It has a fixed
    // latency of 2 s and posts its sound in 2-second bursts, generated ahead
    // of time, so it suits listings and formats but not timing.
    struct SineSource {
        std::string name;
        std::string description;
        unsigned frequency = 440;
        unsigned rate = 48000;
    };
    // A microphone that delivers in real time: module-sine plays the tone
    // into a null sink "<name>_gen" (S16, `rate`, `channels`), and
    // module-remap-source turns that sink's monitor into the source `name`
    // (not a monitor, so it lists as an input). Its clock is the null sink's.
    struct SineMicrophone {
        std::string name;
        std::string description;
        unsigned frequency = 440;
        unsigned rate = 48000;
        unsigned channels = 1;
    };
    // Module indexes of a loaded SineMicrophone; unloading `source` removes
    // the microphone.
    struct SineMicrophoneModules {
        int sink = -1, sine = -1, source = -1;
        bool ok() const { return sink >= 0 && sine >= 0 && source >= 0; }
    };

    CPulseServer();
    ~CPulseServer();
    CPulseServer(const CPulseServer&) = delete;
    CPulseServer& operator=(const CPulseServer&) = delete;

    // Devices and defaults of the start script (before Start).
    void AddNullSink(const NullSink& sink);
    void AddSineSource(const SineSource& source);
    void AddSineMicrophone(const SineMicrophone& microphone);
    void SetDefaultSink(const std::string& name);
    void SetDefaultSource(const std::string& name);

    // Starts the daemon and waits up to `timeoutMs` until it answers.
    bool Start(std::string* error = nullptr, int timeoutMs = 10000);
    // SIGTERM, then SIGKILL after `timeoutMs`.
    void Stop(int timeoutMs = 5000);
    // SIGKILL at once, as if the server crashed.
    void Kill();
    bool IsRunning() const { return m_pid > 0; }

    // PULSE_SERVER for this process; Start does it too. Pointing clients
    // here before Start gives a "no server" machine.
    void ExportEnvironment() const;
    const std::string& GetServerString() const { return m_strServer; }
    const std::string& GetFolder() const { return m_strFolder; }
    std::string ReadLog() const;

    // Run-time modules: the module index, or -1.
    int LoadModule(const std::string& name, const std::string& args);
    int LoadNullSink(const NullSink& sink);
    int LoadSineSource(const SineSource& source);
    SineMicrophoneModules LoadSineMicrophone(const SineMicrophone& microphone);
    void UnloadSineMicrophone(const SineMicrophoneModules& modules);
    bool UnloadModule(int index);
    // Runs pactl against this daemon; true on exit status 0.
    bool Pactl(const std::vector<std::string>& args, std::string* output = nullptr) const;

    static std::string NullSinkArgs(const NullSink& sink);
    static std::string SineSourceArgs(const SineSource& source);
    // The three module loads of a SineMicrophone: {module, args}.
    static std::vector<std::pair<std::string, std::string>> SineMicrophoneModuleArgs(const SineMicrophone& m);

private:
    bool WriteScript(std::string* error) const;
    bool WaitUntilAnswering(int timeoutMs, std::string* error);
    bool WaitForExit(int timeoutMs);

    std::string m_strFolder;
    std::string m_strServer;
    std::vector<std::string> m_scriptLines;
    pid_t m_pid = -1;
};
