// CCrashHandler: the process's crash reporter. install() is the first thing
// main does: it makes the dump folder, sets up an alternate signal stack for
// the calling thread (so that a stack overflow on it can still be reported)
// and handlers for SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT and SIGSYS.
//
// On such a signal the handler writes one minidump "<folder>/<GUID>.dmp"
// (CMinidumpWriter), calls the after-dump callback, restores the default
// action and raises the signal again, so that the process ends with it as
// it would have without the handler. Only the first crashing thread does
// this; a second one waits for the end. Everything the handler does is
// async-signal-safe: raw system calls on memory set aside at install().
//
// Threads: install() and uninstall() on the main thread; the handler runs
// on whichever thread crashed. Threads the program starts later have no
// alternate stack, so a stack overflow on one of them ends the process
// without a dump; every other crash on them is reported.
#pragma once

#include <string>

class CCrashHandler {
public:
    // Runs in the crashed process after the dump attempt: folder is the dump
    // folder, dumpPath the file (empty when it could not be written),
    // succeeded whether the whole dump was written. Must be
    // async-signal-safe. The result is not looked at.
    using AfterDump = bool (*)(const char* folder, const char* dumpPath, bool succeeded, void* context);

    // The dump folder for a program: "<programPath>.dmp" when it exists or
    // can be made and can be written, else
    // "$XDG_STATE_HOME/orvix/Tolvane/tolvane.dmp" (XDG_STATE_HOME defaulting
    // to ~/.local/state), made when missing. Empty when neither works.
    static std::string chooseDumpFolder(const std::string& programPath);

    // The running program's full path (from /proc/self/exe).
    static std::string programPath();

    // Installs the handler with the dump folder of programPath. False when
    // no dump folder could be made (the handler is installed all the same:
    // the callback still runs).
    static bool install(const std::string& programPath, AfterDump afterDump, void* context);
    // Puts the previous signal actions back.
    static void uninstall();

    static bool isInstalled();
    // The folder dumps go to; empty when none.
    static std::string dumpFolder();
};
