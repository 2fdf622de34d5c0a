#include "languagechoice.h"

#include <strings.h>

#include <cstdlib>

#include "languagetable.h"

namespace {

bool sameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

int CLanguageChoice::fromLocaleName(std::string_view locale) {
    // language[_territory][.codeset][@modifier]
    std::string_view name = locale.substr(0, locale.find_first_of(".@"));
    auto underscore = name.find('_');
    std::string_view language = name.substr(0, underscore);
    std::string_view territory =
        underscore == std::string_view::npos ? std::string_view() : name.substr(underscore + 1);
    if (sameText(language, "en")) return CLanguageTable::LANGUAGE_ENGLISH;
    if (sameText(language, "zh")) {
        return sameText(territory, "CN") || sameText(territory, "SG")
                   ? CLanguageTable::LANGUAGE_SIMPLIFIED_CHINESE
                   : CLanguageTable::LANGUAGE_TRADITIONAL_CHINESE;
    }
    return CLanguageTable::LANGUAGE_SIMPLIFIED_CHINESE;
}

std::string CLanguageChoice::localeFromEnvironment() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) return value;
    }
    return {};
}

int CLanguageChoice::fromEnvironment() {
    return fromLocaleName(localeFromEnvironment());
}
