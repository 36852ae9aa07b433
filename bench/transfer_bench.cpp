// Transfer benchmark, the Windows side (run by bench/run_transfer_bench.sh, which starts the
// servers and the curl side).
//
//   kv_transfer_bench speed HTTP_URL HTTPS_URL ROUNDS
//       fetches both addresses with FetchServerFile (as the install steps do: size query,
//       cache purge, transfer on a worker thread with the progress bar on this thread) and
//       with a bare InternetOpenUrlW / InternetReadFile / WriteFile loop, and times the parts
//       of FetchServerFile alone, and, for comparison, the URL-moniker download that the http
//       path used before (a bare URLDownloadToFileW of the same file, which stages it in the
//       user's internet cache), in turns, ROUNDS times; prints "name seconds bytes" with the
//       best time of each (bytes: the file's size, or the size query's answer). Each runner's requests carry
//       "?bench=NAME" (nginx serves the file all the same), so the server's access log tells
//       the body bytes each of them took.
//   kv_transfer_bench memory URL USE_HTTPS
//       one FetchServerFile of URL, then "peak_working_set BYTES" and "peak_pagefile BYTES"
//       of this process (GetProcessMemoryInfo).
//   kv_transfer_bench fetch USE_HTTPS URL...
//       FetchServerFile of each URL once, in order, as the wizard's steps fetch their files;
//       prints "fetch seconds bytes" per URL (used by bench/wizard_bench.py for the transfer
//       part of the unattended run).

#include <windows.h>
#include <commctrl.h>
#include <psapi.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_clock.h"
#include "framework/paths.h"
#include "install/Transfer.h"
#include "install/URLDownCallBack.h"
#include "tests/support/RunOnWorker.h"
#include "tests/support/StepRecorder.h"

namespace {

std::wstring Target(const wchar_t* name) { return GetTempDirectory() + L"\\kvbench_" + name; }

long long FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA a = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a)) return -1;
    return (static_cast<long long>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
}

// A progress bar of this thread, reported to as the download page's bar is.
struct Page {
    Page() : bar(MakeBar()), reporter(bar) {
        // As many steps as the bar is wide, as the download page tells of its own bar.
        RECT r = {};
        GetClientRect(bar, &r);
        reporter.SetProgressSteps(r.right - r.left);
    }
    ~Page() { DestroyWindow(bar); }
    static HWND MakeBar() {
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&icc);
        return CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_POPUP, 0, 0, 200, 20, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    }
    HWND bar;
    StepRecorder reporter;
};

// Returns the bytes written, -1 on failure.
long long FetchWithProduct(const std::wstring& url, int useHttps, const std::wstring& target) {
    Page p;
    URLDownCallBack cb(nullptr, nullptr, 0);
    HRESULT hr = E_FAIL;
    RunOnWorker([&] { hr = FetchServerFile(useHttps, &p.reporter, url, target, cb); });
    return hr == S_OK ? FileSize(target) : -1;
}

// The bare loop keeps WinINet's cache out of the way; the product's former flags (0x1001) let
// WinINet write every body into its cache as well (kept for comparison).
const DWORD kBareFlags = INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_NO_CACHE_WRITE;
const DWORD kProductFlags = INTERNET_FLAG_TRANSFER_ASCII | INTERNET_FLAG_IGNORE_CERT_CN_INVALID;

