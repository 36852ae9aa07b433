// Module queries against this test executable, which carries the program's version resource.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "app/ModuleInfo.h"

namespace {

TEST(ModuleInfoTest, VersionOfFiles) {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring plain = std::wstring(temp) + L"kv_noversion_" + std::to_wstring(::GetCurrentProcessId()) + L".txt";
    HANDLE file = ::CreateFileW(plain.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ::WriteFile(file, "no resources", 12, &written, nullptr);
    ::CloseHandle(file);
    const std::wstring self = GetModulePath();

    struct Case {
        const wchar_t* path;
        const wchar_t* version;
    } const cases[] = {
        {self.c_str(), L"70.17.4.1201"},  // the fixed file version, not the "FileVersion" string
        {plain.c_str(), L""},             // no version information
        {L"C:\\no\\such\\file.exe", L""},
        {nullptr, L""},
    };
    for (const Case& c : cases) EXPECT_EQ(GetModuleVersion(c.path), c.version) << (c.path ? c.path : L"(null)");
    ::DeleteFileW(plain.c_str());
}

TEST(ModuleInfoTest, VersionHalvesPrintUnsigned) {
    struct Case {
        DWORD ms, ls;
        const wchar_t* text;
    } const cases[] = {
        {0x00460011, 0x000404B1, L"70.17.4.1201"},
        {0xFFFF8000, 0x7FFF0000, L"65535.32768.32767.0"},  // above 32767 in a half
    };
    for (const Case& c : cases) {
        VS_FIXEDFILEINFO info = {};
        info.dwFileVersionMS = c.ms;
        info.dwFileVersionLS = c.ls;
        info.dwProductVersionMS = 0x00060000;  // never used
        EXPECT_EQ(FormatFileVersion(info), c.text);
    }
}

TEST(ModuleInfoTest, PathSplitsIntoDirectoryAndName) {
    const std::wstring path = GetModulePath();
    EXPECT_EQ(GetModuleDirectory() + L"\\" + GetModuleName(), path);
    EXPECT_EQ(GetModuleName(), L"kv_unit_tests.exe");
}

}  // namespace
