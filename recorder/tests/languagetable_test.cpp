#include "languagetable.h"

#include <gtest/gtest.h>

#include "languagechoice.h"
#include "testfolder.h"

namespace {

const char* const kSample = R"(<?xml version="1.0" encoding="UTF-8"?>
<anything>
  <zh_CH>
    <string id="ID_TEXT_TIPS">提示</string>
  </zh_CH>
  <EN_US>
    <string id="ID_TEXT_TIPS">wrong case section</string>
  </EN_US>
  <en_US>
    <string id="ID_TEXT_TIPS">First</string>
    <string id="ID_TEXT_TIPS">Second</string>
    <string id="id_text_tips">lower-case key</string>
    <text key="ID_TEXT_OTHER" id="ignored">Any element name, first attribute</text>
    <string>no attribute: skipped</string>
    <string id="ID_TEXT_EMPTY"/>
    <string id="ID_TEXT_MULTY_CONNECT_TIP">One\nTwo &amp; &lt;three&gt;</string>
  </en_US>
  <en_US>
    <string id="ID_TEXT_TIPS">later section</string>
    <string id="ID_TEXT_LATER">from a second en_US element</string>
  </en_US>
</anything>
)";

TEST(LanguageTable, ReadsTheChosenSectionByTheRules) {
    CTestFolder folder;
    folder.write("language.xml", kSample);
    CLanguageTable& table = CLanguageTable::instance();
    EXPECT_EQ(&table, &CLanguageTable::instance());
    table.load(2, folder.file("language.xml"));
    EXPECT_EQ(table.languageIndex(), 2);
    EXPECT_EQ(table.lookup("ID_TEXT_TIPS"), "First") << "first occurrence wins, EN_US is another section";
    EXPECT_EQ(table.lookup("id_text_tips"), "lower-case key");
    EXPECT_EQ(table.lookup("Id_Text_Tips"), "");
    EXPECT_EQ(table.lookup("ID_TEXT_OTHER"), "Any element name, first attribute");
    EXPECT_EQ(table.lookup("ignored"), "");
    EXPECT_EQ(table.lookup("ID_TEXT_EMPTY"), "");
    EXPECT_EQ(table.lookup("ID_TEXT_MULTY_CONNECT_TIP"), "One\\nTwo & <three>")
        << "backslash-n stays two characters";
    EXPECT_EQ(table.lookup("ID_TEXT_LATER"), "from a second en_US element");
    EXPECT_EQ(table.lookup("ID_TEXT_UNKNOWN"), "");

    table.load(0, folder.file("language.xml"));
    EXPECT_EQ(table.languageIndex(), 0);
    EXPECT_EQ(table.lookup("ID_TEXT_TIPS"), "提示");
    EXPECT_EQ(table.lookup("ID_TEXT_OTHER"), "");

    table.load(1, folder.file("language.xml"));
    EXPECT_EQ(table.languageIndex(), 1);
    EXPECT_EQ(table.lookup("ID_TEXT_TIPS"), "") << "no zh_TW section";

    table.load(7, folder.file("language.xml"));
    EXPECT_EQ(table.languageIndex(), 0) << "an unknown index reads zh_CH";
    EXPECT_EQ(table.lookup("ID_TEXT_TIPS"), "提示");
}

