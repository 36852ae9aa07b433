// Taking up a cut transfer where it stopped, the waits between attempts and the floor under a
// transfer's rate: the decisions on their own, and the installer step's attempts through the
// platform's seams (its fetch, clock, randomness and sleep), so that no wait is waited here.

#include <gtest/gtest.h>

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <string>
#include <vector>

#include "framework/app.h"
#include "install/AttemptWait.h"
#include "install/InstallSteps.h"
#include "install/StallLimit.h"
#include "install/Transfer.h"
#include "install_support.h"
#include "policy_value.h"
#include "resource.h"

namespace {

const wchar_t kETag[] = L"\"v1\"";

TEST(Resume, HowAnAnswerToTheRestIsTaken) {
    // The kept part is 400 bytes of a file of 1000 whose first answer named "v1".
    struct Case {
        DWORD status;
        const wchar_t* contentRange;
        const wchar_t* validator;
        ResumeAnswer expected;
        const char* why;
    } cases[] = {
        {206, L"bytes 400-999/1000", kETag, ResumeAnswer::Append, "the rest of the same version"},
        {206, L"bytes 400-999/1000", L"", ResumeAnswer::Append, "a 206 without its version names no other"},
        {200, L"", kETag, ResumeAnswer::StartOver, "the whole file: a server without ranges"},
        {200, L"", L"\"v2\"", ResumeAnswer::StartOver, "another version, whole"},
        {206, L"bytes 400-999/1000", L"\"v2\"", ResumeAnswer::Refuse, "a part of another version"},
        {206, L"bytes 0-999/1000", kETag, ResumeAnswer::Refuse, "from the start, not from the kept end"},
        {206, L"bytes 401-999/1000", kETag, ResumeAnswer::Refuse, "one byte too far"},
        {206, L"bytes 400-998/1000", kETag, ResumeAnswer::Refuse, "short of the end"},
        {206, L"bytes 400-1199/1200", kETag, ResumeAnswer::Refuse, "the file grew"},
        {206, L"bytes 400-999/*", kETag, ResumeAnswer::Refuse, "an unknown total"},
        {206, L"", kETag, ResumeAnswer::Refuse, "no Content-Range"},
        {206, L"bytes 400-999/1000 ", kETag, ResumeAnswer::Refuse, "trailing text"},
        {206, L"items 400-999/1000", kETag, ResumeAnswer::Refuse, "another unit"},
        {206, L"bytes -400-999/1000", kETag, ResumeAnswer::Refuse, "a sign"},
        {206, L"bytes 18446744073709551616400-999/1000", kETag, ResumeAnswer::Refuse, "beyond any size"},
        {416, L"bytes */1000", kETag, ResumeAnswer::Refuse, "range not satisfiable"},
        {503, L"", kETag, ResumeAnswer::Refuse, "a failure is never a part"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(JudgeResumedAnswer(c.status, c.contentRange, c.validator, 400, 1000, kETag), c.expected);
    }
    EXPECT_EQ(ResumeHeaders(400, kETag), L"Range: bytes=400-\r\nIf-Range: \"v1\"\r\n");
    EXPECT_EQ(ResumeHeaders(7, L"Tue, 01 Dec 2026 10:00:00 GMT"),
              L"Range: bytes=7-\r\nIf-Range: Tue, 01 Dec 2026 10:00:00 GMT\r\n");
}

SYSTEMTIME At(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME t = {};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    return t;
}

TEST(AttemptWait, RetryAfterInSecondsOrAsADateAndNeverBeyondTwoMinutes) {
    const SYSTEMTIME now = At(2026, 12, 11, 6, 0, 0);  // a Friday
    struct Case {
        const wchar_t* text;
        bool reads;
        DWORD ms;
    } cases[] = {
        {L"3", true, 3000},
        {L"0", true, 0},
        {L" 20 ", true, 20000},
        {L"120", true, 120000},
        {L"121", true, 120000},
        {L"99999999999999999999", true, 120000},
        {L"Fri, 11 Dec 2026 06:00:30 GMT", true, 30000},
        {L"Fri, 11 Dec 2026 07:00:00 GMT", true, 120000},
        {L"Fri, 11 Dec 2026 05:59:00 GMT", true, 0},  // already past
        {L"Sat, 01 Jan 2028 00:00:00 GMT", true, 120000},
        {L"", false, 0},
        {L"  ", false, 0},
        {L"-3", false, 0},
        {L"+3", false, 0},
        {L"3.5", false, 0},
        {L"3 s", false, 0},
        {L"soon", false, 0},
        {L"Fri, 11 Dec 2026 06:00:30 UTC", false, 0},
        {L"Fri, 31 Feb 2026 06:00:30 GMT", false, 0},
        {L"Fri, 11 Dec 2026 25:00:30 GMT", false, 0},
        {L"Friday, 11-Dec-26 06:00:30 GMT", false, 0},
        {L"Fri, 11 Dek 2026 06:00:30 GMT", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(kvtest::Narrow(c.text));
        DWORD ms = 4242;
        EXPECT_EQ(RetryAfterMs(c.text, now, ms), c.reads);
        if (c.reads) {
            EXPECT_EQ(ms, c.ms);
        }
    }
    // Only a loaded server's answers (503, 429) are taken at their word; any other failure, or
    // a Retry-After that does not read, backs off.
    EXPECT_EQ(WaitMsBeforeNextAttempt(503, L"3", 1, now, 0), 3000u);
    EXPECT_EQ(WaitMsBeforeNextAttempt(429, L"7", 4, now, 0), 7000u);
    EXPECT_EQ(WaitMsBeforeNextAttempt(500, L"3", 1, now, 0), BackoffMs(1, 0));
    EXPECT_EQ(WaitMsBeforeNextAttempt(503, L"later", 2, now, 0), BackoffMs(2, 0));
    EXPECT_EQ(WaitMsBeforeNextAttempt(0, L"", 3, now, 0), BackoffMs(3, 0));
}

TEST(AttemptWait, BackOffDoublesFromTwoSecondsWithinAQuarterEitherWay) {
    const DWORD base[] = {2000, 4000, 8000, 16000, 16000, 16000};
    for (int failed = 1; failed <= 6; ++failed) {
        SCOPED_TRACE(failed);
        const DWORD b = base[failed - 1];
        EXPECT_EQ(BackoffMs(failed, 0), b * 3 / 4);
        EXPECT_EQ(BackoffMs(failed, 0x80000000u), b);
        EXPECT_GE(BackoffMs(failed, 0xFFFFFFFFu), b * 5 / 4 - 1);
        EXPECT_LE(BackoffMs(failed, 0xFFFFFFFFu), b * 5 / 4);
        // Every draw stays within the bounds, and the draws cover them.
        DWORD least = 0xFFFFFFFF, most = 0;
        for (DWORD r = 0; r < 1000; ++r) {
            const DWORD ms = BackoffMs(failed, r * 4294967u);
            least = std::min(least, ms);
            most = std::max(most, ms);
        }
        EXPECT_GE(least, b * 3 / 4);
        EXPECT_LE(most, b * 5 / 4);
        EXPECT_LT(least, b * 3 / 4 + b / 100);
        EXPECT_GT(most, b * 5 / 4 - b / 100);
    }
}

TEST(RateFloor, EndsOnlyATransferUnderTheFloorForAWholeWindow) {
    // Receipts as (every ms, bytes) from the start until the end; where (if at all) the floor
    // of 1024 bytes/s over 60 s ends the transfer.
    struct Case {
        DWORD every;
        ULONG bytes;
        ULONGLONG until;
        ULONGLONG endsAt;  // 0: never
        const char* why;
    } cases[] = {
        {2000, 1, 200000, 60000, "a byte every 2 s"},
        {3000, 1024, 200000, 60000, "1 KiB every 3 s"},
        {3000, 2, 200000, 60000, "2 bytes every 3 s"},
        {1000, 1024, 200000, 0, "exactly the floor"},
        {1000, 1023, 200000, 60000, "a byte a second under it"},
        {500, 65535, 200000, 0, "a fast transfer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        RateFloor floor(1024, 0);
        ULONGLONG ended = 0;
        for (ULONGLONG t = c.every; t <= c.until && !ended; t += c.every)
            if (floor.Received(t, c.bytes)) ended = t;
        EXPECT_EQ(ended, c.endsAt);
    }
    // A fast start does not carry a trickle beyond a window of its own.
    RateFloor late(1024, 0);
    EXPECT_FALSE(late.Received(1000, 10 * 1024 * 1024));
    ULONGLONG ended = 0;
    for (ULONGLONG t = 3000; t <= 200000 && !ended; t += 3000)
        if (late.Received(t, 1)) ended = t;
    EXPECT_EQ(ended, 63000u) << "60 s after the fast part's receipt left the window";
    // No floor, no end.
    RateFloor none(0, 0);
    EXPECT_FALSE(none.Received(1000000, 0));
}

TEST(RateFloor, PolicyValueFromOffToAMebibyteASecond) {
    kvtest::SavedPolicyValue policy(L"MinimumRateBytesPerSecond");
    policy.Remove();
    EXPECT_EQ(MinimumRateBytesPerSecond(), 1024u) << "no value";
    struct Case {
        DWORD data;
        DWORD expected;
    } dwords[] = {{0, 0}, {1, 1}, {4096, 4096}, {1048576, 1048576}, {1048577, 1024}, {0xFFFFFFFF, 1024}};
    for (const Case& c : dwords) {
        SCOPED_TRACE(c.data);
        policy.Set(REG_DWORD, &c.data, sizeof(c.data));
        EXPECT_EQ(MinimumRateBytesPerSecond(), c.expected);
    }
    const wchar_t text[] = L"0";
    policy.Set(REG_SZ, text, sizeof(text));
    EXPECT_EQ(MinimumRateBytesPerSecond(), 1024u) << "REG_SZ";
}

// The installer step against a fetch that fails every time with the answer given: what it
// waits between its five attempts, and what its status line says meanwhile.
struct StepWaits {
    std::vector<DWORD> sleeps;
    std::vector<std::wstring> statusTexts;
    std::vector<std::string> log;
};

StepWaits InstallerWaits(DWORD status, const std::wstring& retryAfter, DWORD random) {
    StepWaits seen;
    InstallPlatform platform = RealInstallPlatform();
    platform.isElevated = [] { return false; };
    platform.sleep = [&seen](DWORD ms) { seen.sleeps.push_back(ms); };
    platform.random = [random] { return random; };
    platform.systemTime = [] { return At(2026, 12, 11, 6, 0, 0); };
    platform.fetchServerFile = [status, retryAfter](int, StepReporter*, const std::wstring&, const std::wstring&,
                                                    URLDownCallBack&, TransferState* state) -> HRESULT {
        if (state) {
            state->httpStatus = status;
            state->retryAfter = retryAfter;
        }
        return INET_E_DOWNLOAD_FAILURE;
    };
    kvtest::ScopedPlatform scoped(platform);
    StepRecorder page;
    InstallContext context = {};
    context.useHttps = 0;
    context.autoMode = 1;
    kv::InstallOutcome outcome = kv::InstallOutcome::Done;
    kvtest::RunOnWorker([&] { InstallActiveX(L"kvunit.test", context, &page, &outcome); });
    EXPECT_EQ(outcome, kv::InstallOutcome::InstallerNotObtained);
    seen.statusTexts = page.statusTexts;
    return seen;
}

TEST(AttemptWait, TheInstallerWaitsBetweenItsAttemptsAndSaysSo) {
    struct Case {
        DWORD status;
        const wchar_t* retryAfter;
        DWORD random;
        std::vector<DWORD> sleeps;
    } cases[] = {
        {503, L"3", 0, {3000, 3000, 3000, 3000}},
        {429, L"Fri, 11 Dec 2026 06:00:05 GMT", 0, {5000, 5000, 5000, 5000}},
        {503, L"600", 0, {120000, 120000, 120000, 120000}},
        {503, L"", 0x80000000u, {2000, 4000, 8000, 16000}},
        {500, L"3", 0, {1500, 3000, 6000, 12000}},
        {0, L"", 0xFFFFFFFFu, {2499, 4999, 9999, 19999}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.status << " " << kvtest::Narrow(c.retryAfter));
        const StepWaits seen = InstallerWaits(c.status, c.retryAfter, c.random);
        EXPECT_EQ(seen.sleeps, c.sleeps);
        // Each wait shows its length in whole seconds, and the next attempt its own text again.
        std::vector<std::wstring> expected;
        const std::wstring downloading = LoadResString(IDS_DOWNLOAD_ACTIVEX);
        for (size_t i = 0; i < 5; ++i) {
            if (i) expected.push_back(kvtest::RetryWaitText((c.sleeps[i - 1] + 999) / 1000));
            expected.push_back(downloading);
        }
        expected.push_back(LoadResString(IDS_INSTALL_ACTIVEX));
        EXPECT_EQ(seen.statusTexts, expected);
    }
}

}  // namespace
