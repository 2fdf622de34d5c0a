// The language file shipped with the program: every key the program uses,
// in every language, with a text, and nothing else.
#include <gtest/gtest.h>
#include <tinyxml.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "languagetable.h"

namespace {

const std::set<std::string> kProgramKeys = {
    "ID_TEXT_AUDIO_EXITTIPS",
    "ID_TEXT_AUDIO_GETERROR",
    "ID_TEXT_AUDIO_MIC",
    "ID_TEXT_AUDIO_NONE",
    "ID_TEXT_AUDIO_NONE_MIC",
    "ID_TEXT_AUDIO_NONE_SPEEKER",
    "ID_TEXT_AUDIO_SPEEKER",
    "ID_TEXT_AUDIO_TITLE",
    "ID_TEXT_AUTORUN",
    "ID_TEXT_CANCEL",
    "ID_TEXT_CHANGE_FOLDER",
    "ID_TEXT_CHECK_HOTF10",
    "ID_TEXT_CHECK_HOTF9",
    "ID_TEXT_CUSTOM",
    "ID_TEXT_DEFAULT",
    "ID_TEXT_DEFAULT_OUTFOLDER",
    "ID_TEXT_DISK_FULL_TIP",
    "ID_TEXT_DISK_FULL_TIP2",
    "ID_TEXT_EXIT",
    "ID_TEXT_FULL_SCR",
    "ID_TEXT_HOTKEY_F10_TIPS",
    "ID_TEXT_HOTKEY_F9_TIPS",
    "ID_TEXT_HOTKEY_WAYLAND_TIP",
    "ID_TEXT_MANUALREOCRD",
    "ID_TEXT_MULTY_CONNECT_TIP",
    "ID_TEXT_MUT_TIP",
    "ID_TEXT_OPEN_FOLDER",
    "ID_TEXT_OUTFOLDER",
    "ID_TEXT_PAUSERECORD",
    "ID_TEXT_RECORD_ERROR",
    "ID_TEXT_RECORD_FINISH",
    "ID_TEXT_RECORD_FINISH_OPENFOLDER",
    "ID_TEXT_RECORD_INVALID_PATH",
    "ID_TEXT_RECORD_STATEPAUSE",
    "ID_TEXT_RECORD_STATEREADY",
    "ID_TEXT_RECORD_STATERUNNING",
    "ID_TEXT_RECORD_UNPAUSE",
    "ID_TEXT_RECORD_UNRESUME",
    "ID_TEXT_RECORD_UNSTOP",
    "ID_TEXT_RESUMEREOCRD",
    "ID_TEXT_SAVE",
    "ID_TEXT_SAVE_MP3",
    "ID_TEXT_SELECTREC",
    "ID_TEXT_SETTING",
    "ID_TEXT_SETTING_TIP0",
    "ID_TEXT_SETTING_TIP1",
    "ID_TEXT_SETTING_TIP2",
    "ID_TEXT_SETTING_TIP3",
    "ID_TEXT_STARTRECORD",
    "ID_TEXT_STOPRECORD",
    "ID_TEXT_SWITCH",
    "ID_TEXT_SWITCH_TIP",
    "ID_TEXT_SYNCREOCRD",
    "ID_TEXT_TIPS",
    "ID_TEXT_UPDATE_CLOSE",
    "ID_TEXT_UPDATE_DOWNLOAD",
    "ID_TEXT_UPDATE_DOWNLOADING",
    "ID_TEXT_UPDATE_FAILED",
    "ID_TEXT_UPDATE_RETRY",
    "ID_TEXT_UPDATE_TIPS",
    "ID_TEXT_UPDATE_TITLE",
    "ID_TEXT_UPDATE_TITLE_TWO",
    "ID_TEXT_UPDATE_UNDOWNLOAD",
};

std::string fileText(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(LanguageFile, EverySectionHoldsExactlyTheProgramKeysWithTexts) {
    // 59 keys, the three of a failed installer download, and the note on
    // hotkeys on Wayland desktops without the GlobalShortcuts portal.
    ASSERT_EQ(kProgramKeys.size(), 63u);
    TiXmlDocument document(TOLVANE_LANGUAGE_XML_SOURCE);
    ASSERT_TRUE(document.LoadFile(TIXML_ENCODING_UTF8)) << document.ErrorDesc();
    ASSERT_NE(document.RootElement(), nullptr);
    for (const char* section : {"zh_CH", "zh_TW", "en_US"}) {
        int sections = 0;
        std::set<std::string> keys;
        for (const TiXmlElement* language = document.RootElement()->FirstChildElement(section); language;
             language = language->NextSiblingElement(section)) {
            ++sections;
            for (const TiXmlElement* entry = language->FirstChildElement(); entry;
                 entry = entry->NextSiblingElement()) {
                ASSERT_NE(entry->FirstAttribute(), nullptr) << section;
                std::string key = entry->FirstAttribute()->Value();
                EXPECT_TRUE(keys.insert(key).second) << section << ": " << key << " twice";
                EXPECT_TRUE(kProgramKeys.count(key)) << section << ": unknown key " << key;
                const char* text = entry->GetText();
                EXPECT_TRUE(text && *text) << section << ": " << key << " has no text";
            }
        }
        EXPECT_EQ(sections, 1) << section;
        EXPECT_EQ(keys, kProgramKeys) << section;
    }
}

TEST(LanguageFile, TheCopyBesideTheProgramLoadsInEachLanguage) {
    EXPECT_EQ(fileText(TOLVANE_LANGUAGE_XML_INSTALLED), fileText(TOLVANE_LANGUAGE_XML_SOURCE));
    CLanguageTable& table = CLanguageTable::instance();
    table.load(0, TOLVANE_LANGUAGE_XML_INSTALLED);
    EXPECT_EQ(table.lookup("ID_TEXT_RECORD_STATEREADY"), "就绪");
    EXPECT_EQ(table.lookup("ID_TEXT_FULL_SCR"), "全屏");
    table.load(1, TOLVANE_LANGUAGE_XML_INSTALLED);
    EXPECT_EQ(table.lookup("ID_TEXT_RECORD_STATEREADY"), "就緒");
    EXPECT_EQ(table.lookup("ID_TEXT_FULL_SCR"), "全螢幕");
    table.load(2, TOLVANE_LANGUAGE_XML_INSTALLED);
    EXPECT_EQ(table.lookup("ID_TEXT_RECORD_STATEREADY"), "Ready");
    EXPECT_EQ(table.lookup("ID_TEXT_RECORD_STATERUNNING"), "Recording");
    EXPECT_EQ(table.lookup("ID_TEXT_RECORD_STATEPAUSE"), "Paused");
    for (int index = 0; index < 3; ++index) {
        table.load(index, TOLVANE_LANGUAGE_XML_INSTALLED);
        for (const std::string& key : kProgramKeys) EXPECT_FALSE(table.lookup(key).empty()) << index << key;
        // The multi-connect message breaks its line with backslash-n; no other text needs one.
        EXPECT_NE(table.lookup("ID_TEXT_MULTY_CONNECT_TIP").find("\\n"), std::string::npos) << index;
        EXPECT_EQ(table.lookup("ID_TEXT_RECORD_FINISH_OPENFOLDER").find('\\'), std::string::npos) << index;
        // The "none" item's value must differ from the texts shown when no device exists.
        EXPECT_NE(table.lookup("ID_TEXT_AUDIO_NONE"), table.lookup("ID_TEXT_AUDIO_NONE_MIC"));
    }
}

}  // namespace
