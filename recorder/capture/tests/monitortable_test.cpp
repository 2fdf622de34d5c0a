#include "monitortable.h"

#include <gtest/gtest.h>

namespace {

MonitorInfo monitor(GeoRect rect, bool primary, int modeWidth, int modeHeight, const char* name) {
    MonitorInfo m;
    m.monitorRect = rect;
    m.workRect = rect;
    m.primary = primary;
    m.modeWidth = modeWidth;
    m.modeHeight = modeHeight;
    m.description = name;
    return m;
}

}  // namespace

TEST(MonitorTable, FixedTableFindsThePrimaryMonitor) {
    CMonitorTable table({monitor({0, 0, 1280, 1024}, false, 1280, 1024, "DP-1"),
                         monitor({1280, 0, 3200, 1080}, true, 1920, 1080, "HDMI-1")});
    EXPECT_EQ(table.count(), 2);
    EXPECT_EQ(table.primaryIndex(), 1);
    EXPECT_EQ(table.primaryRect(), (GeoRect{1280, 0, 3200, 1080}));
    EXPECT_EQ(table.at(1).description, "HDMI-1");
    EXPECT_TRUE(table.refresh());
    EXPECT_EQ(table.count(), 2);

    // Nobody flagged: the first one.
    table.setFixedTable({monitor({0, 0, 800, 600}, false, 800, 600, "a")});
    EXPECT_EQ(table.primaryIndex(), 0);

    // At most 16 monitors are kept.
    std::vector<MonitorInfo> many;
    for (int i = 0; i < 20; ++i) many.push_back(monitor({i * 100, 0, i * 100 + 100, 100}, i == 18, 100, 100, "m"));
    table.setFixedTable(many);
    EXPECT_EQ(table.count(), CMonitorTable::kMaxMonitors);
    EXPECT_EQ(table.primaryIndex(), 0);
}

TEST(MonitorTable, EmptyTableHasOnlyEmptyRectangles) {
    CMonitorTable table(std::vector<MonitorInfo>{});
    EXPECT_FALSE(table.refresh());
    EXPECT_EQ(table.count(), 0);
    EXPECT_EQ(table.primaryIndex(), -1);
    EXPECT_TRUE(table.primaryRect().empty());
    EXPECT_TRUE(table.at(0).monitorRect.empty());
    EXPECT_TRUE(table.at(-5).workRect.empty());
    EXPECT_DOUBLE_EQ(table.scaleX(), 1.0);
    EXPECT_DOUBLE_EQ(table.scaleY(), 1.0);
}

TEST(MonitorTable, NoDisplayGivesAnEmptyTable) {
    CMonitorTable table(std::string(":87654"));
    EXPECT_FALSE(table.refresh());
    EXPECT_EQ(table.count(), 0);
    EXPECT_EQ(table.primaryIndex(), -1);
}

TEST(MonitorTable, ScalesLogicalRectanglesToCapturePixels) {
    // A 1536 x 864 monitor rectangle on a 1920 x 1080 picture: everything x 1.25.
    CMonitorTable table({monitor({0, 0, 1536, 864}, true, 1920, 1080, "eDP-1")});
    EXPECT_DOUBLE_EQ(table.scaleX(), 1.25);
    EXPECT_DOUBLE_EQ(table.scaleY(), 1.25);
    EXPECT_EQ(table.toCapturePixels(GeoRect{100, 50, 901, 651}, 1.0), (GeoRect{125, 62, 1126, 813}));
    // Qt's device pixel ratio multiplies as well.
    EXPECT_EQ(CMonitorTable::toCapturePixels(GeoRect{10, 20, 650, 380}, 2.0, 1.0, 1.0),
              (GeoRect{20, 40, 1300, 760}));
    EXPECT_EQ(CMonitorTable::toCapturePixels(GeoRect{-3, -3, 7, 7}, 1.5, 1.0, 1.0), (GeoRect{-4, -4, 10, 10}));
}
