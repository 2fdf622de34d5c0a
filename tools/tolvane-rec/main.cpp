// tolvane-rec: records the screen (or a synthetic picture) and the chosen
// audio devices into an FLV file through the recording engine, driving it as
// the recorder does.
//   tolvane-rec --list-devices
//   tolvane-rec [-o FILE] [-t SECONDS] [--mic NAME|default|none]
//               [--speaker NAME|default|none] [--size WxH] [--dump-audio]
//               [--source test|screen|screen:X,Y,W,H] [--flash-at MS,MS,...]
//               [--backend x11|portal]
// SIGINT / SIGTERM stop and finish the file; SIGUSR1 pauses and resumes.
// Exit status: 0 success, 1 wrong usage, 2 cannot start (device, path,
// engine, display), 3 the recording failed while it ran (write error, X
// display gone).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "basekit/messagequeue.h"
#include "basekit/tickcount.h"
#include "flvio/recordingmarker.h"
#include "devicechooser.h"
#include "frameclock.h"
#include "recoptions.h"
#include "recordsession.h"
#include "screenarea.h"
#include "screensource.h"
#include "statusline.h"
#include "testpatternsource.h"

#if defined(__SANITIZE_THREAD__)
// libpulse recycles its packet and tag buffers through process-wide
// lock-free free lists whose atomics ThreadSanitizer cannot see (the library
// is not instrumented): a buffer freed on one connection's thread and reused
// on another's looks like a race.
extern "C" const char* __tsan_default_suppressions() { return "race:libpulsecommon\n"; }
#endif

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitCannotStart = 2;
constexpr int kExitFailed = 3;
constexpr int kFps = 15;
constexpr std::uint64_t kStatusPeriodMs = 200;

const char kUsage[] =
    "usage: tolvane-rec --list-devices\n"
    "       tolvane-rec [-o FILE] [-t SECONDS] [--mic NAME|default|none]\n"
    "                   [--speaker NAME|default|none] [--size WxH] [--dump-audio]\n"
    "                   [--source test|screen|screen:X,Y,W,H] [--flash-at MS,MS,...]\n"
    "                   [--backend x11|portal]\n"
    "\n"
    "  --list-devices  the microphones and speakers (ID and name; * marks the default)\n"
    "  -o FILE         the FLV file (default: the documents folder, named after the\n"
    "                  local time as YYYYMMDDhhmmss.flv)\n"
    "  -t SECONDS      stop after this many seconds (pauses included); without it the\n"
    "                  recording runs until SIGINT or SIGTERM\n"
    "  --mic, --speaker  the microphone and the speaker recorded in loopback: an\n"
    "                  endpoint ID or friendly name, 'default' (the default) or 'none'\n"
    "  --size WxH      the picture size, rounded down to multiples of 16 (default\n"
    "                  1280x720; with screen:X,Y,W,H the rectangle's own size\n"
    "                  rounded down to multiples of 16)\n"
    "  --dump-audio    also write the AAC audio as ADTS beside the FLV (.AAC)\n"
    "  --source test   the picture: a moving test pattern with a picture counter\n"
    "                  (the default without a usable $DISPLAY, or with --flash-at)\n"
    "  --source screen the X screen of $DISPLAY (its primary monitor), scaled to the\n"
    "                  picture size with area averaging, cursor included (the\n"
    "                  default where there is a display)\n"
    "  --source screen:X,Y,W,H  the W x H screen rectangle at X,Y (physical pixels),\n"
    "                  copied 1:1 when the picture size equals it, else scaled\n"
    "  --flash-at LIST (test source) white pictures at these milliseconds after the\n"
    "                  first picture; each prints 'flash at tick T' (T = engine\n"
    "                  clock, ms)\n"
    "  --backend x11|portal  how the screen is read: the X server, or the desktop's\n"
    "                  screen-cast portal and PipeWire (Wayland). Default: the portal\n"
    "                  on a Wayland session (XDG_SESSION_TYPE=wayland), else X11; the\n"
    "                  environment variable TOLVANE_CAPTURE_BACKEND overrides it too.\n"
    "                  Rectangles are always given in X (XWayland) coordinates.\n"
    "\n"
    "SIGUSR1 pauses and resumes. Exit status: 0 success, 1 wrong usage, 2 the\n"
    "recording could not start (device, path, X display, screen-cast portal\n"
    "refused or failed), 3 it failed while running (write error, X display or\n"
    "screen-cast session gone; the file is finished either way).\n";

int Fail(int status, const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "tolvane-rec: %s\n", message.c_str());
    return status;
}

std::string EngineFailure(const char* what, std::uint32_t code) {
    return std::string(what) + " failed with engine code " + std::to_string(code) + ": " +
           CRecordSession::CodeText(code);
}

