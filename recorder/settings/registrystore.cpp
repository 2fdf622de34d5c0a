#include "registrystore.h"

#include <strings.h>

#include <charconv>
#include <optional>

#include "basekit/logwrapper.h"
#include "userfolders.h"

namespace {

constexpr std::string_view kStringTag = "sz:";
constexpr std::string_view kNumberTag = "dword:";

bool needsHexEscape(unsigned char c) {
    return c < 0x20 || c == 0x7f || c == '=' || c == ';' || c == '#' || c == '[' || c == ']' || c == '"';
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Length in UTF-16 units of valid UTF-8 text; nothing when the text is not
// valid UTF-8 (overlong forms, surrogates and values above U+10FFFF included).
std::optional<std::size_t> utf16Length(std::string_view text) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
        if (len == 0 || i + len > text.size()) return std::nullopt;
        std::uint32_t cp = len == 1 ? c : c & (0x7f >> len);
        for (std::size_t k = 1; k < len; ++k) {
            auto cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xc0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (cc & 0x3f);
        }
        static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return std::nullopt;
        units += cp >= 0x10000 ? 2 : 1;
        i += len;
    }
    return units;
}

}  // namespace

CRegistryStore::CRegistryStore(std::string filePath, std::string keyName)
    : m_ini(std::move(filePath)), m_strKeyName(std::move(keyName)) {}

std::string CRegistryStore::userStorePath() {
    return CUserFolders::settingsFolder() + "/registry.ini";
}

std::string CRegistryStore::escape(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        bool edgeBlank = c == ' ' && (i == 0 || i + 1 == text.size());
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (needsHexEscape(c) || edgeBlank) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool CRegistryStore::unescape(std::string_view text, std::string& result) {
    result.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            result += text[i];
            continue;
        }
        if (++i >= text.size()) return false;
        switch (text[i]) {
        case '\\': result += '\\'; break;
        case 'n': result += '\n'; break;
        case 'r': result += '\r'; break;
        case 't': result += '\t'; break;
        case 'x': {
            int hi = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
            int lo = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
            if (hi < 0 || lo < 0) return false;
            result += static_cast<char>(hi * 16 + lo);
            i += 2;
            break;
        }
        default: return false;
        }
    }
    return true;
}

bool CRegistryStore::open() {
    m_bOpen = m_bWritable = false;
    if (m_ini.load() != CIniFile::LOAD_OK || !m_ini.hasSection(m_strKeyName)) return false;
    m_bOpen = true;
    return true;
}

bool CRegistryStore::create() {
    m_bOpen = m_bWritable = false;
    CIniFile::LoadState state = m_ini.load();
    if (state == CIniFile::LOAD_FAILED) {
        UC_LOG(CLogWrapper::LOG_WARNING, " --- cannot read " << m_ini.path() << ", not replacing it");
        return false;
    }
    if (!m_ini.hasSection(m_strKeyName)) {
        if (state == CIniFile::LOAD_MISSING) {
            m_ini.addHeaderComment(
                "Tolvane per-user values: name=sz:text (UTF-8) or name=dword:number (32-bit)");
        }
        if (!m_ini.addSection(m_strKeyName) || !m_ini.save()) {
            m_ini.load();
            return false;
        }
    }
    m_bOpen = m_bWritable = true;
    return true;
}

bool CRegistryStore::rawValue(std::string_view name, std::string_view typeTag, std::string& text) const {
    if (!m_bOpen) return false;
    auto stored = m_ini.value(m_strKeyName, escape(name));
    if (!stored || stored->size() < typeTag.size() ||
        ::strncasecmp(stored->data(), typeTag.data(), typeTag.size()) != 0) {
        return false;
    }
    text = stored->substr(typeTag.size());
    return true;
}

bool CRegistryStore::readString(std::string_view name, std::string& value, std::size_t bufferChars) const {
    std::string raw;
    std::string text;
    if (!rawValue(name, kStringTag, raw) || !unescape(raw, text)) return false;
    if (auto zero = text.find('\0'); zero != std::string::npos) text.resize(zero);
    auto units = utf16Length(text);
    if (!units || *units >= bufferChars) return false;
    value = std::move(text);
    return true;
}

bool CRegistryStore::readNumber(std::string_view name, std::uint32_t& value) const {
    std::string raw;
    if (!rawValue(name, kNumberTag, raw) || raw.empty()) return false;
    std::uint32_t number = 0;
    auto [end, ec] = std::from_chars(raw.data(), raw.data() + raw.size(), number, 10);
    if (ec != std::errc() || end != raw.data() + raw.size()) return false;
    value = number;
    return true;
}

bool CRegistryStore::writeRaw(std::string_view name, const std::string& typedText) {
    if (!m_bWritable || name.empty()) return false;
    // Replaces the first line of the name, the one reads see.
    if (!m_ini.setValue(m_strKeyName, escape(name), typedText) || !m_ini.save()) {
        m_ini.load();
        return false;
    }
    return true;
}

bool CRegistryStore::writeString(std::string_view name, std::string_view value) {
    return writeRaw(name, std::string(kStringTag) + escape(value));
}

bool CRegistryStore::writeNumber(std::string_view name, std::uint32_t value) {
    return writeRaw(name, std::string(kNumberTag) + std::to_string(value));
}

bool CRegistryStore::deleteValue(std::string_view name) {
    if (!m_bWritable || !m_ini.removeValue(m_strKeyName, escape(name))) return false;
    if (!m_ini.save()) {
        m_ini.load();
        return false;
    }
    return true;
}
