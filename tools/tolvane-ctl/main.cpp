// tolvane-ctl: drives a running tolvane bar as its host, over the host link.
//   tolvane-ctl [--wnd HEX] record [--name NAME] [-t SECONDS] [--mic NAME|--no-mic]
//               [--speaker NAME|--no-speaker]
//   tolvane-ctl [--wnd HEX] [--xml] shell
//   tolvane-ctl [--xml] launch [ARGS...]
// Exit status: 0 done, 1 failed, 2 wrong usage, 3 no bar running, 4 the bar
// refused the connection (another host drives it), 5 no answer within the
// time-out, 6 the bar went away during the session.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "hostsession.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kLaunchTimeoutMs = 30000;

const char kUsage[] =
    "usage: tolvane-ctl [--wnd HEX] record [--name NAME] [-t SECONDS]\n"
    "                   [--mic NAME|--no-mic] [--speaker NAME|--no-speaker]\n"
    "       tolvane-ctl [--wnd HEX] [--xml] shell\n"
    "       tolvane-ctl [--xml] launch [TOLVANE-ARGUMENTS...]\n"
    "\n"
    "Drives the running tolvane bar as its host: while connected the bar is\n"
    "host-driven (its record buttons and hotkeys are off); when tolvane-ctl ends\n"
    "the bar stops a running recording and is the user's again.\n"
    "\n"
    "  --wnd HEX   the bar's window id (default: the running bar)\n"
    "  record      sets the sources (when --mic or --speaker is given; the other\n"
    "              one is then the default device), starts a recording named\n"
    "              NAME-YYYYMMDDhhmmss.flv in the bar's output folder, waits -t\n"
    "              seconds or until SIGINT / SIGTERM, stops it and waits until the\n"
    "              file is finished; prints the bar's state after each step\n"
    "  shell       one command per line on standard input, one line per answer on\n"
    "              standard output:\n"
    "                start [NAME]   -> ok start      (resumes when paused)\n"
    "                pause          -> ok pause\n"
    "                stop           -> ok stop\n"
    "                state          -> state ready|recording|paused\n"
    "                source [--mic NAME|--no-mic] [--speaker NAME|--no-speaker]\n"
    "                               -> ok source\n"
    "                quit           (also the end of the input)\n"
    "              names with blanks go in double quotes; a wrong line prints\n"
    "              'error ...' and the shell goes on\n"
    "  launch      starts tolvane with /wnd set to tolvane-ctl's window (the bar\n"
    "              connects to it), then works as shell\n"
    "  --xml       shell and launch print each answer's XML document instead\n"
    "\n"
    "Exit status: 0 done, 1 failed, 2 wrong usage, 3 no bar running, 4 the bar\n"
    "refused the connection (another host drives it), 5 no answer within the\n"
    "time-out, 6 the bar went away during the session.\n";

int usage(const std::string& message) {
    if (!message.empty()) std::cerr << "tolvane-ctl: " << message << "\n";
    std::cerr << kUsage;
    return kExitUsage;
}

const char* resultText(CHostSession::Result result) {
    switch (result) {
        case CHostSession::RESULT_NO_BAR: return "no tolvane bar is running on this display";
        case CHostSession::RESULT_REFUSED: return "the bar refused the connection (another host drives it)";
        case CHostSession::RESULT_NO_ANSWER: return "the bar did not answer within the time-out";
        case CHostSession::RESULT_BAR_GONE: return "the bar went away";
        case CHostSession::RESULT_FAILED: return "failed";
        default: return "ok";
    }
}

int fail(CHostSession::Result result) {
    std::cerr << "tolvane-ctl: " << resultText(result) << "\n";
    return result;
}

const char* stateName(int val) { return val == 1 ? "recording" : val == 2 ? "paused" : "ready"; }

// Splits a line at blanks; double quotes keep blanks in a word.
std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::string word;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if ((c == ' ' || c == '\t' || c == '\r') && !quoted) {
            if (any) out.push_back(word);
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any) out.push_back(word);
    return out;
}

// The source options: --mic NAME, --no-mic, --speaker NAME, --no-speaker.
// The device not named is the default device. False on a wrong option.
bool sourceOptions(const std::vector<std::string>& args, std::size_t from, HostCommand& command, bool& given,
                   std::string& error) {
    command.opt = "set";
    command.type = "source";
    command.mic = {"default device", 0};
    command.speaker = {"default device", 0};
    given = false;
    for (std::size_t i = from; i < args.size(); ++i) {
        const std::string& a = args[i];
        if ((a == "--mic" || a == "--speaker") && i + 1 < args.size()) {
            (a == "--mic" ? command.mic : command.speaker) = {args[++i], 0};
        } else if (a == "--no-mic" || a == "--no-speaker") {
            (a == "--no-mic" ? command.mic : command.speaker) = {"", 1};
        } else {
            error = "unknown source option " + a;
            return false;
        }
        given = true;
    }
    return true;
}

