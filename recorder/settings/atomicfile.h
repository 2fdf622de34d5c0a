// CAtomicFile: whole-file reads with a size limit and whole-file writes that
// never leave a half-written file behind (the text goes to a temporary file
// in the same folder, is flushed to disk and then renamed over the target).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class CAtomicFile {
public:
    enum ReadResult {
        READ_OK = 0,
        READ_MISSING = 1,  // no file at the path
        READ_FAILED = 2,   // exists but cannot be read, is no regular file or is too large
    };

    // Reads the whole file into content (emptied first).
    static ReadResult read(const std::string& path, std::size_t maxBytes, std::string& content);

    // Replaces the file's content, creating missing parent folders (mode 0700).
    // A symbolic link at the path is followed, so the file it names is
    // replaced and the link stays. An existing file keeps its permission bits;
    // a new one is readable and writable by its owner only.
    static bool write(const std::string& path, std::string_view content);

    // Creates the folder and every missing parent (mode 0700). True when the
    // folder exists afterwards.
    static bool makeFolders(const std::string& folder);

    static bool exists(const std::string& path);
};
