// The ADTS header: what is written reads back, the CRC variant's length, the
// field limits, and the frequency table both ways.
#include <gtest/gtest.h>

#include "aacframe/adtsheader.h"


TEST(AdtsHeader, WrittenHeadersReadBackFieldByField) {
    for (bool mpeg2 : {false, true}) {
        CAdtsHeader header;
        header.bMpeg2 = mpeg2;
        header.profile = 1;
        header.rateIndex = 4;
        header.channelConfig = 2;
        header.frameBytes = 8191;
        unsigned char bytes[7] = {};
        ASSERT_TRUE(header.Write(bytes));
        EXPECT_EQ(bytes[0], 0xFF);
        EXPECT_EQ(bytes[1], mpeg2 ? 0xF9 : 0xF1);
        EXPECT_EQ(bytes[6], 0xFC);
        CAdtsHeader back;
        ASSERT_TRUE(CAdtsHeader::Parse(bytes, sizeof bytes, back));
        EXPECT_TRUE(back.bSync);
        EXPECT_EQ(back.bMpeg2, mpeg2);
        EXPECT_TRUE(back.bProtectionAbsent);
        EXPECT_EQ(back.profile, 1u);
        EXPECT_EQ(back.rateIndex, 4u);
        EXPECT_EQ(back.channelConfig, 2u);
        EXPECT_EQ(back.frameBytes, 8191u);
        EXPECT_EQ(CAdtsHeader::HeaderLength(bytes[0], bytes[1]), 7u);
    }
    // The AAC LC configuration of 44100 Hz stereo.
    CAdtsHeader lc;
    lc.rateIndex = 4;
    lc.channelConfig = 2;
    unsigned char config[2] = {};
    lc.WriteAacLcConfig(config);
    EXPECT_EQ(config[0], 0x12);
    EXPECT_EQ(config[1], 0x10);
}

TEST(AdtsHeader, LimitsAndTheCrcVariant) {
    CAdtsHeader header;
    unsigned char bytes[7] = {};
    header.frameBytes = 6;
    EXPECT_FALSE(header.Write(bytes));
    header.frameBytes = 8192;
    EXPECT_FALSE(header.Write(bytes));
    header.frameBytes = 7;
    header.channelConfig = 8;
    EXPECT_FALSE(header.Write(bytes));
    EXPECT_FALSE(header.Write(nullptr));
    EXPECT_FALSE(CAdtsHeader::Parse(bytes, 6, header));
    EXPECT_FALSE(CAdtsHeader::Parse(nullptr, 7, header));

    EXPECT_EQ(CAdtsHeader::HeaderLength(0xFF, 0xF0), 9u);  // protection_absent clear: a CRC follows
    EXPECT_EQ(CAdtsHeader::HeaderLength(0x12, 0xF0), 7u);  // no syncword: taken as plain
    const unsigned char noSync[7] = {0x12, 0x34, 0x50, 0x80, 0, 0, 0};
    ASSERT_TRUE(CAdtsHeader::Parse(noSync, 7, header));
    EXPECT_FALSE(header.bSync);

    EXPECT_EQ(CAdtsHeader::RateIndex(44100), 4);
    EXPECT_EQ(CAdtsHeader::RateIndex(7350), 12);
    EXPECT_EQ(CAdtsHeader::RateIndex(0), -1);
    EXPECT_EQ(CAdtsHeader::RateIndex(44000), -1);
    EXPECT_EQ(CAdtsHeader::SampleRate(0), 96000u);
    EXPECT_EQ(CAdtsHeader::SampleRate(13), 0u);
    EXPECT_EQ(CAdtsHeader::SampleRate(99), 0u);
}
