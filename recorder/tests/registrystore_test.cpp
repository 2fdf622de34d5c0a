#include "registrystore.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "testfolder.h"

namespace {

const std::string kHeader = "[SOFTWARE\\orvix\\Tolvane]\n";

std::string readString(CRegistryStore& store, const char* name) {
    std::string value = "<unread>";
    store.readString(name, value);
    return value;
}

TEST(RegistryStore, TextsAndNumbersOfEveryShapeComeBackUnchanged) {
    CTestFolder folder;
    const std::string path = folder.file("cfg/orvix/Tolvane/registry.ini");
    const std::vector<std::string> texts = {
        "",
        "/home/ann/Videos",
        "a=b;c#d[e]f\"g",
        "line1\nline2\r\n\tend",
        "back\\slash\\x41\\n",
        " blanks at both ends ",
        " ",
        "中文路径/録画 ✓ 🎬",
        std::string(1023, 'x'),
    };
    {
        CRegistryStore store(path);
        ASSERT_TRUE(store.create());
        for (std::size_t i = 0; i < texts.size(); ++i) {
            ASSERT_TRUE(store.writeString("Text" + std::to_string(i), texts[i]));
        }
        for (std::uint32_t n : {0u, 1u, 100u, 4294967295u})
            ASSERT_TRUE(store.writeNumber("N" + std::to_string(n), n));
        ASSERT_TRUE(store.writeString("name with = ; [x] and\nbreak", "odd name"));
    }
    CRegistryStore store(path);
    ASSERT_TRUE(store.open());
    EXPECT_FALSE(store.isWritable());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        std::string value;
        ASSERT_TRUE(store.readString("Text" + std::to_string(i), value)) << i;
        EXPECT_EQ(value, texts[i]) << i;
    }
    for (std::uint32_t n : {0u, 1u, 100u, 4294967295u}) {
        std::uint32_t value = 7;
        ASSERT_TRUE(store.readNumber("N" + std::to_string(n), value));
        EXPECT_EQ(value, n);
    }
    EXPECT_EQ(readString(store, "name with = ; [x] and\nbreak"), "odd name");
    // Value names are matched like registry names, without regard to case.
    EXPECT_EQ(readString(store, "TEXT1"), "/home/ann/Videos");

    // One line per value: no text broke out of its line.
    std::string content = folder.read("cfg/orvix/Tolvane/registry.ini");
    std::size_t valueLines = 0;
    std::istringstream lines(content);
    for (std::string line; std::getline(lines, line);) {
        bool typed = line.find("=sz:") != std::string::npos || line.find("=dword:") != std::string::npos;
        if (typed && line[0] != ';') ++valueLines;
    }
    EXPECT_EQ(valueLines, texts.size() + 4 + 1);
    EXPECT_NE(content.find("Text7=sz:中文路径/録画 ✓ 🎬\n"), std::string::npos) << "UTF-8 stays readable";
    EXPECT_NE(content.find("N100=dword:100\n"), std::string::npos);
}

TEST(RegistryStore, AValueIsReadOnlyWithItsOwnType) {
    CTestFolder folder;
    CRegistryStore store(folder.file("registry.ini"));
    ASSERT_TRUE(store.create());
    ASSERT_TRUE(store.writeString("App_Gamma", "50"));
    ASSERT_TRUE(store.writeNumber("Count", 3));
    std::uint32_t number = 100;
    EXPECT_FALSE(store.readNumber("App_Gamma", number));
    EXPECT_EQ(number, 100u);
    std::string text = "kept";
    EXPECT_FALSE(store.readString("Count", text));
    EXPECT_EQ(text, "kept");
    // Rewriting with the other type replaces the value.
    ASSERT_TRUE(store.writeNumber("App_Gamma", 50));
    EXPECT_TRUE(store.readNumber("App_Gamma", number));
    EXPECT_EQ(number, 50u);
    EXPECT_FALSE(store.readString("App_Gamma", text));
}

TEST(RegistryStore, OpenNeedsTheKeyAndCreateMakesIt) {
    CTestFolder folder;
    const std::string path = folder.file("a/b/registry.ini");
    CRegistryStore store(path);
    EXPECT_FALSE(store.open()) << "no file";
    EXPECT_FALSE(store.writeString("X", "y")) << "not opened";
    folder.write("a/b/registry.ini", "[SomeOtherKey]\nX=sz:y\n");
    EXPECT_FALSE(store.open()) << "file without the key";
    ASSERT_TRUE(store.create());
    EXPECT_TRUE(store.writeString("X", "mine"));
    EXPECT_TRUE(CRegistryStore(path).open());
    // The other key's lines stay.
    CRegistryStore other(path, "SomeOtherKey");
    ASSERT_TRUE(other.open());
    EXPECT_EQ(readString(other, "X"), "y");
    EXPECT_EQ(readString(store, "X"), "mine");

    // A folder that cannot be made: creation fails and writes nothing.
    folder.write("plainfile", "x");
    CRegistryStore blocked(folder.file("plainfile/sub/registry.ini"));
    EXPECT_FALSE(blocked.create());
    EXPECT_FALSE(blocked.writeNumber("X", 1));
}

