// Trimming as the runtime's wide-character classification sees white space (iswspace).
#pragma once

#include <cwctype>
#include <string>

inline std::wstring TrimRight(std::wstring s) {
    size_t end = s.size();
    while (end > 0 && std::iswspace(s[end - 1])) --end;
    s.erase(end);
    return s;
}

inline std::wstring TrimLeft(std::wstring s) {
    size_t start = 0;
    while (start < s.size() && std::iswspace(s[start])) ++start;
    s.erase(0, start);
    return s;
}

// The end first, then the start.
inline std::wstring Trim(std::wstring s) { return TrimLeft(TrimRight(std::move(s))); }
