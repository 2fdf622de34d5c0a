#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "basekit/tickcount.h"
#include "basekit/timevaluewrapper.h"

namespace {

void ExpectValue(const CTimeValueWrapper& t, std::int64_t sec, std::int64_t usec) {
    EXPECT_EQ(t.GetSec(), sec);
    EXPECT_EQ(t.GetUsec(), usec);
}

}  // namespace

TEST(TimeValueWrapper, NormalizesIntoWholeSecondsAndPositiveMicroseconds) {
    ExpectValue(CTimeValueWrapper(1, 1500000), 2, 500000);
    ExpectValue(CTimeValueWrapper(1, -1), 0, 999999);
    ExpectValue(CTimeValueWrapper(0, -1500000), -2, 500000);
    ExpectValue(CTimeValueWrapper(-1, 2500000), 1, 500000);
    ExpectValue(CTimeValueWrapper(0, -1000000), -1, 0);
    ExpectValue(CTimeValueWrapper(5, 3000000000000LL), 3000005, 0);
    ExpectValue(CTimeValueWrapper::FromMilliseconds(1500), 1, 500000);
    ExpectValue(CTimeValueWrapper::FromMilliseconds(-1500), -2, 500000);
    EXPECT_EQ(CTimeValueWrapper::FromMilliseconds(-1500).GetTotalInMsec(), -1500);
    CTimeValueWrapper t;
    t.Set(3, -250000);
    ExpectValue(t, 2, 750000);
    EXPECT_EQ(t.GetTotalInMsec(), 2750);
}

TEST(TimeValueWrapper, ArithmeticAndComparisons) {
    ExpectValue(CTimeValueWrapper(1, 600000) + CTimeValueWrapper(0, 500000), 2, 100000);
    ExpectValue(CTimeValueWrapper(1, 0) - CTimeValueWrapper(0, 1), 0, 999999);
    ExpectValue(CTimeValueWrapper(0, 0) - CTimeValueWrapper(1, 500000), -2, 500000);
    CTimeValueWrapper a(1, 5), b(1, 6);
    EXPECT_LT(a, b);
    EXPECT_GT(b, a);
    EXPECT_EQ(a, CTimeValueWrapper(0, 1000005));
    EXPECT_LT(CTimeValueWrapper(0, -1), CTimeValueWrapper(0, 0));
    a += b;
    ExpectValue(a, 2, 11);
    a -= CTimeValueWrapper(3, 0);
    ExpectValue(a, -1, 11);
}

TEST(TimeValueWrapper, GetTimeOfDayIsTheWallClock) {
    CTimeValueWrapper now = CTimeValueWrapper::GetTimeOfDay();
    EXPECT_NEAR(static_cast<double>(now.GetSec()), static_cast<double>(std::time(nullptr)), 2.0);
    EXPECT_GE(now.GetUsec(), 0);
    EXPECT_LT(now.GetUsec(), 1000000);
}

TEST(TickCount, ClocksAdvanceTogetherOnTheMonotonicClock) {
    std::uint64_t ms = GetTickMs();
    std::uint64_t ns = GetTickNs();
    unsigned long ticks = get_tick_count();
    EXPECT_NEAR(static_cast<double>(ns / 1000000), static_cast<double>(ms), 5.0);
    EXPECT_LE(ticks, 0xFFFFFFFFUL);
    EXPECT_LE((static_cast<std::uint64_t>(ticks) - (ms & 0xFFFFFFFFULL)) & 0xFFFFFFFFULL, 5u);

    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::uint64_t later = GetTickMs();
    EXPECT_GE(later - ms, 50u);
    EXPECT_LT(later - ms, 2000u);
    EXPECT_GT(GetTickNs(), ns);
}
