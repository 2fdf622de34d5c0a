#include "frameschedule.h"

#include <gtest/gtest.h>

#include <cmath>

#include "gammatable.h"

TEST(FrameScheduleTest, SlotsStayOnTheGridForAnHour) {
    CFrameSchedule schedule;
    schedule.Reset(1000, 15.0);
    EXPECT_EQ(schedule.DueTime(0), 1000u);
    EXPECT_EQ(schedule.DueTime(1), 1066u);
    EXPECT_EQ(schedule.DueTime(2), 1133u);
    EXPECT_EQ(schedule.DueTime(3), 1200u);
    EXPECT_EQ(schedule.DueTime(15 * 3600), 1000u + 3600000u);
    EXPECT_EQ(schedule.DueTime(15 * 3600 + 1), 1000u + 3600066u);
    // Slot by slot, the gaps are 66 or 67 ms and never drift.
    for (std::int64_t n = 1; n <= 15 * 3600; ++n) {
        const auto gap = schedule.DueTime(n) - schedule.DueTime(n - 1);
        ASSERT_TRUE(gap == 66 || gap == 67) << n;
    }
}

TEST(FrameScheduleTest, ALatePictureSkipsTheSlotsItMissed) {
    CFrameSchedule schedule;
    schedule.Reset(0, 15.0);
    // On time or a little late: the slot itself.
    EXPECT_EQ(schedule.FirstOnTimeSlot(1, 10), 1);
    EXPECT_EQ(schedule.FirstOnTimeSlot(1, 66 + 33), 1);
    // More than half a period past slot 1: slot 2.
    EXPECT_EQ(schedule.FirstOnTimeSlot(1, 66 + 34), 2);
    // A 250 ms picture at slot 10 (666 ms) ends at 916: slots 11..13 are
    // gone, slot 14 (933) is still ahead.
    EXPECT_EQ(schedule.FirstOnTimeSlot(11, 916), 14);
    EXPECT_GT(schedule.DueTime(14), 916u);
    // Far behind: never back into the past, never a burst.
    const std::int64_t next = schedule.FirstOnTimeSlot(4, 100000);
    EXPECT_GE(static_cast<double>(schedule.DueTime(next)) + schedule.GetPeriodMs() / 2, 100000.0);
    EXPECT_LT(static_cast<double>(schedule.DueTime(next - 1)) + schedule.GetPeriodMs() / 2, 100000.0);
}

TEST(GammaTableTest, HundredIsIdentityOthersFollowThePowerCurve) {
    CGammaTable table;
    table.Set(100);
    EXPECT_TRUE(table.IsIdentity());
    for (int v = 0; v < 256; ++v) ASSERT_EQ(table.Map(static_cast<std::uint8_t>(v)), v);
    table.Set(200);  // square root: brighter
    EXPECT_EQ(table.Map(0), 0);
    EXPECT_EQ(table.Map(64), 128);
    EXPECT_EQ(table.Map(255), 255);
    table.Set(50);  // square: darker
    EXPECT_EQ(table.Map(128), 64);
    table.Set(0);  // counts as 1: nearly black, white stays white
    EXPECT_EQ(table.Map(254), static_cast<std::uint8_t>(std::lround(255 * std::pow(254 / 255.0, 100.0))));
    EXPECT_EQ(table.Map(255), 255);
    table.Set(500);
    EXPECT_EQ(table.Get(), 200);
    // Apply leaves alpha alone.
    std::uint8_t px[8] = {64, 64, 64, 64, 0, 255, 16, 9};
    table.Set(200);
    table.Apply(px, 2, 1, 8);
    EXPECT_EQ(px[0], 128);
    EXPECT_EQ(px[3], 64);
    EXPECT_EQ(px[7], 9);
    EXPECT_EQ(px[6], 64);
}
