// Windows version probe.
#pragma once

#include <windows.h>
#include <lm.h>

#include <functional>

// Sets major and minor (0 when nothing is found); TRUE when a major version other than 0 was
// found. Remembers the workstation query's answer for the rest of the run; the other queries'
// answers are found again on every call.
BOOL GetOSVersion(DWORD& major, DWORD& minor);
// TRUE when the running system is NT-family and at least major.minor as VerifyVersionInfoW
// answers it; FALSE on any failure of that call.
BOOL IsOSVersionAtLeast(DWORD major, DWORD minor);

// The platform calls behind the two functions above, so that tests can make each of them fail
// or answer a chosen version. Each takes what the platform call takes.
struct OSVersionQueries {
    // NetWkstaGetInfo(no server, level 100): the status and, on 0, the two numbers the
    // returned buffer held. The buffer itself is freed inside.
    std::function<NET_API_STATUS(WKSTA_INFO_100& info)> workstation;
    // RtlGetVersion found at run time in "NtDll.dll"; FALSE when the library or the function
    // is missing, TRUE once it was called (its status is not looked at).
    std::function<BOOL(RTL_OSVERSIONINFOW& info)> kernel;
    // GetVersionExW.
    std::function<BOOL(OSVERSIONINFOEXW& info)> compatibility;
    // VerifyVersionInfoW.
    std::function<BOOL(OSVERSIONINFOEXW& info, DWORD typeMask, DWORDLONG conditionMask)> verify;
};

// The real platform.
OSVersionQueries PlatformOSVersionQueries();

// For tests only: replaces the platform behind the probe (null gives the real one back) and
// forgets the remembered version, as at process start.
void SetOSVersionQueriesForTesting(const OSVersionQueries* queries);
