// crashcase MODE [FLV]: installs the crash handler as the recorder does and
// crashes in the given way: null (a write through a null pointer), abort,
// overflow (unbounded recursion), thread (a null write on a second thread),
// recording (a null write while the engine records test pictures into FLV),
// none (no crash: prints the dump folder and ends with 0). Before crashing it
// writes "crashing <monotonic ns>" to standard output.
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "crashhandler.h"
#include "crashreporttool.h"
#include "recordsession.h"

namespace {

volatile int* volatile g_null = nullptr;

void announce() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::printf("crashing %lld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    std::fflush(stdout);
}

// A real fault, also in builds whose sanitizer would report the null store.
__attribute__((noinline, no_sanitize("undefined"))) void crashByNullWrite() {
    announce();
    *g_null = 1;
}

__attribute__((noinline)) void crashByAbort() {
    announce();
    std::abort();
}

// Deep enough to use up any stack; the limit only keeps the compiler from
// calling it infinite.
volatile int g_depthLimit = 1 << 30;

__attribute__((noinline)) int crashByRecursion(int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    if (depth == 0) announce();
    if (depth > g_depthLimit) return 0;
    return crashByRecursion(depth + 1) + frame[0];
}

__attribute__((noinline)) void crashOnSecondThread() {
    std::thread worker([] { crashByNullWrite(); });
    worker.join();
}

__attribute__((noinline)) void crashDuringRecording(const char* path) {
    CRecordSession session;
    if (session.Open(320, 240, 15) != 0) std::exit(3);
    session.ChooseDevices({});
    if (session.Start(path, "") != 0) std::exit(3);
    std::vector<std::uint8_t> picture(320 * 240 * 4);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 45; ++i) {
        std::memset(picture.data(), i * 5, picture.size());
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        session.PushPicture(static_cast<std::uint32_t>(ms.count()), picture.data(), picture.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(66));
    }
    crashByNullWrite();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string program = CCrashHandler::programPath();
    CCrashReportTool::prepare(program);
    CCrashHandler::install(program, CCrashReportTool::afterDump, nullptr);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "null") crashByNullWrite();
    if (mode == "abort") crashByAbort();
    if (mode == "overflow") return crashByRecursion(0);
    if (mode == "thread") crashOnSecondThread();
    if (mode == "recording" && argc > 2) crashDuringRecording(argv[2]);
    if (mode == "none") {
        std::printf("%s\n", CCrashHandler::dumpFolder().c_str());
        CCrashHandler::uninstall();
        return 0;
    }
    return 2;
}
