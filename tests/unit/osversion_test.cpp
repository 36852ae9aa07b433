// The Windows version probe through its seam: each platform query fails or answers a chosen
// version, and the test sees which queries were asked and how often.
#include <gtest/gtest.h>

#include <windows.h>
#include <lm.h>

#include <utility>
#include <vector>

#include "framework/OSVersion.h"

namespace {

// What the fake platform answers, and what it was asked.
struct FakePlatform {
    NET_API_STATUS workstationStatus = NERR_WkstaNotStarted;
    DWORD workstationMajor = 0, workstationMinor = 0;
    bool kernelFound = false;
    DWORD kernelMajor = 0, kernelMinor = 0;
    bool compatibilityOk = false;
    DWORD compatibilityPlatform = VER_PLATFORM_WIN32_NT;
    DWORD compatibilityMajor = 0, compatibilityMinor = 0;
    // VerifyVersionInfoW holds up to this version.
    DWORD verifiedMajor = 0, verifiedMinor = 0;

    int workstationCalls = 0, kernelCalls = 0, compatibilityCalls = 0;
    std::vector<std::pair<DWORD, DWORD>> verifyCalls;

    OSVersionQueries Make() {
        OSVersionQueries q;
        q.workstation = [this](WKSTA_INFO_100& info) {
            ++workstationCalls;
            info.wki100_ver_major = workstationMajor;
            info.wki100_ver_minor = workstationMinor;
            return workstationStatus;
        };
        q.kernel = [this](RTL_OSVERSIONINFOW& info) -> BOOL {
            ++kernelCalls;
            EXPECT_EQ(info.dwOSVersionInfoSize, 276u);
            if (!kernelFound) return FALSE;
            info.dwMajorVersion = kernelMajor;
            info.dwMinorVersion = kernelMinor;
            return TRUE;
        };
        q.compatibility = [this](OSVERSIONINFOEXW& info) -> BOOL {
            ++compatibilityCalls;
            EXPECT_EQ(info.dwOSVersionInfoSize, 284u);
            if (!compatibilityOk) return FALSE;
            info.dwPlatformId = compatibilityPlatform;
            info.dwMajorVersion = compatibilityMajor;
            info.dwMinorVersion = compatibilityMinor;
            return TRUE;
        };
        q.verify = [this](OSVERSIONINFOEXW& info, DWORD typeMask, DWORDLONG conditionMask) -> BOOL {
            verifyCalls.emplace_back(info.dwMajorVersion, info.dwMinorVersion);
            EXPECT_EQ(typeMask, 0x0Bu);
            EXPECT_EQ(info.dwOSVersionInfoSize, 284u);
            EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
            DWORDLONG expectedMask = 0;
            expectedMask = ::VerSetConditionMask(expectedMask, VER_MAJORVERSION, VER_GREATER_EQUAL);
            expectedMask = ::VerSetConditionMask(expectedMask, VER_MINORVERSION, VER_GREATER_EQUAL);
            expectedMask = ::VerSetConditionMask(expectedMask, VER_PLATFORMID, VER_EQUAL);
            EXPECT_EQ(conditionMask, expectedMask);
            const bool atLeast = info.dwMajorVersion < verifiedMajor ||
                                 (info.dwMajorVersion == verifiedMajor && info.dwMinorVersion <= verifiedMinor);
            if (atLeast && verifiedMajor != 0) return TRUE;
            ::SetLastError(ERROR_OLD_WIN_VERSION);
            return FALSE;
        };
        return q;
    }
};

class OSVersionTest : public ::testing::Test {
protected:
    void Install() {
        queries_ = fake_.Make();
        SetOSVersionQueriesForTesting(&queries_);
    }
    void TearDown() override { SetOSVersionQueriesForTesting(nullptr); }

