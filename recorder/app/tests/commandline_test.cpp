#include <gtest/gtest.h>

#include "commandline.h"

TEST(CommandLine, OptionsAndTheirTerminators) {
    CCommandLine line = CCommandLine::parse("/wnd 1a2B /name Alice /mic USB Mic- /bspeak 1 /rec 1");
    EXPECT_TRUE(line.hasHostWindow);
    EXPECT_EQ(line.hostWindow, 0x1a2bu);
    EXPECT_EQ(line.hostName, "Alice");
    EXPECT_EQ(line.micName, "USB Mic");
    EXPECT_TRUE(line.speakerDisabled);
    EXPECT_FALSE(line.micDisabled);
    EXPECT_TRUE(line.hasRec);
    EXPECT_EQ(line.rec, 1);
    EXPECT_EQ(line.speakerName, "");
}

TEST(CommandLine, ValueAtTheEndEndsAtTheAppendedBlank) {
    CCommandLine line = CCommandLine::parse("/rec 0");
    EXPECT_TRUE(line.hasRec);
    EXPECT_EQ(line.rec, 0);
    EXPECT_EQ(CCommandLine::parse("/name Bob").hostName, "Bob");
}

TEST(CommandLine, DeviceNamesEndAtTheFirstHyphenBlank) {
    // A name holding "- " itself is cut there; without "- " it is empty.
    EXPECT_EQ(CCommandLine::parse("/mic Mic- Pro- /rec 0").micName, "Mic");
    EXPECT_EQ(CCommandLine::parse("/speak Speaker-X- ").speakerName, "Speaker-X");
    EXPECT_EQ(CCommandLine::parse("/mic USB Mic").micName, "");
}

TEST(CommandLine, FirstOccurrenceCountsAndAbsentOptionsStayUnset) {
    CCommandLine line = CCommandLine::parse("/name first /name second /bmic 7 /bmic 0");
    EXPECT_EQ(line.hostName, "first");
    EXPECT_TRUE(line.micDisabled);
    EXPECT_FALSE(line.hasRec);
    EXPECT_FALSE(line.hasHostWindow);

    CCommandLine empty = CCommandLine::parse("");
    EXPECT_EQ(empty.hostName, "");
    EXPECT_FALSE(empty.hasRec);
    EXPECT_FALSE(empty.micDisabled);
    // "/rec" with nothing behind it has an empty value: nothing is applied.
    EXPECT_FALSE(CCommandLine::parse("/rec").hasRec);
}

TEST(CommandLine, ArgumentsAreJoinedWithBlanks) {
    const char* argv[] = {"tolvane", "/mic", "USB", "Mic-", "/rec", "1"};
    CCommandLine line = CCommandLine::fromArguments(6, argv);
    EXPECT_EQ(line.micName, "USB Mic");
    EXPECT_EQ(line.rec, 1);
}
