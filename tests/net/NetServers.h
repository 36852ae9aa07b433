// What the net tests share: the test servers' addresses and tree, as run_with_servers.py
// hands them over, and the bytes of a file.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

namespace nettest {

inline std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// "127.0.0.1:PORT" of a server, as a user would type it.
inline std::wstring Host(const char* kind) {
    const char* v = std::getenv(kind);
    if (!v) ADD_FAILURE() << kind << " is not set: run this through ctest (tests/servers/run_with_servers.py)";
    return Widen(v ? v : "127.0.0.1:1");
}

// The server tree as this process sees it (Wine maps the Unix root to Z:).
inline std::wstring Www() {
    std::wstring p = L"Z:" + Widen(std::getenv("KV_WWW") ? std::getenv("KV_WWW") : "/nonexistent");
    for (wchar_t& c : p)
        if (c == L'/') c = L'\\';
    return p;
}

// The file's bytes, or "<missing>" when it does not exist.
inline std::string ReadWholeFile(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<missing>";
    std::string data(GetFileSize(h, nullptr), '\0');
    DWORD read = 0;
    ReadFile(h, &data[0], static_cast<DWORD>(data.size()), &read, nullptr);
    CloseHandle(h);
    data.resize(read);
    return data;
}

}  // namespace nettest