    FakePlatform fake_;
    OSVersionQueries queries_;
};

TEST_F(OSVersionTest, WorkstationAnswerIsCachedAndThePlatformNotAskedAgain) {
    fake_.workstationStatus = NERR_Success;
    fake_.workstationMajor = 6;
    fake_.workstationMinor = 1;
    fake_.kernelFound = true;
    fake_.kernelMajor = 10;
    Install();

    for (int call = 0; call < 3; ++call) {
        DWORD major = 99, minor = 99;
        EXPECT_TRUE(GetOSVersion(major, minor));
        EXPECT_EQ(major, 6u);
        EXPECT_EQ(minor, 1u);
    }
    EXPECT_EQ(fake_.workstationCalls, 1);
    EXPECT_EQ(fake_.kernelCalls, 0);
    EXPECT_EQ(fake_.compatibilityCalls, 0);
    EXPECT_TRUE(fake_.verifyCalls.empty());
}

TEST_F(OSVersionTest, KernelAnswerIsUsedButNotCached) {
    fake_.kernelFound = true;
    fake_.kernelMajor = 10;
    fake_.kernelMinor = 0;
    fake_.compatibilityOk = true;
    fake_.compatibilityMajor = 6;
    fake_.compatibilityMinor = 2;
    Install();

    for (int call = 1; call <= 2; ++call) {
        DWORD major = 0, minor = 0;
        EXPECT_TRUE(GetOSVersion(major, minor));
        EXPECT_EQ(major, 10u);
        EXPECT_EQ(minor, 0u);
        EXPECT_EQ(fake_.workstationCalls, call) << "asked again: nothing was cached";
        EXPECT_EQ(fake_.kernelCalls, call);
    }
    EXPECT_EQ(fake_.compatibilityCalls, 0);
    EXPECT_TRUE(fake_.verifyCalls.empty()) << "the kernel's answer is not refined";
}

TEST_F(OSVersionTest, KernelAnsweringMajorZeroFallsThrough) {
    fake_.kernelFound = true;  // called, but leaves the structure at 0
    fake_.compatibilityOk = true;
    fake_.compatibilityMajor = 6;
    fake_.compatibilityMinor = 1;
    fake_.verifiedMajor = 6;
    fake_.verifiedMinor = 1;
    Install();

    DWORD major = 0, minor = 0;
    EXPECT_TRUE(GetOSVersion(major, minor));
    EXPECT_EQ(major, 6u);
    EXPECT_EQ(minor, 1u);
    EXPECT_EQ(fake_.compatibilityCalls, 1);
}

struct RefinementCase {
    bool compatibilityOk;
    DWORD compatibilityPlatform;
    DWORD compatibilityMajor, compatibilityMinor;
    DWORD verifiedMajor, verifiedMinor;
    BOOL expectedResult;
    DWORD expectedMajor, expectedMinor;
    std::vector<std::pair<DWORD, DWORD>> expectedVerifyCalls;
    const char* why;
};

TEST_F(OSVersionTest, CompatibilityAnswerIsRefined) {
    const RefinementCase cases[] = {
        {true, VER_PLATFORM_WIN32_NT, 6, 2, 10, 0, TRUE, 10, 0,
         {{7, 0}, {8, 0}, {9, 0}, {10, 0}, {11, 0}, {10, 1}},
         "6.2 climbs to 10.0: the major first, minor reset, no higher minor verifies"},
        {true, VER_PLATFORM_WIN32_NT, 6, 1, 6, 3, TRUE, 6, 3, {{7, 0}, {6, 2}, {6, 3}, {6, 4}},
         "the minor climbs one at a time"},
        {true, VER_PLATFORM_WIN32_NT, 6, 1, 6, 1, TRUE, 6, 1, {{7, 0}, {6, 2}}, "nothing higher verifies"},
        {true, VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0, 0, FALSE, 0, 0, {{1, 0}, {0, 1}},
         "not NT-family: the answer is not taken"},
        {false, VER_PLATFORM_WIN32_NT, 0, 0, 0, 0, FALSE, 0, 0, {{1, 0}, {0, 1}}, "no version at all gives FALSE"},
        {false, VER_PLATFORM_WIN32_NT, 0, 0, 2, 1, TRUE, 2, 1, {{1, 0}, {2, 0}, {3, 0}, {2, 1}, {2, 2}},
         "the refinement alone finds a version when every query failed"},
    };
    for (const RefinementCase& c : cases) {
        fake_ = FakePlatform();
        fake_.compatibilityOk = c.compatibilityOk;
        fake_.compatibilityPlatform = c.compatibilityPlatform;
        fake_.compatibilityMajor = c.compatibilityMajor;
        fake_.compatibilityMinor = c.compatibilityMinor;
        fake_.verifiedMajor = c.verifiedMajor;
        fake_.verifiedMinor = c.verifiedMinor;
        Install();

        DWORD major = 77, minor = 77;
        EXPECT_EQ(GetOSVersion(major, minor), c.expectedResult) << c.why;
        EXPECT_EQ(major, c.expectedMajor) << c.why;
        EXPECT_EQ(minor, c.expectedMinor) << c.why;
        EXPECT_EQ(fake_.verifyCalls, c.expectedVerifyCalls) << c.why;

        // Not cached: a second call asks every query again.
        GetOSVersion(major, minor);
        EXPECT_EQ(fake_.workstationCalls, 2) << c.why;
        EXPECT_EQ(fake_.kernelCalls, 2) << c.why;
        EXPECT_EQ(fake_.compatibilityCalls, 2) << c.why;
    }
}

TEST_F(OSVersionTest, IsOSVersionAtLeastIsWhatVerifyAnswers) {
    fake_.verifiedMajor = 6;
    fake_.verifiedMinor = 1;
    Install();
    EXPECT_TRUE(IsOSVersionAtLeast(6, 0));
    EXPECT_TRUE(IsOSVersionAtLeast(6, 1));
    EXPECT_FALSE(IsOSVersionAtLeast(6, 2)) << "fails with ERROR_OLD_WIN_VERSION";
    EXPECT_FALSE(IsOSVersionAtLeast(7, 0));

    // Any other failure of the call means "not at least" as well.
    queries_.verify = [](OSVERSIONINFOEXW&, DWORD, DWORDLONG) -> BOOL {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    };
    SetOSVersionQueriesForTesting(&queries_);
    EXPECT_FALSE(IsOSVersionAtLeast(1, 0));
}

// The real platform (under Wine): the probe agrees with the workstation query made directly,
// and the verification brackets the version found.
TEST(OSVersionPlatform, AgreesWithTheWorkstationQuery) {
    SetOSVersionQueriesForTesting(nullptr);
    LPBYTE buffer = nullptr;
    ASSERT_EQ(::NetWkstaGetInfo(nullptr, 100, &buffer), static_cast<NET_API_STATUS>(NERR_Success));
    const auto* info = reinterpret_cast<const WKSTA_INFO_100*>(buffer);
    const DWORD wkMajor = info->wki100_ver_major, wkMinor = info->wki100_ver_minor;
    ::NetApiBufferFree(buffer);

    DWORD major = 0, minor = 0;
    ASSERT_TRUE(GetOSVersion(major, minor));
    EXPECT_EQ(major, wkMajor);
    EXPECT_EQ(minor, wkMinor);
    EXPECT_TRUE(IsOSVersionAtLeast(5, 0));
    EXPECT_FALSE(IsOSVersionAtLeast(major + 100, 0));
    SetOSVersionQueriesForTesting(nullptr);
}

}  // namespace
