// Queries about the running executable.
#pragma once

#include <windows.h>

#include <string>

// Full path of the running executable, cut at 260 characters.
std::wstring GetModulePath();
// GetModulePath() before its last backslash; empty when there is none.
std::wstring GetModuleDirectory();
// GetModulePath() after its last backslash; the whole path when there is none.
std::wstring GetModuleName();
// File version "a.b.c.d" of path's fixed version information; empty for a null path (without
// touching the platform) or a file without version information.
std::wstring GetModuleVersion(const wchar_t* path);
// "a.b.c.d" from the four 16-bit halves of the fixed file version, most significant first.
std::wstring FormatFileVersion(const VS_FIXEDFILEINFO& info);
