// Grab and scale timings of canvasengine against private Xvfb servers
// (median of many calls, screen grabs with the cursor drawn in):
// shared-memory and XGetImage grabs of 1280x720 and 1920x1080 screens, the
// area-averaging scaler for 1920x1080 -> 1280x720, and the whole draw of a
// 1920x1080 screen onto a 1280x720 canvas picture; with change tracking, the
// draw onto a kept picture of a still screen, of a screen where a 100x30
// clock changed, and of a screen repainted whole between two draws.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "canvasengine/halftonescaler.h"
#include "canvasengine/obsenginedc.h"
#include "devicecontext.h"
#include "screengrabber.h"
#include "testscreen.h"
#include "xvfbserver.h"

namespace {

// The median time of one call in ms (the machine may be shared: the median
// is less moved by other load than the mean); -1 when a call failed.
// `before` runs untimed ahead of each call.
double MedianMs(int runs, const std::function<bool()>& work, const std::function<void()>& before = {}) {
    work();  // warm up (segment, buffers)
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        if (before) before();
        const auto t0 = std::chrono::steady_clock::now();
        if (!work()) return -1;
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void BenchScreen(int w, int h, int runs) {
    CXvfbServer server;
    if (!server.Start(w, h, 24)) {
        std::printf("Xvfb %dx%d did not start\n", w, h);
        return;
    }
    // A painted screen: Xvfb's frame buffer in memory, as a real one is.
    CTestScreen screen(server.GetDisplayName());
    for (int i = 0; i < 64; ++i)
        screen.FillRect((i % 8) * w / 8, (i / 8) * h / 8, w / 8, h / 8, 0x010203u * static_cast<unsigned>(i * 3 + 1));
    auto grabber = CScreenGrabber::Open(server.GetDisplayName().c_str());
    if (!grabber) return;
    GrabbedPicture picture;
    const double shm = MedianMs(runs, [&] { return grabber->Grab(0, 0, w, h, picture); });
    std::vector<std::uint8_t> canvas(1280 * 720 * 4);
    CDeviceContext dc(canvas.data(), 1280, 720, 1280 * 4, grabber.get());
    const double draw = MedianMs(runs, [&] { return grabber->StretchBlt(&dc, 0, 0, 1280, 720, 0, 0, w, h); });
    // Change tracking: the canvas's picture kept from one draw to the next.
    std::vector<std::uint8_t> kept(1280 * 720 * 4);
    const auto keptDraw = [&] {
        CDeviceContext area(kept.data(), 1280, 720, 1280 * 4, static_cast<CScreenBackend*>(nullptr), true, 0xFF000000);
        const bool ok = grabber->StretchBlt(&area, 0, 0, 1280, 720, 0, 0, w, h);
        area.Finish();
        return ok;
    };
    unsigned tick = 0;
    const double still = MedianMs(runs, keptDraw);
    const double clock = MedianMs(runs, keptDraw, [&] { screen.FillRect(w / 2, h / 2, 100, 30, 0x010101u * (++tick % 200)); });
    const double all = MedianMs(runs / 4, keptDraw, [&] { screen.FillRect(0, 0, w, h, 0x010101u * (++tick % 200)); });
    std::printf("%4dx%-4d change tracking (%s): still %6.2f ms, a clock changed %6.2f ms, all changed %6.2f ms\n", w,
                h, grabber->IsTrackingChanges() ? "on" : "off", still, clock, all);
    grabber->SetUseShm(false);
    const double plain = MedianMs(runs / 10, [&] { return grabber->Grab(0, 0, w, h, picture); });
    std::printf("%4dx%-4d grab: MIT-SHM %6.2f ms, XGetImage %6.2f ms; draw onto 1280x720 (SHM) %6.2f ms\n", w, h,
                shm, plain, draw);
}

}  // namespace

int main() {
    BenchScreen(1280, 720, 200);
    BenchScreen(1920, 1080, 200);
    std::vector<std::uint8_t> src(1920 * 1080 * 4), dst(1280 * 720 * 4);
    for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint8_t>(i * 2654435761u >> 24);
    CHalftoneScaler scaler;
    const double scale = MedianMs(200, [&] { return scaler.Draw(src.data(), 1920, 1080, 1920 * 4, dst.data(), 1280, 720, 1280 * 4); });
    const double copy = MedianMs(200, [&] { return scaler.Draw(dst.data(), 1280, 720, 1280 * 4, src.data(), 1280, 720, 1280 * 4); });
    std::printf("scaler 1920x1080 -> 1280x720: %6.2f ms; 1280x720 copy: %6.2f ms\n", scale, copy);
    return 0;
}
