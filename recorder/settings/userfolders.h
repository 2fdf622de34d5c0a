// CUserFolders: the per-user folders the recorder keeps its files in and
// records into, found the XDG way.
#pragma once

#include <string>

class CUserFolders {
public:
    // $HOME, else the home folder of the user's account; empty when neither is known.
    static std::string homeFolder();
    // $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config.
    static std::string configHome();
    // The recorder's per-user folder: configHome() + "/orvix/Tolvane".
    static std::string settingsFolder();
    // The user's documents folder: what `xdg-user-dir DOCUMENTS` names when
    // that is an existing folder other than the home folder itself (the
    // tool's answer when no documents folder is set up), else $HOME/Documents
    // when it exists, else the home folder.
    static std::string documentsFolder();
    // The running program's full path; empty when it cannot be found.
    static std::string programPath();

private:
    static std::string xdgUserDir(const char* name);
};