// The least a program can do with WinINet: one request, 64 KiB reads, writes to the file.
long long FetchBare(const std::wstring& url, DWORD flags, const std::wstring& target) {
    HINTERNET session = InternetOpenW(L"kv_transfer_bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET request = InternetOpenUrlW(session, url.c_str(), nullptr, 0, flags, 1);
    long long total = -1;
    if (request) {
        HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        std::vector<char> buffer(65535);
        DWORD read = 0, written = 0;
        total = 0;
        while (InternetReadFile(request, buffer.data(), static_cast<DWORD>(buffer.size()), &read) && read > 0) {
            WriteFile(file, buffer.data(), read, &written, nullptr);
            total += read;
        }
        CloseHandle(file);
        InternetCloseHandle(request);
    }
    InternetCloseHandle(session);
    return total;
}

long long SizeQuery(const std::wstring& url, int useHttps) {
    return GetWebFileSize(url.c_str(), useHttps);
}

// The least a program can do with the URL-moniker download: no callback, on this thread.
long long BareMoniker(const std::wstring& url, const std::wstring& target) {
    const HRESULT hr = URLDownloadToFileW(nullptr, url.c_str(), target.c_str(), 0, nullptr);
    return hr == S_OK ? FileSize(target) : -1;
}

long long HttpsOnly(const std::wstring& url, const std::wstring& target) {
    Page p;
    URLDownCallBack cb(&p.reporter, nullptr, 0);
    HRESULT hr = E_FAIL;
    RunOnWorker([&] { hr = URLDownloadToFileOnHttps(url.c_str(), target.c_str(), &cb); });
    return hr == S_OK ? FileSize(target) : -1;
}

int Speed(const std::wstring& httpUrl, const std::wstring& httpsUrl, int rounds) {
    struct Runner {
        const char* name;
        std::function<long long()> run;
    };
    const std::wstring target = Target(L"speed.bin");
    // Each runner's own address, for the server's log.
    auto http = [&](const char* name) { return httpUrl + L"?bench=" + std::wstring(name, name + strlen(name)); };
    auto https = [&](const char* name) { return httpsUrl + L"?bench=" + std::wstring(name, name + strlen(name)); };
    const Runner runners[] = {
        {"bare_wininet_http", [&] { return FetchBare(http("bare_wininet_http"), kBareFlags, target); }},
        {"bare_urlmon_http", [&] { return BareMoniker(http("bare_urlmon_http"), target); }},
        {"FetchServerFile_http", [&] { return FetchWithProduct(http("FetchServerFile_http"), 0, target); }},
        {"bare_wininet_https", [&] { return FetchBare(https("bare_wininet_https"), kBareFlags, target); }},
        {"FetchServerFile_https", [&] { return FetchWithProduct(https("FetchServerFile_https"), 1, target); }},
        // Where the time of the two goes.
        {"GetWebFileSize_http", [&] { return SizeQuery(http("GetWebFileSize_http"), 0); }},
        {"GetWebFileSize_https", [&] { return SizeQuery(https("GetWebFileSize_https"), 1); }},
        {"URLDownloadToFileOnHttps", [&] { return HttpsOnly(https("URLDownloadToFileOnHttps"), target); }},
        {"bare_wininet_https_0x1001",
         [&] { return FetchBare(https("bare_wininet_https_0x1001"), kProductFlags, target); }},
    };
    std::map<std::string, double> best;
    std::map<std::string, long long> bytes;
    for (int round = 0; round < rounds; ++round) {
        for (const Runner& r : runners) {
            DeleteFileW(target.c_str());
            const double start = Seconds();
            const long long n = r.run();
            const double seconds = Seconds() - start;
            if (!best.count(r.name) || seconds < best[r.name]) best[r.name] = seconds;
            bytes[r.name] = n;
        }
    }
    DeleteFileW(target.c_str());
    for (const Runner& r : runners) std::printf("%s %.4f %lld\n", r.name, best[r.name], bytes[r.name]);
    return 0;
}

int Memory(const std::wstring& url, int useHttps) {
    const std::wstring target = Target(L"memory.bin");
    const long long n = FetchWithProduct(url, useHttps, target);
    DeleteFileW(target.c_str());
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof(pmc);
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc));
    std::printf("bytes %lld\npeak_working_set %lu\npeak_pagefile %lu\n", n,
                static_cast<unsigned long>(pmc.PeakWorkingSetSize), static_cast<unsigned long>(pmc.PeakPagefileUsage));
    return n < 0 ? 1 : 0;
}

int Fetch(int useHttps, int count, wchar_t** urls) {
    const std::wstring target = Target(L"fetch.bin");
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        DeleteFileW(target.c_str());
        const double start = Seconds();
        const long long n = FetchWithProduct(urls[i], useHttps, target);
        const double seconds = Seconds() - start;
        std::printf("fetch %.4f %lld\n", seconds, n);
        failed |= n < 0;
    }
    DeleteFileW(target.c_str());
    return failed;
}

}  // namespace

// One file fetched as the installer step fetches it, up to five attempts with a state that
// carries a cut attempt's bytes to the next one (no waits: the server's cuts are the subject).
// Prints "attempts N bytes B" and returns 0 when the file came whole.
int Resume(int useHttps, const std::wstring& url) {
    Page p;
    URLDownCallBack cb(nullptr, nullptr, 0);
    wchar_t dir[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, dir);
    const std::wstring target = std::wstring(dir) + L"kv_resume_bench.bin";
    TransferState state;
    state.keepCut = true;
    HRESULT hr = E_FAIL;
    int attempts = 0;
    while (hr != S_OK && attempts < 5) {
        ++attempts;
        RunOnWorker([&] { hr = FetchServerFile(useHttps, &p.reporter, url, target, cb, &state); });
    }
    const long long bytes = hr == S_OK ? FileSize(target) : -1;
    DeleteFileW(target.c_str());
    wprintf(L"attempts %d bytes %lld\n", attempts, bytes);
    return hr == S_OK ? 0 : 1;
}

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"speed" && argc == 5) return Speed(argv[2], argv[3], _wtoi(argv[4]));
    if (mode == L"memory" && argc == 4) return Memory(argv[2], _wtoi(argv[3]));
    if (mode == L"fetch" && argc >= 4) return Fetch(_wtoi(argv[2]), argc - 3, argv + 3);
    if (mode == L"resume" && argc == 4) return Resume(_wtoi(argv[2]), argv[3]);
    std::fprintf(stderr,
                 "usage: kv_transfer_bench speed HTTP_URL HTTPS_URL ROUNDS | memory URL USE_HTTPS | "
                 "fetch USE_HTTPS URL...\n");
    return 2;
}
