#include "app/UpdateURL.h"

#include <windows.h>

#include <vector>

#include "app/ModuleInfo.h"
#include "framework/strutil.h"
#include "install/EmbeddedSlot.h"

namespace {

void RemoveAll(std::wstring& text, const std::wstring& what) {
    if (what.empty()) return;
    for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at)) {
        text.erase(at, what.size());
    }
}

// 260 characters with the terminating NUL.
const DWORD kIniBufferChars = 260;

}  // namespace

std::wstring CleanCommandLineURL(const std::wstring& commandLine, const std::wstring& modulePath,
                                 const std::wstring& moduleName) {
    std::wstring text = commandLine;
    RemoveAll(text, modulePath);
    RemoveAll(text, moduleName);

    // Quotes only at the two ends: a quoted argument keeps its opening quote when a blank
    // separates it from the program part's closing one.
    const size_t last = text.find_last_not_of(L'"');
    text.erase(last == std::wstring::npos ? 0 : last + 1);
    text.erase(0, text.find_first_not_of(L'"'));

    return Trim(std::move(text));
}

std::wstring ThroughThreadCodePage(const std::wstring& text) {
    if (text.empty()) return std::wstring();
    const int wideLen = static_cast<int>(text.size());
    int narrowLen = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), wideLen, nullptr, 0, nullptr, nullptr);
    if (narrowLen <= 0) return std::wstring();
    std::vector<char> narrow(narrowLen);
    narrowLen = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), wideLen, narrow.data(), narrowLen, nullptr, nullptr);
    if (narrowLen <= 0) return std::wstring();

    int backLen = ::MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.data(), narrowLen, nullptr, 0);
    if (backLen <= 0) return std::wstring();
    std::wstring back(backLen, L'\0');
    backLen = ::MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.data(), narrowLen, &back[0], backLen);
    back.resize(backLen > 0 ? backLen : 0);
    return back;
}

std::wstring ReadIniURL(const std::wstring& iniPath) {
    wchar_t buffer[kIniBufferChars] = {};
    ::GetPrivateProfileStringW(L"updateurl", L"url", L"", buffer, kIniBufferChars, iniPath.c_str());
    // Cut at the first NUL, whatever the call reported.
    return std::wstring(buffer);
}

UpdateURLSources PlatformUpdateURLSources() {
    UpdateURLSources s;
    s.commandLine = [] {
        const wchar_t* line = ::GetCommandLineW();
        return std::wstring(line ? line : L"");
    };
    s.modulePath = GetModulePath;
    s.moduleName = GetModuleName;
    s.moduleDirectory = GetModuleDirectory;
    s.slot = ReadEmbeddedSlot;
    s.iniFile = ReadIniURL;
    return s;
}

ResolvedUpdateURL ResolveUpdateURL(const UpdateURLSources& sources) {
    ResolvedUpdateURL resolved;
    resolved.url = CleanCommandLineURL(sources.commandLine(), sources.modulePath(), sources.moduleName());
    if (!resolved.url.empty()) {
        resolved.source = UpdateURLSource::CommandLine;
        return resolved;
    }

    resolved.url = ThroughThreadCodePage(sources.slot());
    if (!resolved.url.empty()) {
        resolved.source = UpdateURLSource::EmbeddedSlot;
        return resolved;
    }

    resolved.url = sources.iniFile(sources.moduleDirectory() + L"\\KestrelVault_Setup.ini");
    if (!resolved.url.empty()) resolved.source = UpdateURLSource::IniFile;
    return resolved;
}
