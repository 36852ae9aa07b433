#include "install/SiteFiles.h"

#include <cwchar>
#include <cwctype>

#include "framework/AccessList.h"
#include "framework/OSVersion.h"
#include "install/InstallPlatform.h"
#include "tracelog/FuncTrace.h"

namespace {

bool IsDeviceName(const std::wstring& name) {
    // The part before the first dot, less trailing blanks, is what the system compares.
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.pop_back();
    for (wchar_t& c : stem) c = static_cast<wchar_t>(std::towupper(c));
    static const wchar_t* const kFixed[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* device : kFixed)
        if (stem == device) return true;
    if (stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0)) {
        const wchar_t n = stem[3];
        // The superscript digits count as well.
        return (n >= L'1' && n <= L'9') || n == L'\u00B9' || n == L'\u00B2' || n == L'\u00B3';
    }
    return false;
}

bool MajorVersionAtLeast6() {
    DWORD major = 0;
    DWORD minor = 0;
    return GetOSVersion(major, minor) && major >= 6;
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring ReplaceAll(std::wstring text, const std::wstring& from, const std::wstring& to) {
    if (from.empty()) return text;
    for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

}  // namespace

bool IsPlainSiteName(const std::wstring& name) {
    if (name.empty()) return true;
    for (wchar_t c : name)
        if (c < 0x20 || c == 0x7F || std::wstring(L"\\/:*?\"<>|").find(c) != std::wstring::npos) return false;
    // "." and ".." end in a dot too.
    if (name.back() == L'.' || name.back() == L' ') return false;
    return !IsDeviceName(name);
}

SiteFilesResult PrepareSiteFiles(const std::wstring& siteName, const std::wstring& tempDirectory,
                                 const std::wstring& descriptorTempPath) {
    SiteFilesResult result;
    if (!IsPlainSiteName(siteName)) {
        result.outcome = SiteFilesOutcome::InvalidSiteName;
        return result;
    }

    const std::wstring baseDirectory = ActiveInstallPlatform().programFilesFolder() + L"\\KestrelVAULT";
    // Whatever exists under that name counts: a file there makes the site directory fail below.
    if (!Exists(baseDirectory)) {
        ::CreateDirectoryW(baseDirectory.c_str(), nullptr);
        if (!Exists(baseDirectory)) {
            result.outcome = SiteFilesOutcome::BaseDirFailure;
            return result;
        }
    }
    if (MajorVersionAtLeast6()) AddFileAccessAllowedRights(baseDirectory.c_str());

    result.siteDirectory = baseDirectory + L"\\" + siteName;
    ::CreateDirectoryW(result.siteDirectory.c_str(), nullptr);
    if (!Exists(result.siteDirectory)) {
        result.outcome = SiteFilesOutcome::SiteDirFailure;
        return result;
    }
    if (MajorVersionAtLeast6()) AddFileAccessAllowedRights(result.siteDirectory.c_str());

    const std::wstring copyPath = ReplaceAll(descriptorTempPath, tempDirectory, result.siteDirectory);
    // Any user may write the site directory: a name there may be a hard link to a file
    // elsewhere, which copying over it would overwrite with our rights. Removing the name first
    // makes the copy a new file; never the source itself, which a copy onto itself would lose.
    if (_wcsicmp(copyPath.c_str(), descriptorTempPath.c_str()) != 0) ::DeleteFileW(copyPath.c_str());
    if (!::CopyFileW(descriptorTempPath.c_str(), copyPath.c_str(), FALSE)) {
        result.outcome = SiteFilesOutcome::CopyFailure;
        return result;
    }
    ::DeleteFileW(descriptorTempPath.c_str());
    result.outcome = SiteFilesOutcome::Done;
    return result;
}

BOOL AddFileAccessAllowedRights(const wchar_t* path) {
    FuncTrace trace("AddFileAccessAllowedRights");
    if (GrantUsersLeadingAccess(path)) return TRUE;
    // The step goes on without it, but the web control then fails to write there later, far
    // from here: the log says where it began.
    trace.Log("Users grant fail___(err: %lu)", ::GetLastError());
    return FALSE;
}
