#include "waylandstack.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {
constexpr uid_t kNobody = 65534;
constexpr int kStartMs = 10000;

bool HaveProgram(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

std::string FindInPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');)
        if (HaveProgram(folder + "/" + name)) return folder + "/" + name;
    return {};
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
}  // namespace

CWaylandStack::CWaylandStack() {
    char pattern[] = "/tmp/tolvane-wayland.XXXXXX";
    if (::mkdtemp(pattern)) m_strRoot = pattern;
    ::chmod(m_strRoot.c_str(), 0755);
}

CWaylandStack::~CWaylandStack() {
    for (auto it = m_children.rbegin(); it != m_children.rend(); ++it) StopChild(*it);
    std::error_code ignored;
    if (!m_strRoot.empty()) std::filesystem::remove_all(m_strRoot, ignored);
}

void CWaylandStack::StopChild(Child& child) {
    if (child.pid <= 0) return;
    // Each child leads a process group of its own; the group also holds
    // what it started (sway's XWayland).
    ::kill(-child.pid, SIGTERM);
    bool ended = false;
    for (int i = 0; i < 40 && !ended; ++i) {
        ended = ::waitpid(child.pid, nullptr, WNOHANG) == child.pid;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(-child.pid, SIGKILL);
    if (!ended) ::waitpid(child.pid, nullptr, 0);
    child.pid = -1;
}

bool CWaylandStack::Spawn(const std::string& name, const std::vector<std::string>& argv,
                          const std::vector<std::string>& env, bool asNobody, std::string& why) {
    std::vector<std::string> args;
    const bool root = ::geteuid() == 0;
    if (asNobody && root) {
        const std::string setpriv = FindInPath("setpriv");
        if (setpriv.empty()) {
            why = "setpriv is missing";
            return false;
        }
        args = {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    const std::string program = argv[0][0] == '/' ? argv[0] : FindInPath(argv[0]);
    if (program.empty() || !HaveProgram(program)) {
        why = argv[0] + " is missing";
        return false;
    }
    args.push_back(program);
    args.insert(args.end(), argv.begin() + 1, argv.end());
    std::vector<std::string> environment = env;
    for (const char* keep : {"PATH", "LANG"})
        if (const char* value = std::getenv(keep)) environment.push_back(std::string(keep) + "=" + value);
    std::vector<char*> cargs, cenv;
    for (auto& a : args) cargs.push_back(a.data());
    cargs.push_back(nullptr);
    for (auto& e : environment) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    const std::string log = m_strRoot + "/" + name + ".log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int rv = posix_spawn(&pid, cargs[0], &actions, &attributes, cargs.data(), cenv.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rv != 0) {
        why = "cannot start " + name;
        return false;
    }
    m_children.push_back({name, pid});
    return true;
}

bool CWaylandStack::WaitForPath(const std::string& path, int timeoutMs) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (::access(path.c_str(), F_OK) == 0) return true;
        // A child that ended will not make it.
        for (const Child& c : m_children)
            if (c.pid > 0 && ::waitpid(c.pid, nullptr, WNOHANG) == c.pid) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

bool CWaylandStack::StartBus(std::string& why) {
    if (m_bBus) return true;
    if (m_strRoot.empty()) {
        why = "no scratch folder";
        return false;
    }
    ::mkdir((m_strRoot + "/rt").c_str(), 0700);
    ::mkdir((m_strRoot + "/cfg").c_str(), 0755);
    if (!Spawn("dbus", {"dbus-daemon", "--session", "--address=" + BusAddress(), "--nofork", "--nopidfile"},
               {"XDG_RUNTIME_DIR=" + m_strRoot + "/rt", "DBUS_SESSION_BUS_ADDRESS=" + BusAddress(), "HOME=" + m_strRoot,
                "XDG_CONFIG_HOME=" + ConfigHome()},
               false, why))
        return false;
    if (!WaitForPath(m_strRoot + "/bus", kStartMs)) {
        why = "the session bus did not come up";
        return false;
    }
    m_bBus = true;
    return true;
}

bool CWaylandStack::StartPipeWire(std::string& why) {
    if (!StartBus(why)) return false;
    const std::vector<std::string> env{"XDG_RUNTIME_DIR=" + m_strRoot + "/rt", "DBUS_SESSION_BUS_ADDRESS=" + BusAddress(),
                                       "HOME=" + m_strRoot, "XDG_CONFIG_HOME=" + ConfigHome()};
    if (!Spawn("pipewire", {"pipewire"}, env, false, why)) return false;
    if (!WaitForPath(PipeWireSocket(), kStartMs)) {
        why = "PipeWire did not come up: " + LogTail("pipewire");
        return false;
    }
    return Spawn("wireplumber", {"wireplumber"}, env, false, why);
}

bool CWaylandStack::StartDesktop(const std::string& outputName, std::string& why) {
    const std::string swayRt = m_strRoot + "/swayrt", home = m_strRoot + "/home", cfg = ConfigHome();
    ::mkdir(swayRt.c_str(), 0700);
    ::mkdir(home.c_str(), 0700);
    ::mkdir((cfg + "/xdg-desktop-portal-wlr").c_str(), 0755);
    if (::geteuid() == 0 && (::chown(swayRt.c_str(), kNobody, kNobody) != 0 || ::chown(home.c_str(), kNobody, kNobody) != 0)) {
        why = "cannot hand the runtime folder to nobody";
        return false;
    }
    WriteFile(cfg + "/xdg-desktop-portal-wlr/config",
              "[screencast]\noutput_name=" + outputName + "\nchooser_type=none\nmax_fps=30\n");
    // The X display number is written by sway's first command.
    const std::string displayFile = swayRt + "/display";
    WriteFile(m_strRoot + "/sway.conf", "output HEADLESS-1 resolution 1280x720 position 0 0\nxwayland enable\n"
                                        "default_border none\nexec sh -c 'echo $DISPLAY > " + displayFile + "'\n");
    if (!Spawn("sway", {"sway", "-c", m_strRoot + "/sway.conf", "-d"},
               {"HOME=" + home, "XDG_RUNTIME_DIR=" + swayRt, "WLR_BACKENDS=headless", "WLR_RENDERER=pixman",
                "WLR_LIBINPUT_NO_DEVICES=1"},
               true, why))
        return false;
    m_strWayland = swayRt + "/wayland-1";
    if (!WaitForPath(displayFile, kStartMs) || !WaitForPath(m_strWayland, 1000)) {
        why = "sway did not come up: " + LogTail("sway");
        return false;
    }
    std::ifstream(displayFile) >> m_strXDisplay;
    // XWayland lets only sway's user in; the tests run as another one.
    if (::geteuid() == 0) {
        std::string ignored;
        Spawn("xhost", {"xhost", "+si:localuser:root"}, {"DISPLAY=" + m_strXDisplay, "HOME=" + home}, true, ignored);
        if (!m_children.empty() && m_children.back().strName == "xhost") {
            ::waitpid(m_children.back().pid, nullptr, 0);
            m_children.pop_back();
        }
    }
    const std::vector<std::string> env{"XDG_RUNTIME_DIR=" + m_strRoot + "/rt", "DBUS_SESSION_BUS_ADDRESS=" + BusAddress(),
                                       "HOME=" + m_strRoot, "XDG_CONFIG_HOME=" + cfg, "XDG_CURRENT_DESKTOP=sway",
                                       "XDG_SESSION_TYPE=wayland", "WAYLAND_DISPLAY=" + m_strWayland};
    if (!Spawn("xdpw", {"/usr/libexec/xdg-desktop-portal-wlr", "-l", "DEBUG"}, env, false, why)) return false;
    if (!Spawn("xdp", {"/usr/libexec/xdg-desktop-portal", "-v"}, env, false, why)) return false;
    return WaitForPortal(why);
}

bool CWaylandStack::StartPortal(const std::string& portalDir, const std::string& desktop, std::string& why,
                                const std::function<void()>& idle) {
    if (!StartBus(why)) return false;
    const std::vector<std::string> env{"XDG_RUNTIME_DIR=" + m_strRoot + "/rt", "DBUS_SESSION_BUS_ADDRESS=" + BusAddress(),
                                       "HOME=" + m_strRoot, "XDG_CONFIG_HOME=" + ConfigHome(),
                                       "XDG_DESKTOP_PORTAL_DIR=" + portalDir, "XDG_CURRENT_DESKTOP=" + desktop};
    if (!Spawn("xdp", {"/usr/libexec/xdg-desktop-portal", "-v"}, env, false, why)) return false;
    return WaitForPortal(why, idle);
}

bool CWaylandStack::WaitForPortal(std::string& why, const std::function<void()>& idle) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartMs);
    while (std::chrono::steady_clock::now() < end) {
        if (LogTail("xdp").find("org.freedesktop.portal.Desktop acquired") != std::string::npos) return true;
        if (idle)
            idle();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    why = "xdg-desktop-portal did not come up: " + LogTail("xdp");
    return false;
}

int CWaylandStack::ConnectPipeWire() const {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, PipeWireSocket().c_str(), sizeof(address.sun_path) - 1);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

void CWaylandStack::KillPortal() {
    for (Child& c : m_children)
        if (c.strName == "xdp" && c.pid > 0) {
            ::kill(-c.pid, SIGKILL);
            ::waitpid(c.pid, nullptr, 0);
            c.pid = -1;
        }
}

std::string CWaylandStack::LogTail(const std::string& name) const {
    std::ifstream in(m_strRoot + "/" + name + ".log");
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
}
