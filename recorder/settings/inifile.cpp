#include "inifile.h"

#include <strings.h>

#include "atomicfile.h"

namespace {

constexpr std::string_view kBlanks = " \t\f\v";

std::string_view trim(std::string_view text) {
    auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool isComment(std::string_view trimmed) {
    return !trimmed.empty() && (trimmed[0] == ';' || trimmed[0] == '#');
}

// The name of a "[section]" line, or nothing when the line is no section line.
std::optional<std::string_view> sectionName(std::string_view line) {
    std::string_view t = trim(line);
    if (t.empty() || t[0] != '[') return std::nullopt;
    auto close = t.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return trim(t.substr(1, close - 1));
}

bool hasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

CIniFile::CIniFile(std::string path) : m_strPath(std::move(path)) {}

CIniFile::LoadState CIniFile::load() {
    m_lines.clear();
    std::string content;
    switch (CAtomicFile::read(m_strPath, kMaxFileBytes, content)) {
    case CAtomicFile::READ_OK: break;
    case CAtomicFile::READ_MISSING: return m_nLoadState = LOAD_MISSING;
    default: return m_nLoadState = LOAD_FAILED;
    }
    if (content.compare(0, 3, "\xEF\xBB\xBF") == 0) content.erase(0, 3);
    std::size_t start = 0;
    while (start < content.size()) {
        auto end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        m_lines.push_back(std::move(line));
        start = end + 1;
    }
    return m_nLoadState = LOAD_OK;
}

std::optional<CIniFile::Position> CIniFile::findSection(std::string_view section) const {
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        auto name = sectionName(m_lines[i]);
        if (!name || !sameName(*name, section)) continue;
        std::size_t end = i + 1;
        while (end < m_lines.size() && !sectionName(m_lines[end])) ++end;
        return Position{i, end};
    }
    return std::nullopt;
}

std::optional<std::size_t> CIniFile::findKey(const Position& section, std::string_view key) const {
    for (std::size_t i = section.sectionLine + 1; i < section.endLine; ++i) {
        std::string_view line = trim(m_lines[i]);
        if (isComment(line)) continue;
        auto eq = line.find('=');
        if (eq != std::string_view::npos && sameName(trim(line.substr(0, eq)), key)) return i;
    }
    return std::nullopt;
}

std::optional<std::string> CIniFile::value(std::string_view section, std::string_view key) const {
    auto pos = findSection(section);
    if (!pos) return std::nullopt;
    auto line = findKey(*pos, key);
    if (!line) return std::nullopt;
    std::string_view text = m_lines[*line];
    return std::string(trim(text.substr(text.find('=') + 1)));
}

bool CIniFile::hasSection(std::string_view section) const {
    return findSection(section).has_value();
}

bool CIniFile::addSection(std::string_view section) {
    section = trim(section);
    if (section.empty() || hasLineBreak(section) || section.find(']') != std::string_view::npos) return false;
    if (hasSection(section)) return true;
    if (!m_lines.empty() && !trim(m_lines.back()).empty()) m_lines.emplace_back();
    m_lines.push_back("[" + std::string(section) + "]");
    return true;
}

bool CIniFile::setValue(std::string_view section, std::string_view key, std::string_view value) {
    key = trim(key);
    value = trim(value);
    if (key.empty() || hasLineBreak(key) || hasLineBreak(value) || key.find('=') != std::string_view::npos ||
        isComment(key) || sectionName(key) || !addSection(section)) {
        return false;
    }
    Position pos = *findSection(trim(section));
    std::string line = std::string(key) + "=" + std::string(value);
    if (auto existing = findKey(pos, key)) {
        m_lines[*existing] = std::move(line);
        return true;
    }
    // After the section's last non-blank line, so that blank separators stay.
    std::size_t insertAt = pos.endLine;
    while (insertAt > pos.sectionLine + 1 && trim(m_lines[insertAt - 1]).empty()) --insertAt;
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(line));
    return true;
}

bool CIniFile::removeValue(std::string_view section, std::string_view key) {
    bool removed = false;
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        auto name = sectionName(m_lines[i]);
        if (!name || !sameName(*name, section)) continue;
        for (std::size_t j = i + 1; j < m_lines.size() && !sectionName(m_lines[j]);) {
            std::string_view line = trim(m_lines[j]);
            auto eq = line.find('=');
            if (!isComment(line) && eq != std::string_view::npos && sameName(trim(line.substr(0, eq)), key)) {
                m_lines.erase(m_lines.begin() + static_cast<std::ptrdiff_t>(j));
                removed = true;
            } else {
                ++j;
            }
        }
    }
    return removed;
}

void CIniFile::addHeaderComment(std::string_view text) {
    if (hasLineBreak(text)) return;
    m_lines.insert(m_lines.begin(), "; " + std::string(text));
}

bool CIniFile::save() const {
    if (m_nLoadState == LOAD_FAILED) return false;
    std::string content;
    for (const auto& line : m_lines) {
        content += line;
        content += '\n';
    }
    return CAtomicFile::write(m_strPath, content);
}
