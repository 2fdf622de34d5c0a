// CAutoStartEntry: the user's XDG autostart entry that starts the recorder
// when the user logs in ($XDG_CONFIG_HOME/autostart/tolvane.desktop).
#pragma once

#include <string>

class CAutoStartEntry {
public:
    explicit CAutoStartEntry(std::string desktopFilePath);

    static std::string userEntryPath();

    // Writes the entry with Exec= the program path, quoted.
    bool enable(const std::string& programPath);
    // Removes the entry. True when there is none afterwards.
    bool disable();
    // True when the entry exists, names a program (non-empty Exec) and is
    // not hidden (Hidden=true is the desktop's way of switching it off).
    bool isEnabled() const;

    // The Exec value that starts exactly programPath, without arguments: the
    // path in double quotes with " ` $ \ escaped by a backslash and % doubled,
    // then written with the string escapes of desktop entries (\\ \n \t \r).
    static std::string execValue(const std::string& programPath);

private:
    std::string m_strPath;
};
