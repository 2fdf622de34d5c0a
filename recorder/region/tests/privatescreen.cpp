#include "privatescreen.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "xvfbserver.h"

int RunTestsOnPrivateScreen(int argc, char** argv, int width, int height, unsigned rootRgb, CXScreenProbe& screen,
                            const std::function<void()>& beforeTests) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]).rfind("--gtest_list_tests", 0) == 0) return RUN_ALL_TESTS();

    CXvfbServer server;
    if (!server.Start(width, height, 24)) {
        std::fprintf(stderr, "Xvfb could not be started\n");
        return 1;
    }
    setenv("DISPLAY", server.GetDisplayName().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    if (!screen.open(server.GetDisplayName())) return 1;
    screen.setRootBackground(rootRgb);  // a known colour wherever no window is

    int result = 1;
    {
        QApplication app(argc, argv);
        if (beforeTests) beforeTests();
        result = RUN_ALL_TESTS();
    }
    screen.close();
    return result;
}

bool WaitUntil(const std::function<bool()>& condition, int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > milliseconds) return false;
        QTest::qWait(20);
    }
    return true;
}
