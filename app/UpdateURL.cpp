#include "app/UpdateURL.h"

#include <windows.h>

#include <cwctype>
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

bool IsArgumentBreak(wchar_t c) { return c == L' ' || c == L'\t'; }

// path at the start of text, in any letter case, and followed by the end or a break.
bool StartsWithPathNoCase(const std::wstring& text, const std::wstring& path) {
    if (path.empty() || text.size() < path.size()) return false;
    if (text.size() > path.size() && !IsArgumentBreak(text[path.size()])) return false;
    for (size_t i = 0; i < path.size(); ++i) {
        if (std::towupper(text[i]) != std::towupper(path[i])) return false;
    }
    return true;
}

// 260 characters with the terminating NUL.
const DWORD kIniBufferChars = 260;

}  // namespace

std::wstring SkipProgramName(const std::wstring& commandLine, const std::wstring& modulePath) {
    // The runtime's rule for the first argument: a quoted one ends at its closing quote, with
    // no escapes; an unquoted one at the first blank or tab.
    size_t at = 0;
    if (!commandLine.empty() && commandLine[0] == L'"') {
        at = commandLine.find(L'"', 1);
        at = at == std::wstring::npos ? commandLine.size() : at + 1;
    } else if (StartsWithPathNoCase(commandLine, modulePath)) {
        // Started by its full path without quotes: a blank inside the path does not end it,
        // since the loader ran this very file.
        at = modulePath.size();
    } else {
        while (at < commandLine.size() && !IsArgumentBreak(commandLine[at])) ++at;
    }
    return commandLine.substr(at);
}

std::wstring CleanCommandLineURL(const std::wstring& commandLine, const std::wstring& modulePath,
                                 const std::wstring& moduleName) {
    // The program part goes by its position, not by its text: it may be typed in any letter
    // case, relative, or without ".exe".
    std::wstring text = SkipProgramName(commandLine, modulePath);
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
