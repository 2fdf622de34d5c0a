// CCommandLine: the options the bar is started with.
//
//   /wnd <hex>      the host's window id (kept for the host link)
//   /name <text>    hostName, the file-name prefix while host-driven
//   /mic <text>-    microphone name for this start, ended by "- "
//   /speak <text>-  speaker name for this start, ended by "- "
//   /bmic <n>       non-zero: no microphone
//   /bspeak <n>     non-zero: no speaker
//   /rec <n>        apply the device options; 1 also starts recording
//
// Options are found anywhere in the command line; the first occurrence of a
// name counts. A value starts after the option name and the blank behind it
// and runs to its terminator (a blank, or "- " for the two device names);
// the command line gets one blank appended first, so a value at the very end
// still ends. A value whose terminator never comes is empty.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class CCommandLine {
public:
    // The program's arguments joined with blanks (without the program name).
    static CCommandLine parse(std::string_view commandLine);
    static CCommandLine fromArguments(int argc, const char* const* argv);

    // The raw value of an option ("/name"), empty when absent.
    static std::string value(std::string_view commandLine, std::string_view option, std::string_view terminator);

    bool hasHostWindow = false;
    std::uint32_t hostWindow = 0;  // "/wnd"
    std::string hostName;          // "/name"
    std::string micName;           // "/mic"
    std::string speakerName;       // "/speak"
    bool micDisabled = false;      // "/bmic"
    bool speakerDisabled = false;  // "/bspeak"
    bool hasRec = false;           // "/rec" with a value: apply the device options
    int rec = 0;                   // its value; 1 starts recording
};
