// How the addresses of the server's three items and their local file names are formed.
#pragma once

#include <string>

// The server addresses of the three items, filled with the scheme prefix and the UpdateURL in
// that order by FormatServerAddress.
extern const wchar_t kActiveXAddressFormat[];         // "%s%s/app/KestrelVAULT ActiveX 7i_ko.exe"
extern const wchar_t kSiteDescriptorAddressFormat[];  // "%s%s/app/update/kestrelvault_server.exe"
extern const wchar_t kUpdaterAddressFormat[];         // "%s%s/app/update/KVUpdate.exe"

// The items' local file names, to be put after a directory and a backslash.
extern const wchar_t kActiveXFileName[];         // "KestrelVAULT ActiveX 7i_ko.exe"
extern const wchar_t kSiteDescriptorFileName[];  // "kestrelvault_server.exe"
extern const wchar_t kUpdaterFileName[];         // "KVUpdate.exe"

// "https://" when useHttps is 1, "http://" for any other value: the first page's check and every
// server address use the same rule.
std::wstring SchemePrefix(int useHttps);

// An address as it may be preset or typed: with "https://" or "http://" in front, in any
// letter case, it names its own scheme, and the host is what follows the prefix.
struct SchemeAndHost {
    bool named = false;  // a prefix was there; useHttps says which
    int useHttps = 0;
    std::wstring host;   // the address without the prefix (the whole address when none)
};

// Looks at the start of address only, as it stands (the caller trims); one prefix is taken.
SchemeAndHost SplitSchemePrefix(const std::wstring& address);

// format with its first "%s" replaced by the scheme prefix and its second by updateURL, taken
// as it stands: a port or path in it stays, and a trailing slash gives "//app/".
std::wstring FormatServerAddress(const wchar_t* format, int useHttps, const std::wstring& updateURL);
