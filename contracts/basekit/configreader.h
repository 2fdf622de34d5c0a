// CConfigReader: the program folder and the base configuration file.
//
// The configuration file is an ini file ("[section]" lines, "key=value"
// lines, ';' or '#' comments), read from, in this order:
//   $TOLVANE_CONFIG (a file path),
//   $XDG_CONFIG_HOME/orvix/Tolvane/tolvane.ini (else ~/.config/orvix/...).
// It is read once, on first use.
#pragma once

#include <cstddef>
#include <string>

class CConfigReader {
public:
    // The folder of the running program, without a trailing '/'; null when it
    // cannot be found. The text stays valid for the life of the process.
    static const char* GetProcRunHome();
    // Copies the value of section/key into buffer (at most size - 1 bytes and
    // a terminator) and returns non-zero when found; otherwise copies the
    // default (when given) and returns 0.
    static int GetStringParam(const char* section, const char* key, char* buffer, std::size_t size,
                              const char* defaultValue);
    // The path of the configuration file that is read.
    static std::string GetConfigPath();
    // Forgets the loaded file so that the next call reads it again (tests).
    static void Reload();
};
