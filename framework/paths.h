// Where the running program and its scratch files are: the one place that asks the platform for
// module file names and the temp directory, and splits such paths.
#pragma once

#include <windows.h>

#include <string>

// Full path of module (null: the executable), cut at MAX_PATH characters. A path that did not
// fit may come back from the platform without its terminating NUL (Windows XP): the result is
// cut at the buffer's end then, so it is always a terminated string callers can hand on.
std::wstring ModuleFilePath(HMODULE module = nullptr);

// path before its last backslash; empty when it has none.
std::wstring DirectoryOf(const std::wstring& path);
// path after its last backslash; all of it when it has none.
std::wstring FileNameOf(const std::wstring& path);

// The user's temporary directory without any trailing backslash. GetTempPathW is not checked:
// when it fails the result is empty, and a target formed from it starts with a backslash.
std::wstring GetTempDirectory();
