// CCrashReportTool: the maker's crash-report program "Tellmark.app" beside
// the recorder, started after a crash dump with "/with_send" so that the
// user can send the dump. prepare() runs at start-up (it may allocate);
// afterDump() is the crash handler's after-dump callback and runs in the
// crashed process: it only uses async-signal-safe calls and memory set
// aside by prepare().
#pragma once

#include <string>

class CCrashReportTool {
public:
    // "<folder of programPath>/Tellmark.app".
    static std::string toolPath(const std::string& programPath);

    // Remembers the tool's path and its argument list.
    static void prepare(const std::string& programPath);

    // When the tool exists: writes "crash_report::afterDump, directory = %s"
    // with the tool's path to standard error and starts the tool once,
    // detached (fork, fork again, exec; the middle process ends at once and
    // is reaped, so the tool is nobody's child in the crashed process).
    // Returns true.
    static bool afterDump(const char* folder, const char* dumpPath, bool succeeded, void* context);
};
