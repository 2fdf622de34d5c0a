// CLanguageChoice: the user-interface language from the locale. Chinese
// locales of China and Singapore choose Simplified Chinese (0), other Chinese
// locales Traditional Chinese (1), English locales English (2), anything
// else Simplified Chinese (0).
#pragma once

#include <string>
#include <string_view>

class CLanguageChoice {
public:
    // The language index of a locale name such as "zh_CN.UTF-8",
    // "zh_TW", "en_GB.UTF-8@euro", "C".
    static int fromLocaleName(std::string_view locale);
    // The locale that decides the messages' language: the first non-empty
    // of LC_ALL, LC_MESSAGES and LANG; empty when none is set.
    static std::string localeFromEnvironment();
    static int fromEnvironment();
};
