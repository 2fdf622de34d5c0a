// CJsonWriter: builds an indented JSON text. Strings are escaped, and bytes
// that are not valid UTF-8 are written as \u00XX (read as Latin-1), so the
// text is always valid JSON whatever a file's strings hold.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CJsonWriter {
public:
    void BeginObject();
    void EndObject();
    void BeginArray();
    void EndArray();
    // The name of the next member of the open object.
    void Key(std::string_view name);

    void String(std::string_view text);
    // Not-a-number and the infinities have no JSON form: null.
    void Number(double value);
    void Integer(std::int64_t value);
    void Unsigned(std::uint64_t value);
    void Bool(bool value);
    void Null();

    const std::string& GetText() const { return m_strText; }

    // The quoted, escaped form of a byte string.
    static std::string Quote(std::string_view text);
    // The length of the valid UTF-8 sequence at p (at most `left` bytes), 0
    // when p starts none.
    static std::size_t Utf8SequenceLength(const unsigned char* p, std::size_t left);
    // The shortest text that reads back as the same double.
    static std::string FormatNumber(double value);

private:
    struct Level {
        bool bArray;
        bool bEmpty;
    };
    void BeforeValue();
    void Begin(char bracket, bool array);
    void End(char bracket);
    void NewLine();

    std::string m_strText;
    std::vector<Level> m_levels;
    bool m_bAfterKey = false;
};
