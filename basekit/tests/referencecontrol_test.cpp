#include "basekit/referencecontrol.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "logcapture.h"

namespace {

template <class Policy>
class CCounted : public CReferenceControlT<Policy> {
public:
    explicit CCounted(int& destroyed) : m_nDestroyed(destroyed) {}
    ~CCounted() override { ++m_nDestroyed; }

private:
    int& m_nDestroyed;
};

template <class Policy>
class ReferenceControl : public ::testing::Test {};

using Policies = ::testing::Types<CSingleThreadMutexWrapper, CMutexWrapper>;
TYPED_TEST_SUITE(ReferenceControl, Policies);

}  // namespace

TYPED_TEST(ReferenceControl, CountsAndDeletesAtZero) {
    int destroyed = 0;
    auto* obj = new CCounted<TypeParam>(destroyed);
    EXPECT_EQ(obj->AddReference(), 1u);
    EXPECT_EQ(obj->AddReference(), 2u);
    EXPECT_EQ(obj->GetReference(), 2u);
    EXPECT_EQ(obj->ReleaseReference(), 1u);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(obj->ReleaseReference(), 0u);
    EXPECT_EQ(destroyed, 1);
}

TYPED_TEST(ReferenceControl, ReleaseAtZeroWarnsAndKeepsTheObject) {
    int destroyed = 0;
    auto* obj = new CCounted<TypeParam>(destroyed);
    {
        CLogCapture capture;
        EXPECT_EQ(obj->ReleaseReference(), 0u);
        auto lines = capture.Find("ReleaseReference,wrong value=0]");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, CLogWrapper::LOG_WARNING);
        EXPECT_EQ(lines[0].text.rfind("[this=0x", 0), 0u) << lines[0].text;
    }
    EXPECT_EQ(destroyed, 0);
    obj->AddReference();
    obj->ReleaseReference();
    EXPECT_EQ(destroyed, 1);
}

TEST(ReferenceControl, MutexPolicyCountsFromManyThreads) {
    int destroyed = 0;
    auto* obj = new CCounted<CMutexWrapper>(destroyed);
    obj->AddReference();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([obj] {
            for (int i = 0; i < 20000; ++i) {
                obj->AddReference();
                obj->ReleaseReference();
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(obj->GetReference(), 1u);
    EXPECT_EQ(destroyed, 0);
    obj->ReleaseReference();
    EXPECT_EQ(destroyed, 1);
}
