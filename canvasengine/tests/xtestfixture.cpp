#include "xtestfixture.h"

#include <cstdlib>

std::unique_ptr<CXvfbServer> CXTestFixture::s_pServer;

void CXTestFixture::SetUpTestSuite() {
    s_pServer = std::make_unique<CXvfbServer>();
    if (s_pServer->Start(1280, 720, 24)) UseDisplay(s_pServer->GetDisplayName());
}

void CXTestFixture::TearDownTestSuite() { s_pServer.reset(); }

void CXTestFixture::SetUp() { ASSERT_TRUE(s_pServer && s_pServer->IsRunning()) << "Xvfb did not start"; }

const std::string& CXTestFixture::DisplayName() { return s_pServer->GetDisplayName(); }

void CXTestFixture::UseDisplay(const std::string& name) { setenv("DISPLAY", name.c_str(), 1); }
