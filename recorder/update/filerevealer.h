// CFileRevealer: shows a file in the desktop's file manager, selected:
// through the FileManager1 D-Bus interface (ShowItems) where a file manager
// offers it, else by opening its folder with xdg-open. GUI thread.
#pragma once

#include <QString>

class CFileRevealer {
public:
    static void showFile(const QString& path);
};