TEST(RegistryStore, DeleteRemovesEveryLineOfTheName) {
    CTestFolder folder;
    folder.write("registry.ini", kHeader + "Run=sz:first\nOther=dword:1\nrun=sz:second\n");
    CRegistryStore store(folder.file("registry.ini"));
    ASSERT_TRUE(store.create());
    EXPECT_EQ(readString(store, "Run"), "first");
    EXPECT_TRUE(store.deleteValue("Run"));
    std::string text;
    EXPECT_FALSE(store.readString("Run", text));
    EXPECT_FALSE(store.deleteValue("Run"));
    CRegistryStore reread(folder.file("registry.ini"));
    ASSERT_TRUE(reread.open());
    EXPECT_FALSE(reread.readString("Run", text));
    std::uint32_t n = 0;
    EXPECT_TRUE(reread.readNumber("Other", n));
}

TEST(RegistryStore, HostileFileContentIsReadSafely) {
    CTestFolder folder;
    // Emoji take two UTF-16 units each: 511 of them and one more character fill 1023 units.
    std::string emoji;
    for (int i = 0; i < 511; ++i) emoji += "\xF0\x9F\x8E\xAC";
    std::string content = "\xEF\xBB\xBF; comment\r\n";
    content += "Stray=sz:outside any section\r\n";
    content += "[software\\ORVIX\\tolvane]\r\n";  // key names ignore case too
    content += "garbage line without equals\r\n";
    content += "\x01\x02\xff\xfe=\x80\x81\r\n";
    content += "Dup=sz:first\r\nDup=sz:second\r\n";
    content += "Neg=dword:-1\nBig=dword:4294967296\nHex=dword:0x10\nTail=dword:12abc\nEmpty=dword:\n";
    content += "Spaced =  dword:42  \n";
    content += "Upper=DWORD:7\n";
    content += "BadEscape=sz:a\\qb\nCutHex=sz:a\\x4\nCutEnd=sz:abc\\\nBadHex=sz:\\xZZ\n";
    content += "BadUtf8=sz:\xc3\x28\nOverlong=sz:\xc0\xaf\nSurrogate=sz:\xed\xa0\x80\n";
    content += "Zero=sz:before\\x00after\n";
    content += "Long=sz:" + std::string(1024, 'y') + "\n";
    content += "Wide=sz:" + emoji + "z\n";
    content += "Binary=hex:00,01\n";
    content += "Untyped=just text\n";
    content += std::string(5000, '[') + "\n";
    content += "WideTooLong=sz:" + emoji + "zz\n";
    folder.write("registry.ini", content);

    CRegistryStore store(folder.file("registry.ini"));
    ASSERT_TRUE(store.open());
    std::string text;
    std::uint32_t n = 99;
    EXPECT_FALSE(store.readString("Stray", text));
    EXPECT_EQ(readString(store, "Dup"), "first");
    for (const char* name : {"Neg", "Big", "Hex", "Tail", "Empty"}) {
        EXPECT_FALSE(store.readNumber(name, n)) << name;
    }
    EXPECT_EQ(n, 99u);
    EXPECT_TRUE(store.readNumber("Spaced", n));
    EXPECT_EQ(n, 42u);
    EXPECT_TRUE(store.readNumber("Upper", n));
    EXPECT_EQ(n, 7u);
    for (const char* name : {"BadEscape", "CutHex", "CutEnd", "BadHex", "BadUtf8", "Overlong", "Surrogate",
                             "Long", "Binary", "Untyped", "WideTooLong"}) {
        EXPECT_FALSE(store.readString(name, text)) << name;
        EXPECT_FALSE(store.readNumber(name, n)) << name;
    }
    EXPECT_EQ(readString(store, "Zero"), "before");
    EXPECT_EQ(readString(store, "Wide"), emoji + "z");

    // Writing keeps the lines it does not own.
    CRegistryStore writer(folder.file("registry.ini"));
    ASSERT_TRUE(writer.create());
    ASSERT_TRUE(writer.writeString("Dup", "new"));
    EXPECT_EQ(readString(writer, "Dup"), "new");
    std::string after = folder.read("registry.ini");
    EXPECT_NE(after.find("; comment"), std::string::npos);
    EXPECT_NE(after.find("garbage line without equals"), std::string::npos);
    EXPECT_NE(after.find("Binary=hex:00,01"), std::string::npos);
}

TEST(RegistryStore, AnOversizedFileIsNeitherReadNorReplaced) {
    CTestFolder folder;
    std::string huge = kHeader + "A=dword:1\n" + std::string(CIniFile::kMaxFileBytes, ';') + "\n";
    folder.write("registry.ini", huge);
    CRegistryStore store(folder.file("registry.ini"));
    EXPECT_FALSE(store.open());
    EXPECT_FALSE(store.create());
    EXPECT_FALSE(store.writeNumber("A", 2));
    EXPECT_EQ(folder.read("registry.ini").size(), huge.size());
}

TEST(RegistryStore, EscapingIsReversibleAndStrict) {
    const std::string all = [] {
        std::string s;
        for (int c = 0; c < 256; ++c) s += static_cast<char>(c);
        return s;
    }();
    std::string escaped = CRegistryStore::escape(all);
    EXPECT_EQ(escaped.find_first_of("\n\r=;#[]\"", 0), std::string::npos);
    std::string back;
    ASSERT_TRUE(CRegistryStore::unescape(escaped, back));
    EXPECT_EQ(back, all);
    EXPECT_EQ(CRegistryStore::escape(" a b "), "\\x20a b\\x20");
    EXPECT_FALSE(CRegistryStore::unescape("\\", back));
    EXPECT_FALSE(CRegistryStore::unescape("\\x1", back));
    EXPECT_FALSE(CRegistryStore::unescape("\\u0041", back));
}

}  // namespace
