// The Xvfb tests' shared frame: a private X server with a known root colour,
// Qt on xcb, and waiting for the event loop to catch up.
#pragma once

#include <functional>

#include "xscreenprobe.h"

// Runs the test program on its own width x height Xvfb whose root window
// shows rootRgb, with `screen` open on it; beforeTests runs once the
// QApplication exists. Test discovery (--gtest_list_tests) starts nothing.
// Set any further Qt environment (QT_SCALE_FACTOR) before calling.
int RunTestsOnPrivateScreen(int argc, char** argv, int width, int height, unsigned rootRgb, CXScreenProbe& screen,
                            const std::function<void()>& beforeTests = {});

// Spins the Qt event loop until condition holds; false after `milliseconds`.
bool WaitUntil(const std::function<bool()>& condition, int milliseconds = 3000);
