// The engine's small shared helpers: device texts cut to their 128-byte
// field without splitting a UTF-8 character.
#include <gtest/gtest.h>

#include <string>

#include "enginetypes.h"

TEST(DeviceText, LongTextsAreCutBeforeACharacterThatDoesNotFitWhole) {
    const std::string ascii(200, 'a');
    EXPECT_EQ(CutDeviceText(ascii).size(), 127u);
    EXPECT_EQ(CutDeviceText("short"), "short");

    // 126 ASCII bytes and a 3-byte character: byte 127 would split it.
    const std::string mixed = std::string(126, 'b') + "\xE9\xBA\xA6" + "tail";
    EXPECT_EQ(CutDeviceText(mixed), std::string(126, 'b'));
    // 124 bytes and the character end exactly at byte 127; the next one is cut.
    const std::string exact = std::string(124, 'c') + "\xE9\xBA\xA6" + "x";
    EXPECT_EQ(CutDeviceText(exact), std::string(124, 'c') + "\xE9\xBA\xA6");

    char field[128];
    std::memset(field, 'z', sizeof field);
    CopyDeviceText(field, mixed);
    EXPECT_EQ(std::string(field), std::string(126, 'b'));
    for (std::size_t i = 126; i < sizeof field; ++i) ASSERT_EQ(field[i], '\0');

    // A full field without a NUL is read as 128 bytes and cut to 127.
    char full[128];
    std::memset(full, 'd', sizeof full);
    CopyDeviceText(field, full);
    EXPECT_EQ(std::string(field), std::string(127, 'd'));
    CopyDeviceText(field, static_cast<const char*>(nullptr));
    EXPECT_EQ(field[0], '\0');
    EXPECT_STREQ(TrueFalse(true), "true");
    EXPECT_STREQ(TrueFalse(false), "false");
}
