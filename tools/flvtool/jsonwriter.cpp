#include "jsonwriter.h"

#include <charconv>
#include <cmath>
#include <cstdio>

std::size_t CJsonWriter::Utf8SequenceLength(const unsigned char* p, std::size_t left) {
    const unsigned char c = p[0];
    std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || len > left) return 0;
    for (std::size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
    }
    if (len == 2 && c < 0xC2) return 0;                           // overlong
    if (len == 3 && c == 0xE0 && p[1] < 0xA0) return 0;           // overlong
    if (len == 3 && c == 0xED && p[1] >= 0xA0) return 0;          // surrogate
    if (len == 4 && (c > 0xF4 || (c == 0xF0 && p[1] < 0x90) || (c == 0xF4 && p[1] >= 0x90))) {
        return 0;  // overlong or beyond U+10FFFF
    }
    return len;
}

void CJsonWriter::NewLine() {
    m_strText += '\n';
    m_strText.append(m_levels.size() * 2, ' ');
}

void CJsonWriter::BeforeValue() {
    if (m_bAfterKey) {
        m_bAfterKey = false;
        return;
    }
    if (m_levels.empty()) return;
    if (!m_levels.back().bEmpty) m_strText += ',';
    m_levels.back().bEmpty = false;
    NewLine();
}

void CJsonWriter::Begin(char bracket, bool array) {
    BeforeValue();
    m_strText += bracket;
    m_levels.push_back({array, true});
}

void CJsonWriter::End(char bracket) {
    const bool empty = m_levels.back().bEmpty;
    m_levels.pop_back();
    if (!empty) NewLine();
    m_strText += bracket;
    if (m_levels.empty()) m_strText += '\n';
}

void CJsonWriter::BeginObject() { Begin('{', false); }
void CJsonWriter::EndObject() { End('}'); }
void CJsonWriter::BeginArray() { Begin('[', true); }
void CJsonWriter::EndArray() { End(']'); }

void CJsonWriter::Key(std::string_view name) {
    BeforeValue();
    m_strText += Quote(name);
    m_strText += ": ";
    m_bAfterKey = true;
}

void CJsonWriter::String(std::string_view text) {
    BeforeValue();
    m_strText += Quote(text);
}

void CJsonWriter::Number(double value) {
    BeforeValue();
    m_strText += std::isfinite(value) ? FormatNumber(value) : "null";
}

void CJsonWriter::Integer(std::int64_t value) {
    BeforeValue();
    m_strText += std::to_string(value);
}

void CJsonWriter::Unsigned(std::uint64_t value) {
    BeforeValue();
    m_strText += std::to_string(value);
}

void CJsonWriter::Bool(bool value) {
    BeforeValue();
    m_strText += value ? "true" : "false";
}

void CJsonWriter::Null() {
    BeforeValue();
    m_strText += "null";
}

std::string CJsonWriter::Quote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t left = text.size();
    while (left > 0) {
        const unsigned char c = *p;
        std::size_t len = Utf8SequenceLength(p, left);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F || len == 0) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04X", c);
            out += buf;
            len = 1;
        } else {
            out.append(reinterpret_cast<const char*>(p), len);
        }
        if (len == 0) len = 1;
        p += len;
        left -= len;
    }
    out += '"';
    return out;
}

std::string CJsonWriter::FormatNumber(double value) {
    if (!std::isfinite(value)) return std::isnan(value) ? "NaN" : (value < 0 ? "-Infinity" : "Infinity");
    char buf[64];
    auto result = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, result.ptr);
}
