#include "xmlfragmentcheck.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Nesting deeper than this is refused rather than followed.
constexpr std::size_t kMaxDepth = 256;

bool IsNameStart(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}

bool IsNameChar(unsigned char c) {
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

class CScanner {
public:
    explicit CScanner(std::string_view s) : m_s(s) {}

    bool Run() {
        while (m_i < m_s.size()) {
            const char c = m_s[m_i];
            if (c == '<') {
                if (!Markup()) return false;
            } else if (c == '&') {
                if (!Reference()) return false;
            } else if (c == '>' && m_i >= 2 && m_s.substr(m_i - 2, 3) == "]]>") {
                return false;  // "]]>" is not allowed in text
            } else {
                ++m_i;
            }
        }
        return m_stack.empty();
    }

private:
    bool Skip(std::string_view open, std::string_view close) {
        const std::size_t end = m_s.find(close, m_i + open.size());
        if (end == std::string_view::npos) return false;
        m_i = end + close.size();
        return true;
    }

    bool Name(std::string_view& name) {
        const std::size_t begin = m_i;
        if (m_i >= m_s.size() || !IsNameStart(static_cast<unsigned char>(m_s[m_i]))) return false;
        while (m_i < m_s.size() && IsNameChar(static_cast<unsigned char>(m_s[m_i]))) ++m_i;
        name = m_s.substr(begin, m_i - begin);
        return true;
    }

    void Blanks() {
        while (m_i < m_s.size() && IsBlank(m_s[m_i])) ++m_i;
    }

    bool Reference() {
        ++m_i;  // '&'
        if (m_i < m_s.size() && m_s[m_i] == '#') {
            ++m_i;
            bool hex = m_i < m_s.size() && m_s[m_i] == 'x';
            if (hex) ++m_i;
            const std::size_t begin = m_i;
            while (m_i < m_s.size() && (std::isdigit(static_cast<unsigned char>(m_s[m_i])) ||
                                        (hex && std::isxdigit(static_cast<unsigned char>(m_s[m_i])))))
                ++m_i;
            if (m_i == begin) return false;
        } else {
            std::string_view name;
            if (!Name(name)) return false;
            static const std::string_view kKnown[] = {"amp", "lt", "gt", "quot", "apos"};
            if (std::find(std::begin(kKnown), std::end(kKnown), name) == std::end(kKnown)) return false;
        }
        if (m_i >= m_s.size() || m_s[m_i] != ';') return false;
        ++m_i;
        return true;
    }

    bool Markup() {
        const std::string_view rest = m_s.substr(m_i);
        if (rest.substr(0, 4) == "<!--") {
            // "--" may only end a comment.
            const std::size_t dashes = m_s.find("--", m_i + 4);
            return dashes != std::string_view::npos && m_s.substr(dashes, 3) == "-->" && Skip("<!--", "-->");
        }
        if (rest.substr(0, 9) == "<![CDATA[") return Skip("<![CDATA[", "]]>");
        if (rest.substr(0, 2) == "<?") {
            // A declaration ("<?xml") is allowed only at the start of a document.
            m_i += 2;
            std::string_view target;
            if (!Name(target)) return false;
            std::string lower(target);
            for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (lower == "xml") return false;
            return Skip("", "?>");
        }
        if (rest.substr(0, 2) == "</") return EndTag();
        return StartTag();
    }

    bool EndTag() {
        m_i += 2;
        std::string_view name;
        if (!Name(name)) return false;
        Blanks();
        if (m_i >= m_s.size() || m_s[m_i] != '>') return false;
        ++m_i;
        if (m_stack.empty() || m_stack.back() != name) return false;
        m_stack.pop_back();
        return true;
    }

    bool StartTag() {
        ++m_i;
        std::string_view name;
        if (!Name(name)) return false;
        std::vector<std::string_view> attributes;
        for (;;) {
            const std::size_t before = m_i;
            Blanks();
            if (m_i >= m_s.size()) return false;
            if (m_s[m_i] == '>') {
                ++m_i;
                if (m_stack.size() >= kMaxDepth) return false;
                m_stack.push_back(name);
                return true;
            }
            if (m_s.substr(m_i, 2) == "/>") {
                m_i += 2;
                return true;
            }
            if (m_i == before) return false;  // attributes are separated by blanks
            std::string_view attr;
            if (!Name(attr)) return false;
            if (std::find(attributes.begin(), attributes.end(), attr) != attributes.end()) return false;
            attributes.push_back(attr);
            Blanks();
            if (m_i >= m_s.size() || m_s[m_i] != '=') return false;
            ++m_i;
            Blanks();
            if (m_i >= m_s.size() || (m_s[m_i] != '"' && m_s[m_i] != '\'')) return false;
            const char quote = m_s[m_i++];
            while (m_i < m_s.size() && m_s[m_i] != quote) {
                if (m_s[m_i] == '<') return false;
                if (m_s[m_i] == '&') {
                    if (!Reference()) return false;
                } else {
                    ++m_i;
                }
            }
            if (m_i >= m_s.size()) return false;
            ++m_i;
        }
    }

    std::string_view m_s;
    std::size_t m_i = 0;
    std::vector<std::string_view> m_stack;
};

}  // namespace

bool CXmlFragmentCheck::IsWellFormed(const std::string& text) { return CScanner(text).Run(); }
