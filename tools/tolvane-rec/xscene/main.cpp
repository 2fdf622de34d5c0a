// xscene: shows a moving colourful scene over the whole X screen, for
// demonstrations and benchmarks of screen recording on a headless X server.
//   xscene [--fps N] [--still] [-t SECONDS]
// --still shows a quiet desktop instead: nothing moves but a small clock in
// the middle of the screen that changes once a second.
// Runs until SIGINT / SIGTERM (or for SECONDS); the display is $DISPLAY.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "scenepainter.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void OnStop(int) { g_stop = 1; }

std::uint64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<std::uint64_t>(ts.tv_nsec);
}

bool ParseInt(const char* text, int low, int high, int& value) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno || !*text || *end || v < low || v > high) return false;
    value = static_cast<int>(v);
    return true;
}

// A borderless window over the whole screen, above everything else.
Window CreateCover(Display* display, int width, int height) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = BlackPixel(display, DefaultScreen(display));
    const Window window =
        XCreateWindow(display, DefaultRootWindow(display), 0, 0, static_cast<unsigned>(width),
                      static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                      CWOverrideRedirect | CWBackPixel, &attributes);
    XStoreName(display, window, "xscene");
    XMapRaised(display, window);
    XSync(display, False);
    return window;
}

}  // namespace

int main(int argc, char** argv) {
    int fps = 30;
    int seconds = 0;
    bool still = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--fps") && i + 1 < argc && ParseInt(argv[i + 1], 1, 120, fps)) {
            ++i;
        } else if (arg == "--still") {
            still = true;
        } else if (arg == "-t" && i + 1 < argc && ParseInt(argv[i + 1], 1, 86400, seconds)) {
            ++i;
        } else {
            std::fprintf(stderr, "usage: xscene [--fps 1..120] [--still] [-t SECONDS]\n");
            return 1;
        }
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        const char* name = std::getenv("DISPLAY");
        std::fprintf(stderr, "xscene: cannot open the X display '%s'\n", name ? name : "");
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = OnStop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const int width = DisplayWidth(display, DefaultScreen(display));
    const int height = DisplayHeight(display, DefaultScreen(display));
    const Window window = CreateCover(display, width, height);
    {
        CScenePainter painter(display, window, width, height, still);
        const std::uint64_t start = NowNs();
        const std::uint64_t period = 1000000000ULL / static_cast<unsigned>(fps);
        const std::uint64_t end = seconds > 0 ? start + static_cast<std::uint64_t>(seconds) * 1000000000ULL : 0;
        std::uint64_t n = 0;
        while (!g_stop) {
            const std::uint64_t now = NowNs();
            if (end && now >= end) break;
            const std::uint64_t due = start + n * period;
            if (due > now) {
                const std::uint64_t wait = due - now;
                timespec ts{static_cast<time_t>(wait / 1000000000ULL), static_cast<long>(wait % 1000000000ULL)};
                nanosleep(&ts, nullptr);
                continue;
            }
            // Late pictures are dropped, not made up.
            if (now - due > period) n = (now - start) / period;
            painter.Paint(n, fps);
            ++n;
        }
    }
    XDestroyWindow(display, window);
    XCloseDisplay(display);
    return 0;
}
