// CRegistryStore: one per-user key of typed values, kept in an ini file
// (registry.ini in the per-user settings folder). Each value has a name and
// a type, a string or a 32-bit number, and a read asks for one type: a value
// stored with the other type is not read.
//
// File format (UTF-8):
//   [SOFTWARE\orvix\Tolvane]
//   App_OutputFolder=sz:/home/ann/Videos
//   App_Gamma=dword:100
// "sz:" values are text, "dword:" values decimal numbers 0..4294967295.
// Value names are compared without regard to ASCII letter case, the first
// line of a name counts. In names and texts a backslash, the characters
// = ; # [ ] ", control characters and blanks at either end are escaped as
// \\, \n, \r, \t or \xHH; any other byte, UTF-8 text included, is kept as it
// is. A text with a broken escape or that is no valid UTF-8 cannot be read.
//
// Every write rewrites the file atomically, keeping the lines it does not
// change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "inifile.h"

class CRegistryStore {
public:
    static constexpr const char* kTolvaneKey = "SOFTWARE\\orvix\\Tolvane";

    // filePath: the store's file; keyName: the section that holds the key.
    explicit CRegistryStore(std::string filePath, std::string keyName = kTolvaneKey);

    // The user's store: $XDG_CONFIG_HOME/orvix/Tolvane/registry.ini.
    static std::string userStorePath();

    // Opens the key for reading. False when the file or the key is absent
    // or the file cannot be read.
    bool open();
    // Opens the key for reading and writing, creating the file and the key
    // when they are absent. False when that fails; nothing is written then.
    bool create();
    bool isOpen() const { return m_bOpen; }
    bool isWritable() const { return m_bWritable; }

    // A string value. The read fails like a read into a buffer of
    // bufferChars UTF-16 units would: a text of bufferChars units or more
    // (room for the terminator) is not read. A text holding a zero byte ends
    // there.
    bool readString(std::string_view name, std::string& value, std::size_t bufferChars = 1024) const;
    // A number value.
    bool readNumber(std::string_view name, std::uint32_t& value) const;

    // Writes need a key opened with create().
    bool writeString(std::string_view name, std::string_view value);
    bool writeNumber(std::string_view name, std::uint32_t value);
    // True when the value existed and is gone from the file.
    bool deleteValue(std::string_view name);

    // Escaping of names and texts as the file holds them (exposed for tests).
    static std::string escape(std::string_view text);
    // False when the text holds a broken escape.
    static bool unescape(std::string_view text, std::string& result);

private:
    // The stored text after the type tag, when the value has that type.
    bool rawValue(std::string_view name, std::string_view typeTag, std::string& text) const;
    bool writeRaw(std::string_view name, const std::string& typedText);

    CIniFile m_ini;
    std::string m_strKeyName;
    bool m_bOpen = false;
    bool m_bWritable = false;
};
