// CLanguageTable: the process-wide table of the texts the program shows,
// looked up by key (all keys begin with ID_TEXT_). It is filled once at
// start-up from language.xml, from the section of the chosen language:
//
//   <anyroot>
//     <zh_CH> <string id="ID_TEXT_TIPS">提示</string> ... </zh_CH>
//     <zh_TW> ... </zh_TW>
//     <en_US> ... </en_US>
//   </anyroot>
//
// Under a language element every element counts whatever its name: its
// first attribute's value is the key, its text the string. Keys and texts
// are UTF-8. Used from the GUI thread.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

class CLanguageTable {
public:
    enum { LANGUAGE_SIMPLIFIED_CHINESE = 0, LANGUAGE_TRADITIONAL_CHINESE = 1, LANGUAGE_ENGLISH = 2 };

    // Created on first use, destroyed at process exit.
    static CLanguageTable& instance();

    // Fills the table from the section of languageIndex (0 "zh_CH",
    // 1 "zh_TW", 2 "en_US"; other values count as 0). A missing file leaves
    // the table and the language index as they are; a file that cannot be
    // parsed leaves the table empty. The first text of a key wins.
    void load(int languageIndex, const std::string& path);

    // The text for the key (case-sensitive), or an empty string.
    std::string lookup(std::string_view key) const;

    // 0, 1 or 2; 0 until a file was loaded.
    int languageIndex() const { return m_nLanguageIndex; }

    // The section name of a language index.
    static const char* sectionName(int languageIndex);

    CLanguageTable(const CLanguageTable&) = delete;
    CLanguageTable& operator=(const CLanguageTable&) = delete;

private:
    CLanguageTable() = default;

    std::map<std::string, std::string, std::less<>> m_texts;
    int m_nLanguageIndex = 0;
};
