#include "install/SiteFiles.h"

#include <cwchar>
#include <cwctype>

#include <vector>

#include "framework/AccessList.h"
#include "framework/handle.h"
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

// Whether the name is taken by something the creation must not reuse.
bool NameTaken(DWORD error) { return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS; }

// The file behind the handle was made by this creation alone: one name, and no reparse point.
bool OnlyOurs(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info = {};
    return ::GetFileInformationByHandle(file, &info) && info.nNumberOfLinks == 1 &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Deletes the file the handle holds (by the handle, not by a name that may have changed
// since) once it is closed.
void DiscardOnClose(HANDLE file) {
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition));
}

// Removes the name itself, through a handle that does not follow a reparse point: a link
// goes, never the file it points at.
void RemoveName(const std::wstring& path) {
    kv::UniqueFile name(::CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (name) DiscardOnClose(name.get());
}

DWORD LastErrorOr(DWORD fallback) {
    const DWORD error = ::GetLastError();
    return error ? error : fallback;
}

// Windows error code, 0 once every byte of from is in to.
DWORD CopyContents(HANDLE from, HANDLE to) {
    std::vector<BYTE> block(256 * 1024);
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(from, block.data(), static_cast<DWORD>(block.size()), &read, nullptr))
            return LastErrorOr(ERROR_READ_FAULT);
        if (read == 0) return ERROR_SUCCESS;
        DWORD written = 0;
        if (!::WriteFile(to, block.data(), read, &written, nullptr)) return LastErrorOr(ERROR_WRITE_FAULT);
        if (written != read) return ERROR_DISK_FULL;
    }
}

}  // namespace

DWORD CopyToNewSiteFile(const std::wstring& source, const std::wstring& target) {
    // Removing the name first would lose the source itself.
    if (_wcsicmp(source.c_str(), target.c_str()) == 0) return ERROR_ALREADY_EXISTS;
    kv::UniqueFile from(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!from) return LastErrorOr(ERROR_OPEN_FAILED);

    const InstallPlatform& platform = ActiveInstallPlatform();
    DWORD error = ERROR_FILE_EXISTS;
    for (int tries = 0; tries < kSiteFileTries; ++tries) {
        ::SetLastError(ERROR_SUCCESS);
        kv::UniqueFile to(platform.createFile(target, GENERIC_WRITE | DELETE, 0, CREATE_NEW,
                                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT));
        if (!to) {
            error = LastErrorOr(ERROR_OPEN_FAILED);
            if (!NameTaken(error)) return error;
            // What cannot go (a directory, a file in use) makes the next creation fail as
            // this one did.
            RemoveName(target);
            continue;
        }
        if (!OnlyOurs(to.get())) {
            // Another name reached the new file before a byte went in: give it up, empty.
            error = ERROR_FILE_EXISTS;
            DiscardOnClose(to.get());
            continue;
        }
        error = CopyContents(from.get(), to.get());
        if (error != ERROR_SUCCESS) {
            DiscardOnClose(to.get());
            return error;
        }
        HANDLE raw = to.release();
        if (!::CloseHandle(raw)) return LastErrorOr(ERROR_WRITE_FAULT);
        return ERROR_SUCCESS;
    }
    return error;
}

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
    if (CopyToNewSiteFile(descriptorTempPath, copyPath) != ERROR_SUCCESS) {
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
