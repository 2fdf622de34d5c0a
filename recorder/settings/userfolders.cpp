#include "userfolders.h"

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

extern char** environ;

namespace {

const char* nonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

bool isFolder(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

std::string CUserFolders::homeFolder() {
    if (const char* home = nonEmptyEnv("HOME")) return withoutTrailingSlashes(home);
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir) {
        return withoutTrailingSlashes(pw->pw_dir);
    }
    return {};
}

std::string CUserFolders::configHome() {
    // The XDG rules ignore a relative XDG_CONFIG_HOME.
    if (const char* config = nonEmptyEnv("XDG_CONFIG_HOME"); config && config[0] == '/') {
        return withoutTrailingSlashes(config);
    }
    return homeFolder() + "/.config";
}

std::string CUserFolders::settingsFolder() {
    return configHome() + "/orvix/Tolvane";
}

std::string CUserFolders::xdgUserDir(const char* name) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    char program[] = "xdg-user-dir";
    std::string argument = name;
    char* argv[] = {program, argument.data(), nullptr};
    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);

    std::string output;
    if (rc == 0) {
        char buffer[1024];
        for (;;) {
            ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            if (output.size() < PATH_MAX) output.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(pipeFds[0]);
    if (rc != 0) return {};
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
    return output.find('\n') == std::string::npos ? output : std::string();
}

std::string CUserFolders::documentsFolder() {
    const std::string home = homeFolder();
    std::string documents = withoutTrailingSlashes(xdgUserDir("DOCUMENTS"));
    if (!documents.empty() && documents[0] == '/' && documents != home && isFolder(documents))
        return documents;
    if (!home.empty() && isFolder(home + "/Documents")) return home + "/Documents";
    return home;
}

std::string CUserFolders::programPath() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}
