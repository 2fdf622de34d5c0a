#include "support/pulseserver.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

// The current environment with `overrides` (NAME=value) set and the names
// in `removed` left out.
std::vector<std::string> MakeEnvironment(const std::vector<std::string>& overrides,
                                         const std::vector<std::string>& removed) {
    std::vector<std::string> env;
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        std::string name = nameOf(entry);
        bool drop = false;
        for (const auto& r : removed) drop = drop || r == name;
        for (const auto& o : overrides) drop = drop || nameOf(o) == name;
        if (!drop) env.push_back(entry);
    }
    env.insert(env.end(), overrides.begin(), overrides.end());
    return env;
}

std::vector<char*> CStrings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Runs argv[0] (looked up in PATH) to its end and collects its stdout;
// stdin is /dev/null, stderr is dropped. True on exit status 0.
bool Run(std::vector<std::string> argv, std::vector<std::string> env, std::string* output) {
    int pipeFds[2] = {-1, -1};
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> cargv = CStrings(argv);
    std::vector<char*> cenv = CStrings(env);
    pid_t pid = -1;
    int rv = posix_spawnp(&pid, cargv[0], &actions, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (rv != 0) {
        close(pipeFds[0]);
        return false;
    }
    output->clear();
    char buf[4096];
    for (;;) {
        ssize_t n = read(pipeFds[0], buf, sizeof(buf));
        if (n > 0) {
            output->append(buf, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string PropertiesArg(const char* key, const std::string& description) {
    if (description.empty()) return {};
    return std::string(" ") + key + "=\"device.description='" + description + "'\"";
}

// The full path of `name` through PATH, or `name` itself.
std::string FindInPath(const std::string& name) {
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return name;
}

// Starts a daemon that gets SIGTERM when the thread that started it ends,
// so that a test program that dies (a sanitizer abort, a time-out) leaves no
// server behind. Only async-signal-safe calls run between fork and exec.
bool SpawnDaemon(std::vector<std::string> argv, std::vector<std::string> env, const std::string& stderrPath,
                 pid_t* pidOut) {
    const std::string program = FindInPath(argv[0]);
    std::vector<char*> cargv = CStrings(argv);
    std::vector<char*> cenv = CStrings(env);
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        int in = open("/dev/null", O_RDONLY);
        int out = open("/dev/null", O_WRONLY);
        int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0 || err < 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execve(program.c_str(), cargv.data(), cenv.data());
        _exit(127);
    }
    *pidOut = pid;
    return true;
}

}  // namespace

CPulseServer::CPulseServer() {
    char tmpl[] = "/tmp/tolvane-pulse-XXXXXX";
    if (mkdtemp(tmpl)) {
        m_strFolder = tmpl;
        for (const char* sub : {"/runtime", "/state", "/home"}) {
            mkdir((m_strFolder + sub).c_str(), 0700);
        }
    }
    m_strServer = "unix:" + m_strFolder + "/native";
}

CPulseServer::~CPulseServer() {
    Stop();
    if (!m_strFolder.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_strFolder, ec);
    }
}

std::string CPulseServer::NullSinkArgs(const NullSink& sink) {
    std::ostringstream args;
    args << "sink_name=" << sink.name << " rate=" << sink.rate << " channels=" << sink.channels
         << PropertiesArg("sink_properties", sink.description);
    return args.str();
}

std::string CPulseServer::SineSourceArgs(const SineSource& source) {
    std::ostringstream args;
    args << "source_name=" << source.name << " rate=" << source.rate << " frequency=" << source.frequency
         << PropertiesArg("source_properties", source.description);
    return args.str();
}

std::vector<std::pair<std::string, std::string>> CPulseServer::SineMicrophoneModuleArgs(const SineMicrophone& m) {
    const std::string generator = m.name + "_gen";
    std::ostringstream sink, sine, source;
    sink << "sink_name=" << generator << " rate=" << m.rate << " channels=" << m.channels
         << PropertiesArg("sink_properties", "Generator of " + m.name);
    sine << "sink=" << generator << " rate=" << m.rate << " frequency=" << m.frequency;
    source << "source_name=" << m.name << " master=" << generator << ".monitor rate=" << m.rate
           << " channels=" << m.channels << PropertiesArg("source_properties", m.description);
    return {{"module-null-sink", sink.str()}, {"module-sine", sine.str()}, {"module-remap-source", source.str()}};
}

void CPulseServer::AddSineMicrophone(const SineMicrophone& microphone) {
    for (const auto& [module, args] : SineMicrophoneModuleArgs(microphone)) {
        m_scriptLines.push_back("load-module " + module + " " + args);
    }
}

CPulseServer::SineMicrophoneModules CPulseServer::LoadSineMicrophone(const SineMicrophone& microphone) {
    SineMicrophoneModules modules;
    auto loads = SineMicrophoneModuleArgs(microphone);
    modules.sink = LoadModule(loads[0].first, loads[0].second);
    if (modules.sink >= 0) modules.sine = LoadModule(loads[1].first, loads[1].second);
    if (modules.sine >= 0) modules.source = LoadModule(loads[2].first, loads[2].second);
    return modules;
}

void CPulseServer::UnloadSineMicrophone(const SineMicrophoneModules& modules) {
    for (int index : {modules.source, modules.sine, modules.sink}) {
        if (index >= 0) UnloadModule(index);
    }
}

void CPulseServer::AddNullSink(const NullSink& sink) {
    m_scriptLines.push_back("load-module module-null-sink " + NullSinkArgs(sink));
}

void CPulseServer::AddSineSource(const SineSource& source) {
    m_scriptLines.push_back("load-module module-sine-source " + SineSourceArgs(source));
}

void CPulseServer::SetDefaultSink(const std::string& name) {
    m_scriptLines.push_back("set-default-sink " + name);
}

void CPulseServer::SetDefaultSource(const std::string& name) {
    m_scriptLines.push_back("set-default-source " + name);
}

bool CPulseServer::WriteScript(std::string* error) const {
    std::ofstream script(m_strFolder + "/start.pa", std::ios::trunc);
    script << "load-module module-native-protocol-unix socket=" << m_strFolder
           << "/native auth-anonymous=1\n";
    for (const auto& line : m_scriptLines) script << line << "\n";
    script.close();
    if (!script) {
        if (error) *error = "cannot write " + m_strFolder + "/start.pa";
        return false;
    }
    return true;
}

void CPulseServer::ExportEnvironment() const {
    const char* current = getenv("PULSE_SERVER");
    // Setting it again while libpulse threads may read it is avoided.
    if (!current || m_strServer != current) setenv("PULSE_SERVER", m_strServer.c_str(), 1);
}

bool CPulseServer::Start(std::string* error, int timeoutMs) {
    if (m_strFolder.empty()) {
        if (error) *error = "no private folder";
        return false;
    }
    if (m_pid > 0) return true;
    if (!WriteScript(error)) return false;
    std::vector<std::string> env = MakeEnvironment(
        {"XDG_RUNTIME_DIR=" + m_strFolder + "/runtime", "PULSE_RUNTIME_PATH=" + m_strFolder + "/runtime",
         "PULSE_STATE_PATH=" + m_strFolder + "/state", "HOME=" + m_strFolder + "/home",
         "XDG_CONFIG_HOME=" + m_strFolder + "/home/.config"},
        {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "PULSE_SERVER", "PULSE_CONFIG"});
    std::vector<std::string> argv = {"pulseaudio",
                                     "-n",
                                     "-F",
                                     m_strFolder + "/start.pa",
                                     "--daemonize=no",
                                     "--system=no",
                                     "--exit-idle-time=-1",
                                     "--use-pid-file=no",
                                     "--realtime=no",
                                     "--high-priority=no",
                                     "--disallow-exit=no",
                                     "--log-target=file:" + m_strFolder + "/pulse.log"};
    const std::string stderrPath = m_strFolder + "/pulse.stderr";
    if (!SpawnDaemon(argv, env, stderrPath, &m_pid)) {
        m_pid = -1;
        if (error) *error = "cannot start pulseaudio";
        return false;
    }
    ExportEnvironment();
    if (!WaitUntilAnswering(timeoutMs, error)) {
        Stop();
        return false;
    }
    return true;
}

bool CPulseServer::WaitUntilAnswering(int timeoutMs, std::string* error) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            if (error) *error = "pulseaudio exited at start: " + ReadLog();
            return false;
        }
        std::string out;
        if (Pactl({"info"}, &out) && out.find("Server Name") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (error) *error = "pulseaudio does not answer: " + ReadLog();
    return false;
}

bool CPulseServer::WaitForExit(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t rv = waitpid(m_pid, &status, WNOHANG);
        if (rv == m_pid || (rv < 0 && errno == ECHILD)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void CPulseServer::Stop(int timeoutMs) {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    if (!WaitForExit(timeoutMs)) {
        kill(m_pid, SIGKILL);
        WaitForExit(60000);
    }
    m_pid = -1;
}

void CPulseServer::Kill() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGKILL);
    WaitForExit(60000);
    m_pid = -1;
}

std::string CPulseServer::ReadLog() const {
    std::ifstream log(m_strFolder + "/pulse.log");
    std::ostringstream text;
    text << log.rdbuf();
    return text.str();
}

bool CPulseServer::Pactl(const std::vector<std::string>& args, std::string* output) const {
    std::vector<std::string> argv = {"pactl", "--server=" + m_strServer};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string ignored;
    return Run(argv, MakeEnvironment({"PULSE_SERVER=" + m_strServer}, {}), output ? output : &ignored);
}

int CPulseServer::LoadModule(const std::string& name, const std::string& args) {
    std::string out;
    if (!Pactl({"load-module", name, args}, &out)) return -1;
    char* end = nullptr;
    long index = std::strtol(out.c_str(), &end, 10);
    return end != out.c_str() ? static_cast<int>(index) : -1;
}

int CPulseServer::LoadNullSink(const NullSink& sink) {
    return LoadModule("module-null-sink", NullSinkArgs(sink));
}

int CPulseServer::LoadSineSource(const SineSource& source) {
    return LoadModule("module-sine-source", SineSourceArgs(source));
}

bool CPulseServer::UnloadModule(int index) {
    return Pactl({"unload-module", std::to_string(index)});
}

// libpulse hands memory between threads through lock-free structures whose
// atomics ThreadSanitizer cannot see, as the library is not instrumented:
// its packet buffers are recycled through a process-wide free list (a buffer
// freed on one connection's thread and reused on another's), and its static
// mutexes are created on first use and published with a compare-and-swap
// (a mutex allocated on one thread and locked on another); its tag buffers
// are built on the caller's thread and read on the mainloop's. All look like
// races on memory only libpulse touches. Programs that use this fixture run
// libpulse on several threads, so they carry these suppressions. Most of
// libpulsecommon's internal functions have no symbols; as the library is not
// instrumented, its code shows up in a report only as the caller of a memory
// function (memcpy of a recycled buffer), so the module is matched as a whole.
// Our own callbacks are called from libpulse proper and stay checked.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libpulsecommon\n"
           "race:pa_packet_new_data\n"
           "race:pa_srbchannel_read\n"
           "race:pa_mutex_lock\n"
           "race:pa_mutex_unlock\n"
           "race:pa_tagstruct\n";
}