// True when `path` can be created or written; the check leaves no new file behind.
bool CheckWritable(const std::string& path, std::string& error) {
    struct stat st {};
    const bool existed = stat(path.c_str(), &st) == 0;
    if (existed && S_ISDIR(st.st_mode)) {
        error = path + " is a folder";
        return false;
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    close(fd);
    if (!existed) unlink(path.c_str());
    return true;
}

long long FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Blocks the stop and pause signals in every thread (the engine's threads
// inherit the mask) and returns a descriptor that reads them.
int OpenSignalFd() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

// What the recording loop does with the signals it has read.
struct SignalState {
    bool stop = false;
    int pauseToggles = 0;
};

void ReadSignals(int fd, SignalState& state) {
    signalfd_siginfo info{};
    while (read(fd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
        if (info.ssi_signo == SIGUSR1) {
            ++state.pauseToggles;
        } else {
            state.stop = true;
        }
    }
}

// The devices to record; false with `error` for a name the system does not know.
bool ChooseDevices(const CRecOptions& options, const std::list<AudioDeviceInfo>& devices,
                   std::list<AudioDeviceInfo>& chosen, CStatusLine& status, std::string& error) {
    CDeviceChooser chooser(devices);
    struct Kind {
        bool bMic;
        CRecOptions::DeviceChoice choice;
        const std::string& name;
        const char* label;
    };
    const Kind kinds[] = {{true, options.m_nMic, options.m_strMic, "microphone"},
                          {false, options.m_nSpeaker, options.m_strSpeaker, "speaker"}};
    for (const Kind& kind : kinds) {
        const AudioDeviceInfo* found = chooser.Find(kind.bMic, kind.choice, kind.name);
        if (found) {
            chosen.push_back(*found);
            status.Note(std::string(kind.label) + ": " + found->GuidName + " \"" + found->DevicesName + "\"");
        } else if (kind.choice == CRecOptions::kNamed) {
            error = std::string("unknown ") + kind.label + " '" + kind.name + "' (see --list-devices)";
            return false;
        } else if (kind.choice == CRecOptions::kDefault) {
            status.Note(std::string(kind.label) + ": none (no default " + kind.label + " found)");
        }
    }
    return true;
}

int ListDevices(CRecordSession& session) {
    const std::list<AudioDeviceInfo> devices = session.ListDevices();
    std::fputs(CDeviceChooser(devices).Describe().c_str(), stdout);
    if (devices.empty()) std::fputs("(no sound server reached, or it has no devices)\n", stdout);
    session.Stop();
    return kExitOk;
}

// One status update: the engine's recorded seconds and the peak level of
// each source since the last update (`levels` keeps the last one shown).
void ShowStatus(CRecordSession& session, CStatusLine& status, bool bMic, bool bSpeaker, bool paused,
                int (&levels)[2]) {
    for (int k = 0; k < 2; ++k) {
        const int taken = session.TakeLevel(k == 1);
        if (taken >= 0) levels[k] = taken;
    }
    CStatusLine::State state;
    state.seconds = session.Seconds();
    state.micLevel = bMic ? levels[1] : -1;
    state.speakerLevel = bSpeaker ? levels[0] : -1;
    state.paused = paused;
    status.Update(state);
}

// The recording loop: pictures on the frame grid, signals, device-change
// messages of the Init thread, the status line and the time limit.
struct LoopResult {
    std::uint64_t pictures = 0;
    std::uint64_t skipped = 0;
    std::uint64_t recordedMs = 0;
    bool screenLost = false;  // the X display went away
};

// `screen`: the screen source, whose canvas thread pushes the pictures
// itself; null for the test pattern, drawn and pushed here on the grid.
LoopResult RunRecording(const CRecOptions& options, CRecordSession& session, CScreenSource* screen,
                        int signalFd, bool bMic, bool bSpeaker, CStatusLine& status) {
    LoopResult result;
    CTestPatternSource source(options.m_nWidth, options.m_nHeight);
    CMessageQueue* queue = CMessageQueue::ForCurrentThread();
    const std::uint64_t startMs = GetTickMs();
    CFrameClock clock(startMs, kFps);
    std::vector<std::uint64_t> flashes;
    for (std::uint32_t f : options.m_FlashAtMs) flashes.push_back(startMs + f);
    std::sort(flashes.begin(), flashes.end());
    std::size_t nextFlash = 0;
    std::printf("start tick %llu\n", static_cast<unsigned long long>(startMs));
    std::fflush(stdout);

    const std::uint64_t endMs = options.m_nSeconds > 0 ? startMs + options.m_nSeconds * 1000ULL : 0;
    bool paused = false;
    std::uint64_t pauseBeginMs = 0;
    std::uint64_t pausedMs = 0;
    std::uint64_t nextStatusMs = startMs;
    int seenChanges = 0;
    int levels[2] = {0, 0};
    SignalState signals;
    for (;;) {
        std::uint64_t now = GetTickMs();
        if (endMs && now >= endMs) break;
        std::uint64_t index = 0;
        std::uint64_t skipped = 0;
        if (paused || screen) {
            clock.SkipTo(now);
        } else if (clock.Take(now, index, skipped)) {
            const std::uint64_t frameMs = clock.TimeOf(index);
            bool flash = false;
            while (nextFlash < flashes.size() && flashes[nextFlash] <= frameMs) {
                flash = true;
                ++nextFlash;
            }
            const auto& pixels = source.Render(index, flash);
            session.PushPicture(static_cast<std::uint32_t>(frameMs), pixels.data(), pixels.size());
            if (flash) status.Note("flash at tick " + std::to_string(frameMs));
            ++result.pictures;
            result.skipped += skipped;
        }
        if (now >= nextStatusMs) {
            ShowStatus(session, status, bMic, bSpeaker, paused, levels);
            nextStatusMs = now + kStatusPeriodMs;
        }
        // A write failure ended the muxer: stop and report it.
        if (session.ErrorCode() != 0) break;
        if (screen && screen->IsScreenLost()) {
            result.screenLost = true;
            break;
        }
        // Sleep until the next picture, the next status update or an event.
        now = GetTickMs();
        std::uint64_t wakeMs = std::min(nextStatusMs, paused || screen ? nextStatusMs : clock.NextDueMs());
        if (endMs) wakeMs = std::min(wakeMs, endMs);
        const int timeout = wakeMs > now ? static_cast<int>(wakeMs - now) : 0;
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {queue ? queue->GetFd() : -1, POLLIN, 0}};
        poll(fds, queue ? 2 : 1, timeout);
        if (queue) queue->Pump();
        ReadSignals(signalFd, signals);
        if (signals.stop) break;
        for (; signals.pauseToggles > 0; --signals.pauseToggles) {
            paused = !paused;
            if (paused) {
                session.Pause();
                if (screen) screen->Pause();
                pauseBeginMs = GetTickMs();
                status.Note("paused");
            } else {
                session.Resume();
                clock.ResumeAt(GetTickMs());
                if (screen && !screen->Resume()) status.Note("the screen capture did not resume");
                pausedMs += GetTickMs() - pauseBeginMs;
                status.Note("resumed");
            }
        }
        if (const int changes = session.DeviceChanges(); changes != seenChanges) {
            seenChanges = changes;
            status.Note("audio devices changed");
        }
    }
    ShowStatus(session, status, bMic, bSpeaker, paused, levels);
    const std::uint64_t endNow = GetTickMs();
    if (paused) pausedMs += endNow - pauseBeginMs;
    result.recordedMs = endNow - startMs - pausedMs;
    if (screen) {
        screen->Stop();
        result.pictures = screen->Pictures();
        result.skipped = screen->Skipped();
    }
    return result;
}

// The screen rectangle and the picture size of --source screen; false with
// a message for a display that cannot be opened or a rectangle off screen.
bool ResolveScreen(CRecOptions& options, CaptureRect& rect, std::string& error) {
    CScreenArea area;
    if (!area.Query(error)) return false;
    if (options.m_bScreenRect) {
        rect = {options.m_nScreenX, options.m_nScreenY, options.m_nScreenX + options.m_nScreenWidth,
                options.m_nScreenY + options.m_nScreenHeight};
        if (!area.Contains(rect, error)) return false;
    } else {
        rect = area.Primary();
    }
    if (options.m_bSizeGiven) return true;
    if (!CRecOptions::ScreenPictureSize(options.m_bScreenRect, rect.width(), rect.height(), options.m_nWidth,
                                        options.m_nHeight)) {
        error = "the screen rectangle is smaller than 16x16";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CRecOptions options;
    std::string error;
    if (!options.Parse(argc, argv, error)) {
        std::fprintf(stderr, "tolvane-rec: %s\n%s", error.c_str(), kUsage);
        return kExitUsage;
    }
    if (options.m_bHelp) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    // The capture component reads its backend choice from the environment.
    if (!options.m_strBackend.empty()) ::setenv("TOLVANE_CAPTURE_BACKEND", options.m_strBackend.c_str(), 1);
    const bool bSourceGiven = !options.m_strSource.empty();
    const char* display = std::getenv("DISPLAY");
    options.ChooseDefaultSource(display && *display);
    bool bScreen = options.m_strSource == "screen" && !options.m_bListDevices;
    if (bScreen && !options.m_FlashAtMs.empty()) {
        std::fprintf(stderr, "tolvane-rec: --flash-at works with --source test only\n%s", kUsage);
        return kExitUsage;
    }
    CaptureRect screenRect;
    if (bScreen && !ResolveScreen(options, screenRect, error)) {
        if (bSourceGiven) return Fail(kExitCannotStart, error);
        // The screen was only the default: the test pattern instead.
        std::fprintf(stderr, "tolvane-rec: %s; recording the test pattern\n", error.c_str());
        options.m_strSource = "test";
        bScreen = false;
    }
    const int signalFd = OpenSignalFd();
    if (signalFd < 0) return Fail(kExitCannotStart, std::string("signalfd: ") + std::strerror(errno));
    const bool bTerminal = isatty(STDOUT_FILENO) == 1;
    CStatusLine status(stdout, bTerminal);

    CRecordSession session;
    if (std::uint32_t code = session.Open(options.m_nWidth, options.m_nHeight, kFps); code != 0)
        return Fail(kExitCannotStart, EngineFailure("engine Init", code));
    if (options.m_bListDevices) return ListDevices(session);

    if (options.m_bSizeRounded)
        status.Note("picture size rounded down to multiples of 16: " + std::to_string(options.m_nWidth) +
                    "x" + std::to_string(options.m_nHeight));
    std::list<AudioDeviceInfo> chosen;
    if (!ChooseDevices(options, session.ListDevices(), chosen, status, error))
        return Fail(kExitCannotStart, error);
    bool bMic = false;
    bool bSpeaker = false;
    for (const auto& d : chosen) (d.m_bCapture ? bMic : bSpeaker) = true;
    session.ChooseDevices(chosen);

    const std::string path = options.m_strOutput.empty()
                                 ? CRecOptions::DefaultOutputPath(CRecOptions::DocumentsFolder(), std::time(nullptr))
                                 : options.m_strOutput;
    const std::string dumpPath = options.m_bDumpAudio ? CRecOptions::DumpPathFor(path) : std::string();
    if (!CheckWritable(path, error) || (!dumpPath.empty() && !CheckWritable(dumpPath, error)))
        return Fail(kExitCannotStart, error);
    for (const std::string& unfinished : CRecordingMarker::FindUnfinished(CRecordingMarker::FolderOf(path)))
        std::fprintf(stderr, "tolvane-rec: %s was left unfinished by a crash; repair it with: flvtool repair '%s'\n",
                     unfinished.c_str(), unfinished.c_str());
    CScreenSource screen;
    if (bScreen && !screen.Open(screenRect, options.m_nWidth, options.m_nHeight, session.Engine(), error))
        return Fail(kExitCannotStart, error);
    if (std::uint32_t code = session.Start(path, dumpPath); code != 0) {
        session.Stop();
        return Fail(kExitCannotStart, EngineFailure("StartRecord", code));
    }
    if (bScreen && !screen.Start(error)) {
        screen.Stop();
        session.Stop();
        // Not a picture was recorded: no empty file is left behind.
        std::remove(path.c_str());
        if (!dumpPath.empty()) std::remove(dumpPath.c_str());
        return Fail(kExitCannotStart, error);
    }
    if (bScreen)
        status.Note("screen " + std::to_string(screenRect.left) + "," + std::to_string(screenRect.top) + " " +
                    std::to_string(screenRect.width()) + "x" + std::to_string(screenRect.height()) + " as " +
                    std::to_string(options.m_nWidth) + "x" + std::to_string(options.m_nHeight) + " pictures");
    status.Note("recording to " + path);

    const LoopResult result =
        RunRecording(options, session, bScreen ? &screen : nullptr, signalFd, bMic, bSpeaker, status);
    status.Finish();
    const int recordError = session.ErrorCode();
    const std::uint32_t stopCode = session.Stop();

    std::printf("output: %s\n", path.c_str());
    if (!dumpPath.empty()) std::printf("audio dump: %s (%lld bytes)\n", dumpPath.c_str(), FileSize(dumpPath));
    std::printf("recorded %.1f s, %lld bytes, %llu pictures (%llu skipped late)\n", result.recordedMs / 1000.0,
                FileSize(path), static_cast<unsigned long long>(result.pictures),
                static_cast<unsigned long long>(result.skipped));
    std::fflush(stdout);
    if (recordError != 0) {
        char hex[16];
        std::snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned>(recordError));
        return Fail(kExitFailed, std::string("recording failed with error ") + hex + ": " +
                                     CRecordSession::ErrorText(recordError));
    }
    if (stopCode != 0) return Fail(kExitFailed, EngineFailure("StopRecord", stopCode));
    if (result.screenLost)
        return Fail(kExitFailed, "the X display went away (or the screen-cast session ended); the recording was stopped and the file finished");
    return kExitOk;
}
