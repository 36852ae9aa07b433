// A certificate's SHA-256 thumbprint as an administrator types or pastes it: 64 hex digits in
// either letter case, optionally with one colon or blank between bytes ("12:A3:..." as openssl
// prints it, "12 a3 ..." as the certificate dialog shows it). Portable C++17, header only.
#pragma once

#include <array>
#include <string>

namespace kvtools {

using ThumbprintBytes = std::array<unsigned char, 32>;

inline int HexDigitValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// False when text is not such a thumbprint; blanks around it are allowed.
template <typename Char>
bool ParseThumbprintText(const std::basic_string<Char>& text, ThumbprintBytes& out) {
    size_t i = 0, end = text.size();
    while (i < end && (text[i] == ' ' || text[i] == '\t')) ++i;
    while (end > i && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
    size_t bytes = 0;
    while (i < end) {
        if (bytes == out.size()) return false;
        if (bytes > 0 && (text[i] == ':' || text[i] == ' ')) ++i;  // one separator between bytes
        if (end - i < 2) return false;
        const int high = HexDigitValue(static_cast<wchar_t>(text[i]));
        const int low = HexDigitValue(static_cast<wchar_t>(text[i + 1]));
        if (high < 0 || low < 0) return false;
        out[bytes++] = static_cast<unsigned char>(high * 16 + low);
        i += 2;
    }
    return bytes == out.size();
}

}  // namespace kvtools
