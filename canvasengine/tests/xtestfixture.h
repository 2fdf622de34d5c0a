// CXTestFixture: tests against a private 1280x720x24 Xvfb shared by the tests
// of one process; $DISPLAY points at it while they run.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "xvfbserver.h"

class CXTestFixture : public ::testing::Test {
public:
    static void SetUpTestSuite();
    static void TearDownTestSuite();

protected:
    void SetUp() override;
    static const std::string& DisplayName();
    // Points $DISPLAY at another server for one test.
    static void UseDisplay(const std::string& name);

private:
    static std::unique_ptr<CXvfbServer> s_pServer;
};

// One BGRA pixel of a picture as 0xRRGGBB.
inline unsigned RgbAt(const unsigned char* bits, int stride, int x, int y) {
    const unsigned char* p = bits + y * stride + x * 4;
    return (unsigned(p[2]) << 16) | (unsigned(p[1]) << 8) | p[0];
}
