// The stall limit's policy value and the way of giving up on a call: the call left behind on
// its own thread.

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "install/StallLimit.h"
#include "policy_value.h"

namespace {

TEST(StallLimit, PolicyValueFromFiveSecondsToAnHour) {
    kvtest::SavedPolicyValue policy(L"StallTimeoutSeconds");
    policy.Remove();
    EXPECT_EQ(StallLimitSeconds(), 60u) << "no value";

    struct Case {
        DWORD data;
        DWORD expected;
    } dwords[] = {
        {5, 5}, {6, 6}, {60, 60}, {3599, 3599}, {3600, 3600},
        {4, 60}, {0, 60}, {3601, 60}, {0xFFFFFFFF, 60},
    };
    for (const Case& c : dwords) {
        SCOPED_TRACE(c.data);
        policy.Set(REG_DWORD, &c.data, sizeof(c.data));
        EXPECT_EQ(StallLimitSeconds(), c.expected);
        EXPECT_EQ(StallLimitMs(), c.expected * 1000);
    }

    // Only a REG_DWORD counts, however the data would read as a number.
    const wchar_t text[] = L"30";
    policy.Set(REG_SZ, text, sizeof(text));
    EXPECT_EQ(StallLimitSeconds(), 60u) << "REG_SZ";
    const DWORD thirty = 30;
    policy.Set(REG_BINARY, &thirty, sizeof(thirty));
    EXPECT_EQ(StallLimitSeconds(), 60u) << "REG_BINARY";
    const ULONGLONG wide = 30;
    policy.Set(REG_QWORD, &wide, sizeof(wide));
    EXPECT_EQ(StallLimitSeconds(), 60u) << "REG_QWORD";
    policy.Set(REG_DWORD, &thirty, 2);
    EXPECT_EQ(StallLimitSeconds(), 60u) << "a REG_DWORD of two bytes";

    // The test seam stands in for the policy until it is cleared.
    policy.Set(REG_DWORD, &thirty, sizeof(thirty));
    SetStallLimitForTesting(1500);
    EXPECT_EQ(StallLimitMs(), 1500u);
    SetStallLimitForTesting(0);
    EXPECT_EQ(StallLimitMs(), 30000u);
}

TEST(StallLimit, AnAbandonedCallKeepsWhatItOwnsAndEndsOnItsOwn) {
    // A call in time: its result is there when RunAbandonable returns, and the caller is the
    // only owner of what they shared.
    auto shared = std::make_shared<int>(0);
    EXPECT_TRUE(RunAbandonable([shared] { *shared = 7; }, 2000));
    EXPECT_EQ(*shared, 7);
    EXPECT_EQ(shared.use_count(), 1);

    // A call that outlasts the limit is left behind after the limit, not before it, with its
    // own reference to what it writes; it ends later on its own and frees it there.
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto late = std::make_shared<std::atomic<int>>(0);
    std::weak_ptr<std::atomic<int>> watch = late;
    const ULONGLONG started = GetTickCount64();
    EXPECT_FALSE(RunAbandonable(
        [late, go] {
            WaitForSingleObject(go, INFINITE);
            *late = 1;
        },
        300));
    const ULONGLONG waited = GetTickCount64() - started;
    EXPECT_GE(waited + 20, 300u);
    EXPECT_LT(waited, 2000u);
    EXPECT_EQ(*late, 0);
    late.reset();  // the caller lets go; the abandoned call still owns its copy
    EXPECT_FALSE(watch.expired());
    SetEvent(go);
    for (int i = 0; i < 50 && !watch.expired(); ++i) Sleep(20);
    EXPECT_TRUE(watch.expired()) << "the abandoned call ended and released what it owned";
    CloseHandle(go);
}

}  // namespace
