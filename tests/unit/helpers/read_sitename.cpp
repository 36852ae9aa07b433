// Reads one site descriptor with ReadSiteName in a process of its own and writes what the
// reader gave and this process's peak memory into a file, so that a test measures the reader
// alone, and survives a reader that dies of its allocations.
//
//     kv_read_sitename.exe DESCRIPTOR RESULT
//
// RESULT gets "outcome peak_working_set peak_pagefile" (outcome 0 name, 1 open failure,
// 2 wrong markup) on the first line and the SiteName in UTF-8 on the second.

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>

#include "install/SiteDescriptor.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kv_read_sitename DESCRIPTOR RESULT\n");
        return 2;
    }
    const SiteNameResult read = ReadSiteName(argv[1]);
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof(pmc);
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &pmc, sizeof(pmc))) return 3;

    std::string name;
    if (!read.siteName.empty()) {
        const int n = ::WideCharToMultiByte(CP_UTF8, 0, read.siteName.data(), static_cast<int>(read.siteName.size()),
                                            nullptr, 0, nullptr, nullptr);
        name.resize(static_cast<size_t>(n));
        ::WideCharToMultiByte(CP_UTF8, 0, read.siteName.data(), static_cast<int>(read.siteName.size()), &name[0], n,
                              nullptr, nullptr);
    }
    FILE* out = ::_wfopen(argv[2], L"wb");
    if (!out) return 4;
    const int outcome = read.outcome == SiteNameOutcome::Name ? 0 : read.outcome == SiteNameOutcome::OpenFailure ? 1 : 2;
    std::fprintf(out, "%d %lu %lu\n%s", outcome, static_cast<unsigned long>(pmc.PeakWorkingSetSize),
                 static_cast<unsigned long>(pmc.PeakPagefileUsage), name.c_str());
    return std::fclose(out) == 0 ? 0 : 4;
}
