// CIniFile: an ini file ("[section]" lines, "key=value" lines, ';' and '#'
// comment lines) read and changed the way the system's profile functions do
// it: section and key names are compared without regard to ASCII letter
// case, the first occurrence counts, keys and values are trimmed of blanks,
// and changing a value keeps every other line of the file as it stands.
// Saving replaces the file atomically.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class CIniFile {
public:
    // Files larger than this are not read (and therefore never rewritten).
    static constexpr std::size_t kMaxFileBytes = 1 << 20;

    enum LoadState {
        LOAD_NONE = 0,     // load() not called yet
        LOAD_OK = 1,       // the file was read
        LOAD_MISSING = 2,  // there is no file yet
        LOAD_FAILED = 3,   // the file exists but cannot be read; save() refuses to replace it
    };

    explicit CIniFile(std::string path);

    const std::string& path() const { return m_strPath; }

    // Reads the file; forgets earlier content.
    LoadState load();
    LoadState loadState() const { return m_nLoadState; }

    // The trimmed value of the first key of that name in the first section of
    // that name; nothing when either is absent.
    std::optional<std::string> value(std::string_view section, std::string_view key) const;

    // Replaces the first such key's value, or adds the key at the end of the
    // first such section, or adds the section at the end of the file. False
    // (nothing changed) when a name is empty or a text holds a line break, a
    // key holds '=' or a section name holds ']'.
    bool setValue(std::string_view section, std::string_view key, std::string_view value);

    // Removes every key of that name from every section of that name. True
    // when one was removed.
    bool removeValue(std::string_view section, std::string_view key);

    bool hasSection(std::string_view section) const;
    // Adds an empty section at the end unless one of that name exists.
    bool addSection(std::string_view section);

    // Adds a comment line (the text after "; ") at the top of the file.
    void addHeaderComment(std::string_view text);

    // Writes the lines back; false when the file could not be read before or
    // cannot be written now.
    bool save() const;

private:
    struct Position {
        std::size_t sectionLine;  // the "[section]" line
        std::size_t endLine;      // one past the section's last line
    };
    std::optional<Position> findSection(std::string_view section) const;
    std::optional<std::size_t> findKey(const Position& section, std::string_view key) const;

    std::string m_strPath;
    std::vector<std::string> m_lines;
    LoadState m_nLoadState = LOAD_NONE;
};
