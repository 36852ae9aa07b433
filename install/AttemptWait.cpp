#include "install/AttemptWait.h"

#include "framework/app.h"
#include "install/InstallPlatform.h"
#include "install/StallLimit.h"
#include "install/StepReporter.h"
#include "install/Transfer.h"
#include "resource.h"
#include "tracelog/FuncTrace.h"

namespace {

const DWORD kFirstBackoffMs = 2000;
const int kDoublings = 3;  // 2, 4, 8, 16 s
const DWORD kStatusTooManyRequests = 429;

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// "Sun, 06 Nov 1994 08:49:37 GMT", the one form a server must send, as a FILETIME's count.
bool ReadHttpDate(const std::wstring& text, ULONGLONG& when) {
    static const wchar_t* const kDays[] = {L"Sun", L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat"};
    static const wchar_t* const kMonths[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                             L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    // Fixed positions: "Ddd, DD Mmm YYYY HH:MM:SS GMT" is 29 characters.
    if (text.size() != 29 || text.compare(3, 2, L", ") != 0 || text[7] != L' ' || text[11] != L' ' ||
        text[16] != L' ' || text[19] != L':' || text[22] != L':' || text.compare(25, 4, L" GMT") != 0)
        return false;
    bool day = false;
    for (const wchar_t* d : kDays) day = day || text.compare(0, 3, d) == 0;
    if (!day) return false;
    int month = 0;
    for (int m = 0; m < 12; ++m)
        if (text.compare(8, 3, kMonths[m]) == 0) month = m + 1;
    if (!month) return false;
    auto number = [&](size_t at, size_t digits, int& value) {
        value = 0;
        for (size_t i = at; i < at + digits; ++i) {
            if (text[i] < L'0' || text[i] > L'9') return false;
            value = value * 10 + (text[i] - L'0');
        }
        return true;
    };
    int dd, yyyy, hh, mm, ss;
    if (!number(5, 2, dd) || !number(12, 4, yyyy) || !number(17, 2, hh) || !number(20, 2, mm) || !number(23, 2, ss))
        return false;
    SYSTEMTIME st = {};
    st.wYear = static_cast<WORD>(yyyy);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(dd);
    st.wHour = static_cast<WORD>(hh);
    st.wMinute = static_cast<WORD>(mm);
    st.wSecond = static_cast<WORD>(ss);
    FILETIME ft = {};
    // Also refuses a day the month does not have and hours past 23.
    if (!::SystemTimeToFileTime(&st, &ft)) return false;
    when = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return true;
}

}  // namespace

bool RetryAfterMs(const std::wstring& text, const SYSTEMTIME& now, DWORD& ms) {
    size_t first = 0, last = text.size();
    while (first < last && IsBlank(text[first])) ++first;
    while (last > first && IsBlank(text[last - 1])) --last;
    if (first == last) return false;
    const std::wstring value = text.substr(first, last - first);
    if (value.find_first_not_of(L"0123456789") == std::wstring::npos) {
        ULONGLONG seconds = 0;
        for (wchar_t c : value) {
            seconds = seconds * 10 + (c - L'0');
            if (seconds > kMostRetryAfterMs / 1000) {
                seconds = kMostRetryAfterMs / 1000;
                break;
            }
        }
        ms = static_cast<DWORD>(seconds * 1000);
        return true;
    }
    ULONGLONG when = 0;
    if (!ReadHttpDate(value, when)) return false;
    FILETIME nowFt = {};
    if (!::SystemTimeToFileTime(&now, &nowFt)) return false;
    const ULONGLONG nowCount = (static_cast<ULONGLONG>(nowFt.dwHighDateTime) << 32) | nowFt.dwLowDateTime;
    if (when <= nowCount) {
        ms = 0;
        return true;
    }
    const ULONGLONG waitMs = (when - nowCount + 9999) / 10000;  // 100 ns units, rounded up
    ms = waitMs > kMostRetryAfterMs ? kMostRetryAfterMs : static_cast<DWORD>(waitMs);
    return true;
}

DWORD BackoffMs(int failedAttempts, DWORD random) {
    int doublings = failedAttempts - 1;
    if (doublings < 0) doublings = 0;
    if (doublings > kDoublings) doublings = kDoublings;
    const ULONGLONG base = static_cast<ULONGLONG>(kFirstBackoffMs) << doublings;
    // base * (0.75 + 0.5 * random / 2^32), in integers.
    return static_cast<DWORD>(base * 3 / 4 + ((base / 2) * random >> 32));
}

namespace {

// The wait a loaded server (503, 429) asked for with a Retry-After that reads; false for any
// other answer, whose wait is the back-off.
bool ServerAskedWaitMs(DWORD httpStatus, const std::wstring& retryAfter, const SYSTEMTIME& now, DWORD& ms) {
    return (httpStatus == HTTP_STATUS_SERVICE_UNAVAIL || httpStatus == kStatusTooManyRequests) &&
           RetryAfterMs(retryAfter, now, ms);
}

}  // namespace

DWORD WaitMsBeforeNextAttempt(DWORD httpStatus, const std::wstring& retryAfter, int failedAttempts,
                              const SYSTEMTIME& now, DWORD random) {
    DWORD ms = 0;
    return ServerAskedWaitMs(httpStatus, retryAfter, now, ms) ? ms : BackoffMs(failedAttempts, random);
}

void WaitBeforeNextAttempt(FuncTrace& trace, StepReporter* reporter, const TransferState& state,
                           int failedAttempts, UINT restoreStatus) {
    const InstallPlatform& platform = ActiveInstallPlatform();
    const SYSTEMTIME now = platform.systemTime();
    DWORD ms = 0;
    const bool serverSaid = ServerAskedWaitMs(state.httpStatus, state.retryAfter, now, ms);
    if (!serverSaid) ms = BackoffMs(failedAttempts, platform.random());
    if (serverSaid)
        trace.Log("Next attempt in %u ms (Retry-After: %S)", static_cast<unsigned>(ms), state.retryAfter.c_str());
    else
        trace.Log("Next attempt in %u ms", static_cast<unsigned>(ms));
    if (reporter) {
        // The format's one number is the wait in whole seconds, rounded up.
        std::wstring text = LoadResString(IDS_RETRY_WAIT);
        const size_t at = text.find(L"%u");
        if (at != std::wstring::npos) text.replace(at, 2, std::to_wstring((ms + 999) / 1000));
        reporter->ShowStatus(text);
    }
    platform.sleep(ms);
    if (reporter && restoreStatus) reporter->ShowStatus(LoadResString(restoreStatus));
}

void LogAttemptFacts(FuncTrace& trace, const TransferState& state) {
    if (state.resumed)
        trace.Log("Transfer resumed at %u of %u", static_cast<unsigned>(state.resumedAt),
                  static_cast<unsigned>(state.total));
    if (state.tooSlow)
        trace.Log("Transfer rate under %u bytes/s over 60 s___", static_cast<unsigned>(MinimumRateBytesPerSecond()));
}