HostCommand recordCommand(int val, const std::string& name = {}) {
    HostCommand command;
    command.opt = "set";
    command.type = "record";
    command.val = val;
    command.name = name;
    return command;
}

HostCommand stateQuery() {
    HostCommand command;
    command.opt = "qurey";
    command.type = "record";
    return command;
}

int blockTerminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

// The bar's state through a query; -1 when it failed (result set).
int queryState(CHostSession& session, CHostSession::Result& result) {
    HostAnswer answer;
    result = session.Request(stateQuery(), &answer);
    return result == CHostSession::RESULT_OK ? answer.val.value_or(0) : -1;
}

int runRecord(CHostSession& session, const std::vector<std::string>& args) {
    std::string name;
    long seconds = -1;
    std::vector<std::string> sourceArgs;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--name" && i + 1 < args.size()) {
            name = args[++i];
        } else if (a == "-t" && i + 1 < args.size()) {
            char* end = nullptr;
            seconds = std::strtol(args[++i].c_str(), &end, 10);
            if (*end != '\0' || seconds < 0) return usage("-t needs a whole number of seconds");
        } else if ((a == "--mic" || a == "--speaker") && i + 1 < args.size()) {
            sourceArgs.push_back(a);
            sourceArgs.push_back(args[++i]);
        } else if (a == "--no-mic" || a == "--no-speaker") {
            sourceArgs.push_back(a);
        } else {
            return usage("unknown record option " + a);
        }
    }
    const int signals = blockTerminationSignals();
    HostCommand source;
    bool given = false;
    std::string error;
    sourceOptions(sourceArgs, 0, source, given, error);
    CHostSession::Result result = CHostSession::RESULT_OK;
    if (given && (result = session.Send(source)) != CHostSession::RESULT_OK) return fail(result);
    if ((result = session.Request(recordCommand(1, name), nullptr)) != CHostSession::RESULT_OK) return fail(result);
    int state = queryState(session, result);
    if (state < 0) return fail(result);
    std::cout << "state " << stateName(state) << std::endl;
    std::cerr << "tolvane-ctl: recording" << (seconds >= 0 ? " for " + std::to_string(seconds) + " s" : "")
              << ", SIGINT or SIGTERM stops\n";
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds < 0 ? 0 : seconds);
    std::vector<pollfd> extra{{signals, POLLIN, 0}};
    for (;;) {
        if (session.BarGone()) return fail(CHostSession::RESULT_BAR_GONE);
        int wait = 500;
        if (seconds >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            wait = std::min<int>(wait, static_cast<int>(left.count()));
        }
        session.Run(wait, &extra);
        if (extra[0].revents) break;
    }
    if ((result = session.Request(recordCommand(0), nullptr)) != CHostSession::RESULT_OK) return fail(result);
    // The state query is handled after the stop, which finishes the file.
    state = queryState(session, result);
    if (state < 0) return fail(result);
    std::cout << "state " << stateName(state) << std::endl;
    session.Disconnect();
    return 0;
}

void printAnswer(bool xml, const std::string& text, const std::string& line) {
    if (xml)
        std::cout << text;
    else
        std::cout << line << "\n";
    std::cout.flush();
}

