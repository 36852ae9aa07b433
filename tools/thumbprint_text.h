// A certificate's SHA-256 thumbprint as an administrator types or pastes it, the one syntax of
// kvstamp's and kvcheck's --publisher: 64 hex digits in pairs, either case, a colon or a space
// allowed between two pairs (as certificate dialogs and openssl print them); nothing else, not
// even around them. Portable C++17, header only: kvstamp's native build includes it too.
#pragma once

#include <array>
#include <optional>
#include <string>

namespace kvtools {

inline int HexDigitValue(char32_t c) {
    if (c >= U'0' && c <= U'9') return static_cast<int>(c - U'0');
    if (c >= U'a' && c <= U'f') return static_cast<int>(c - U'a') + 10;
    if (c >= U'A' && c <= U'F') return static_cast<int>(c - U'A') + 10;
    return -1;
}

// nullopt when text is not such a thumbprint. Char: any character type of the command line.
template <typename Char>
std::optional<std::array<unsigned char, 32>> ParseThumbprintText(const std::basic_string<Char>& text) {
    std::array<unsigned char, 32> t{};
    size_t n = 0;
    for (size_t i = 0; i < text.size();) {
        if (n > 0 && (text[i] == Char(':') || text[i] == Char(' '))) ++i;
        if (n == t.size() || i + 1 >= text.size()) return std::nullopt;
        const int hi = HexDigitValue(static_cast<char32_t>(text[i]));
        const int lo = HexDigitValue(static_cast<char32_t>(text[i + 1]));
        if (hi < 0 || lo < 0) return std::nullopt;
        t[n++] = static_cast<unsigned char>(hi * 16 + lo);
        i += 2;
    }
    if (n != t.size()) return std::nullopt;
    return t;
}

}  // namespace kvtools