TEST(LanguageTable, MissingFileKeepsTheTableAndBrokenFileEmptiesIt) {
    CTestFolder folder;
    folder.write("language.xml", kSample);
    CLanguageTable& table = CLanguageTable::instance();
    table.load(2, folder.file("language.xml"));
    table.load(0, folder.file("missing.xml"));
    EXPECT_EQ(table.languageIndex(), 2);
    EXPECT_EQ(table.lookup("ID_TEXT_TIPS"), "First");

    for (const char* broken : {"<root><en_US><string id=\"ID_TEXT_TIPS\">cut", "", "not xml at all",
                               "\xff\xfe<\x00r\x00>\x00", "<?xml version=\"1.0\"?><!-- only a comment -->"}) {
        table.load(2, folder.file("language.xml"));
        ASSERT_EQ(table.lookup("ID_TEXT_TIPS"), "First");
        folder.write("broken.xml", broken);
        table.load(1, folder.file("broken.xml"));
        EXPECT_EQ(table.languageIndex(), 1);
        EXPECT_EQ(table.lookup("ID_TEXT_TIPS"), "") << broken;
    }
    // Nesting deep enough to exhaust the parser's stack is refused, not parsed.
    std::string deep = "<root><en_US><string id=\"ID_TEXT_TIPS\">x</string>";
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    folder.write("deep.xml", deep);
    table.load(2, folder.file("language.xml"));
    table.load(2, folder.file("deep.xml"));
    EXPECT_EQ(table.lookup("ID_TEXT_TIPS"), "");
    // Line ends of any kind; self-closed and commented elements do not count as nesting.
    std::string nested = "<r>\r\n<!-- <a><a><a> -->";
    for (int i = 0; i < 200; ++i) nested += "<b x='>'/>";
    nested += "<en_US>\r<s id=\"ID_TEXT_TIPS\">ok</s></en_US></r>";
    folder.write("nested.xml", nested);
    table.load(2, folder.file("nested.xml"));
    EXPECT_EQ(table.lookup("ID_TEXT_TIPS"), "ok");
    // A folder in its place exists but cannot be parsed.
    table.load(2, folder.file("language.xml"));
    table.load(2, folder.path());
    EXPECT_EQ(table.lookup("ID_TEXT_TIPS"), "");
}

TEST(LanguageChoice, LocaleNamesChooseTheLanguage) {
    EXPECT_EQ(CLanguageChoice::fromLocaleName("zh_CN"), 0);
    EXPECT_EQ(CLanguageChoice::fromLocaleName("zh_CN.UTF-8"), 0);
    EXPECT_EQ(CLanguageChoice::fromLocaleName("zh_SG.GBK"), 0);
    EXPECT_EQ(CLanguageChoice::fromLocaleName("zh_TW.UTF-8"), 1);
    EXPECT_EQ(CLanguageChoice::fromLocaleName("zh_HK"), 1);
    EXPECT_EQ(CLanguageChoice::fromLocaleName("zh_MO.UTF-8@stroke"), 1);
    EXPECT_EQ(CLanguageChoice::fromLocaleName("en_US.UTF-8"), 2);
    EXPECT_EQ(CLanguageChoice::fromLocaleName("en_GB@euro"), 2);
    EXPECT_EQ(CLanguageChoice::fromLocaleName("en"), 2);
    EXPECT_EQ(CLanguageChoice::fromLocaleName("de_DE.UTF-8"), 0);
    EXPECT_EQ(CLanguageChoice::fromLocaleName("ja_JP.UTF-8"), 0);
    EXPECT_EQ(CLanguageChoice::fromLocaleName("C"), 0);
    EXPECT_EQ(CLanguageChoice::fromLocaleName("POSIX"), 0);
    EXPECT_EQ(CLanguageChoice::fromLocaleName(""), 0);
    EXPECT_EQ(CLanguageChoice::fromLocaleName("eng_US"), 0);
    EXPECT_EQ(CLanguageChoice::fromLocaleName("zhx_CN"), 0);
}

TEST(LanguageChoice, LcAllOverridesLcMessagesOverridesLang) {
    CScopedEnv all("LC_ALL", nullptr);
    CScopedEnv messages("LC_MESSAGES", nullptr);
    CScopedEnv lang("LANG", nullptr);
    EXPECT_EQ(CLanguageChoice::localeFromEnvironment(), "");
    EXPECT_EQ(CLanguageChoice::fromEnvironment(), 0);
    {
        CScopedEnv l("LANG", "en_US.UTF-8");
        EXPECT_EQ(CLanguageChoice::fromEnvironment(), 2);
        CScopedEnv m("LC_MESSAGES", "zh_TW.UTF-8");
        EXPECT_EQ(CLanguageChoice::fromEnvironment(), 1);
        CScopedEnv a("LC_ALL", "zh_CN.UTF-8");
        EXPECT_EQ(CLanguageChoice::fromEnvironment(), 0);
        CScopedEnv emptyAll("LC_ALL", "");
        EXPECT_EQ(CLanguageChoice::fromEnvironment(), 1) << "an empty variable does not count";
    }
    CScopedEnv c("LC_ALL", "C");
    CScopedEnv l("LANG", "en_US.UTF-8");
    EXPECT_EQ(CLanguageChoice::fromEnvironment(), 0);
}

}  // namespace