int runShell(CHostSession& session, bool xml) {
    const int signals = blockTerminationSignals();
    std::vector<pollfd> extra{{STDIN_FILENO, POLLIN, 0}, {signals, POLLIN, 0}};
    std::string pending;
    bool inputOpen = true;
    for (;;) {
        if (session.BarGone() || !session.IsConnected()) return fail(CHostSession::RESULT_BAR_GONE);
        std::size_t newline = pending.find('\n');
        if (newline == std::string::npos) {
            if (!inputOpen) break;
            session.Run(500, &extra);
            if (extra[1].revents) break;
            if (extra[0].revents) {
                char buffer[4096];
                const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof(buffer));
                if (got <= 0) {
                    inputOpen = false;
                    if (!pending.empty()) pending += '\n';
                } else {
                    pending.append(buffer, static_cast<std::size_t>(got));
                }
            }
            continue;
        }
        const std::vector<std::string> args = words(pending.substr(0, newline));
        pending.erase(0, newline + 1);
        if (args.empty()) continue;
        const std::string& verb = args[0];
        CHostSession::Result result = CHostSession::RESULT_OK;
        HostAnswer answer;
        std::string text;
        if (verb == "quit") {
            break;
        } else if (verb == "start" || verb == "pause" || verb == "stop") {
            const int val = verb == "start" ? 1 : verb == "pause" ? 2 : 0;
            result = session.Request(recordCommand(val, args.size() > 1 ? args[1] : ""), &answer, &text);
            if (result == CHostSession::RESULT_OK) printAnswer(xml, text, "ok " + verb);
        } else if (verb == "state") {
            result = session.Request(stateQuery(), &answer, &text);
            if (result == CHostSession::RESULT_OK)
                printAnswer(xml, text, std::string("state ") + stateName(answer.val.value_or(0)));
        } else if (verb == "source") {
            HostCommand command;
            bool given = false;
            std::string error;
            if (!sourceOptions(args, 1, command, given, error)) {
                std::cout << "error " << error << std::endl;
                continue;
            }
            result = session.Send(command);
            if (result == CHostSession::RESULT_OK && !xml) std::cout << "ok source" << std::endl;
        } else {
            std::cout << "error unknown command: " << verb << std::endl;
            continue;
        }
        if (result != CHostSession::RESULT_OK) return fail(result);
    }
    session.Disconnect();
    return 0;
}

// The tolvane program beside this one, else the one on the PATH.
std::string tolvanePath() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n > 0) {
        std::string path(self, static_cast<std::size_t>(n));
        path = path.substr(0, path.rfind('/') + 1) + "tolvane";
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return "tolvane";
}

int runLaunch(CHostSession& session, const std::vector<std::string>& args, bool xml) {
    char window[32];
    std::snprintf(window, sizeof(window), "%x", session.OwnWindow());
    std::vector<std::string> all{tolvanePath(), "/wnd", window};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::cerr << "tolvane-ctl: cannot start tolvane: " << std::strerror(errno) << "\n";
        return CHostSession::RESULT_FAILED;
    }
    if (pid == 0) {
        ::setsid();  // the bar outlives tolvane-ctl and its terminal's signals
        ::execvp(argv[0], argv.data());
        std::fprintf(stderr, "tolvane-ctl: cannot run %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(127);
    }
    std::cerr << "tolvane-ctl: started " << all[0] << " (pid " << pid << "), waiting for it to connect\n";
    int status = 0;
    const CHostSession::Result result = session.WaitForBar(kLaunchTimeoutMs, [&] {
        return ::waitpid(pid, &status, WNOHANG) == pid;
    });
    if (result == CHostSession::RESULT_BAR_GONE) {
        std::cerr << "tolvane-ctl: tolvane ended before it connected (is a bar running already?)\n";
        return CHostSession::RESULT_BAR_GONE;
    }
    if (result != CHostSession::RESULT_OK) return fail(result);
    return runShell(session, xml);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    unsigned long barWindow = 0;
    bool xml = false;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        if (args[i] == "-h" || args[i] == "--help") {
            std::cout << kUsage;
            return 0;
        } else if (args[i] == "--wnd" && i + 1 < args.size()) {
            char* end = nullptr;
            barWindow = std::strtoul(args[++i].c_str(), &end, 16);
            if (*end != '\0' || barWindow == 0) return usage("--wnd needs a hexadecimal window id");
        } else if (args[i] == "--xml") {
            xml = true;
        } else {
            break;
        }
    }
    if (i >= args.size()) return usage("no command given");
    const std::string command = args[i];
    const std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
    if (command != "record" && command != "shell" && command != "launch") return usage("unknown command " + command);
    if (command == "shell" && !rest.empty()) return usage("shell takes no arguments");

    CHostSession session;
    if (!session.Open()) {
        std::cerr << "tolvane-ctl: cannot open the X display " << (std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "")
                  << "\n";
        return CHostSession::RESULT_FAILED;
    }
    if (command == "launch") return runLaunch(session, rest, xml);

    const TalkWindow bar = barWindow ? static_cast<TalkWindow>(barWindow) : session.FindBar();
    if (!bar) return fail(CHostSession::RESULT_NO_BAR);
    const CHostSession::Result connected = session.Connect(bar);
    if (connected != CHostSession::RESULT_OK) return fail(connected);
    return command == "record" ? runRecord(session, rest) : runShell(session, xml);
}
