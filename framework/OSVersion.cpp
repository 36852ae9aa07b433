#include "framework/OSVersion.h"

#include <atomic>

#include "framework/handle.h"

namespace {

static_assert(sizeof(RTL_OSVERSIONINFOW) == 276, "kernel query structure");
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "compatibility query structure");

// Only the workstation query fills these; nothing clears them during a run. The worker thread
// of the update step reads them after start-up has written them, so relaxed order suffices.
std::atomic<DWORD> g_cachedMajor{0};
std::atomic<DWORD> g_cachedMinor{0};

NET_API_STATUS PlatformWorkstation(WKSTA_INFO_100& info) {
    LPBYTE buffer = nullptr;
    NET_API_STATUS status = ::NetWkstaGetInfo(nullptr, 100, &buffer);
    if (status == NERR_Success && buffer) {
        info = *reinterpret_cast<WKSTA_INFO_100*>(buffer);
        // The strings in info point into the buffer; only the numbers are used afterwards.
        info.wki100_computername = nullptr;
        info.wki100_langroup = nullptr;
    }
    if (buffer) ::NetApiBufferFree(buffer);
    return status;
}

BOOL PlatformKernel(RTL_OSVERSIONINFOW& info) {
    typedef LONG(WINAPI * RtlGetVersionFn)(RTL_OSVERSIONINFOW*);
    kv::UniqueModule ntdll(::LoadLibraryW(L"NtDll.dll"));
    if (!ntdll) return FALSE;
    auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll.get(), "RtlGetVersion")));
    if (!rtlGetVersion) return FALSE;
    rtlGetVersion(&info);
    return TRUE;
}

BOOL PlatformCompatibility(OSVERSIONINFOEXW& info) {
    return ::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info));
}

BOOL PlatformVerify(OSVERSIONINFOEXW& info, DWORD typeMask, DWORDLONG conditionMask) {
    return ::VerifyVersionInfoW(&info, typeMask, conditionMask);
}

OSVersionQueries& ActiveQueries() {
    static OSVersionQueries queries = PlatformOSVersionQueries();
    return queries;
}

}  // namespace

OSVersionQueries PlatformOSVersionQueries() {
    return OSVersionQueries{PlatformWorkstation, PlatformKernel, PlatformCompatibility, PlatformVerify};
}

void SetOSVersionQueriesForTesting(const OSVersionQueries* queries) {
    ActiveQueries() = queries ? *queries : PlatformOSVersionQueries();
    g_cachedMajor = 0;
    g_cachedMinor = 0;
}

BOOL GetOSVersion(DWORD& major, DWORD& minor) {
    major = 0;
    minor = 0;

    if (g_cachedMajor.load(std::memory_order_relaxed) != 0) {
        major = g_cachedMajor.load(std::memory_order_relaxed);
        minor = g_cachedMinor.load(std::memory_order_relaxed);
        return TRUE;
    }

    const OSVersionQueries& q = ActiveQueries();

    WKSTA_INFO_100 wksta = {};
    if (q.workstation(wksta) == NERR_Success) {
        g_cachedMajor.store(wksta.wki100_ver_major, std::memory_order_relaxed);
        g_cachedMinor.store(wksta.wki100_ver_minor, std::memory_order_relaxed);
        major = wksta.wki100_ver_major;
        minor = wksta.wki100_ver_minor;
        return TRUE;
    }

    RTL_OSVERSIONINFOW kernel = {};
    kernel.dwOSVersionInfoSize = sizeof(kernel);
    if (q.kernel(kernel) && kernel.dwMajorVersion != 0) {
        major = kernel.dwMajorVersion;
        minor = kernel.dwMinorVersion;
        return TRUE;
    }

    OSVERSIONINFOEXW compat = {};
    compat.dwOSVersionInfoSize = sizeof(compat);
    if (q.compatibility(compat) && compat.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        major = compat.dwMajorVersion;
        minor = compat.dwMinorVersion;
    }

    // The compatibility query answers what the program's manifest lets it see, which can be
    // lower than the real version: climb while the system verifies a higher one.
    while (IsOSVersionAtLeast(major + 1, 0)) {
        ++major;
        minor = 0;
    }
    for (DWORD candidate = minor + 1; IsOSVersionAtLeast(major, candidate); ++candidate) minor = candidate;

    return major != 0 ? TRUE : FALSE;
}

BOOL IsOSVersionAtLeast(DWORD major, DWORD minor) {
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    info.dwPlatformId = VER_PLATFORM_WIN32_NT;

    DWORDLONG mask = 0;
    mask = ::VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = ::VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = ::VerSetConditionMask(mask, VER_PLATFORMID, VER_EQUAL);

    // ERROR_OLD_WIN_VERSION and every other failure alike mean "not at least".
    return ActiveQueries().verify(info, VER_MAJORVERSION | VER_MINORVERSION | VER_PLATFORMID, mask) ? TRUE : FALSE;
}
