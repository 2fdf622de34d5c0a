#include "languagetable.h"

#include <tinyxml.h>

#include <algorithm>
#include <cstring>

#include "atomicfile.h"
#include "basekit/logwrapper.h"

namespace {

// Larger files are not language files.
constexpr std::size_t kMaxFileBytes = 16 << 20;
// TinyXML parses nested elements recursively; deeper files are refused
// rather than overflowing the stack.
constexpr int kMaxDepth = 256;

std::size_t skipPast(const std::string& text, std::size_t from, const char* end) {
    auto pos = text.find(end, from);
    return pos == std::string::npos ? text.size() : pos + std::strlen(end);
}

// The deepest element nesting of the text, counted by its tags (comments,
// CDATA, declarations and quoted attribute values skipped).
int nestingDepth(const std::string& text) {
    int depth = 0;
    int deepest = 0;
    std::size_t i = 0;
    while ((i = text.find('<', i)) != std::string::npos) {
        if (text.compare(i, 4, "<!--") == 0) {
            i = skipPast(text, i + 4, "-->");
        } else if (text.compare(i, 9, "<![CDATA[") == 0) {
            i = skipPast(text, i + 9, "]]>");
        } else if (text.compare(i, 2, "<?") == 0) {
            i = skipPast(text, i + 2, "?>");
        } else if (text.compare(i, 2, "<!") == 0) {
            i = skipPast(text, i + 2, ">");
        } else if (text.compare(i, 2, "</") == 0) {
            --depth;
            i = skipPast(text, i + 2, ">");
        } else {
            char quote = 0;
            std::size_t j = i + 1;
            for (; j < text.size(); ++j) {
                char c = text[j];
                if (quote) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    break;
                }
            }
            if (j >= text.size() || text[j - 1] != '/') deepest = std::max(deepest, ++depth);
            i = j;
        }
    }
    return deepest;
}

// The file's text with line ends made "\n", as TinyXML's own file loading does.
bool readLanguageFile(const std::string& path, std::string& text) {
    std::string raw;
    if (CAtomicFile::read(path, kMaxFileBytes, raw) != CAtomicFile::READ_OK) return false;
    text.clear();
    text.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\r') {
            text += raw[i];
        } else {
            text += '\n';
            if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
        }
    }
    return true;
}

}  // namespace

CLanguageTable& CLanguageTable::instance() {
    static CLanguageTable table;
    return table;
}

const char* CLanguageTable::sectionName(int languageIndex) {
    switch (languageIndex) {
    case LANGUAGE_TRADITIONAL_CHINESE: return "zh_TW";
    case LANGUAGE_ENGLISH: return "en_US";
    default: return "zh_CH";
    }
}

void CLanguageTable::load(int languageIndex, const std::string& path) {
    if (!CAtomicFile::exists(path)) {
        UC_LOG(CLogWrapper::LOG_WARNING, " --- no language file " << path);
        return;
    }
    if (languageIndex < LANGUAGE_SIMPLIFIED_CHINESE || languageIndex > LANGUAGE_ENGLISH) {
        languageIndex = LANGUAGE_SIMPLIFIED_CHINESE;
    }
    m_nLanguageIndex = languageIndex;
    const char* section = sectionName(languageIndex);
    m_texts.clear();

    std::string text;
    if (!readLanguageFile(path, text) || nestingDepth(text) > kMaxDepth) {
        UC_LOG(CLogWrapper::LOG_ERROR, " --- cannot read " << path);
        return;
    }
    TiXmlDocument document;
    document.Parse(text.c_str(), nullptr, TIXML_ENCODING_UTF8);
    if (document.Error()) {
        UC_LOG(CLogWrapper::LOG_ERROR, " --- cannot parse " << path << ": " << document.ErrorDesc());
        return;
    }
    const TiXmlElement* root = document.RootElement();
    if (!root) return;
    for (const TiXmlElement* language = root->FirstChildElement(); language;
         language = language->NextSiblingElement()) {
        if (std::strcmp(language->Value(), section) != 0) continue;
        for (const TiXmlElement* entry = language->FirstChildElement(); entry;
             entry = entry->NextSiblingElement()) {
            const TiXmlAttribute* key = entry->FirstAttribute();
            if (!key) continue;
            const char* text = entry->GetText();
            m_texts.emplace(key->Value(), text ? text : "");  // keeps the first text of a key
        }
    }
    UC_LOG(CLogWrapper::LOG_INFO, "language " << section << ": " << m_texts.size() << " texts from " << path);
}

std::string CLanguageTable::lookup(std::string_view key) const {
    auto it = m_texts.find(key);
    return it == m_texts.end() ? std::string() : it->second;
}
