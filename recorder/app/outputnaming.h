// COutputNaming: where a recording goes. The folder is made level by level
// when missing; the file is named after the local time, with the host's
// name in front while a host drives the bar.
#pragma once

#include <ctime>
#include <string>

class COutputNaming {
public:
    // "%04d%02d%02d%02d%02d%02d.flv" of the local time.
    static std::string fileName(const std::tm& localTime);
    // folder + "/" + (hostDriven ? hostName + "-" : "") + fileName.
    static std::string outputPath(const std::string& folder, const std::tm& localTime, bool hostDriven,
                                  const std::string& hostName);
    // The audio dump beside the recording: ".flv" replaced by ".AAC".
    static std::string dumpPath(const std::string& flvPath);
    // Creates each missing level of folder; true when it exists afterwards.
    static bool ensureFolder(const std::string& folder);
    static bool folderExists(const std::string& folder);
    static bool fileExists(const std::string& path);
};
