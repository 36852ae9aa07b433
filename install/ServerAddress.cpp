#include "install/ServerAddress.h"

const wchar_t kActiveXAddressFormat[] = L"%s%s/app/KestrelVAULT ActiveX 7i_ko.exe";
const wchar_t kSiteDescriptorAddressFormat[] = L"%s%s/app/update/kestrelvault_server.exe";
const wchar_t kUpdaterAddressFormat[] = L"%s%s/app/update/KVUpdate.exe";

const wchar_t kActiveXFileName[] = L"KestrelVAULT ActiveX 7i_ko.exe";
const wchar_t kSiteDescriptorFileName[] = L"kestrelvault_server.exe";
const wchar_t kUpdaterFileName[] = L"KVUpdate.exe";

std::wstring SchemePrefix(int useHttps) { return useHttps == 1 ? L"https://" : L"http://"; }

namespace {

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
    size_t i = 0;
    for (; prefix[i]; ++i) {
        if (i >= text.size()) return false;
        wchar_t c = text[i];
        // ASCII only: a look-alike letter from another script is no scheme.
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

}  // namespace

SchemeAndHost SplitSchemePrefix(const std::wstring& address) {
    SchemeAndHost out;
    for (int useHttps : {1, 0}) {
        const std::wstring prefix = SchemePrefix(useHttps);
        if (StartsWithNoCase(address, prefix.c_str())) {
            out.named = true;
            out.useHttps = useHttps;
            out.host = address.substr(prefix.size());
            return out;
        }
    }
    out.host = address;
    return out;
}

std::wstring FormatServerAddress(const wchar_t* format, int useHttps, const std::wstring& updateURL) {
    const std::wstring args[] = {SchemePrefix(useHttps), updateURL};
    std::wstring out;
    size_t next = 0;
    for (const wchar_t* p = format; p && *p; ++p) {
        if (p[0] == L'%' && p[1] == L's' && next < 2) {
            out += args[next++];
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}
