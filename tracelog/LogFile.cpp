#include "tracelog/LogFile.h"

#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <cwchar>

#include "framework/AccessList.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Matches pattern at data, where '9' stands for one digit and every other character for itself.
bool MatchesShape(const char* data, size_t size, const char* pattern) {
    size_t i = 0;
    for (; pattern[i]; ++i) {
        if (i >= size) return false;
        if (pattern[i] == '9' ? !IsDigit(data[i]) : data[i] != pattern[i]) return false;
    }
    return true;
}

// Digits from at, at least one; the index after them, or 0 when there are none.
size_t SkipDigits(const char* data, size_t size, size_t at) {
    size_t end = at;
    while (end < size && IsDigit(data[end])) ++end;
    return end > at ? end : 0;
}

struct FileFacts {
    bool directory = false;
    bool reparsePoint = false;
    unsigned long links = 0;
    unsigned long long size = 0;
};

// What the checks need of an open file. Append mode asks for every line, so the cheap queries
// come first: GetFileInformationByHandle also asks for the volume's serial number, which costs
// Wine a round trip to its mount manager (append mode ran at a quarter of its speed with it).
// Systems before Windows 6.0 lack the cheap ones.
bool ReadFileFacts(HANDLE file, FileFacts& facts) {
    using QueryEx = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
    static const QueryEx queryEx = reinterpret_cast<QueryEx>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetFileInformationByHandleEx")));
    if (queryEx) {
        FILE_BASIC_INFO basic = {};
        FILE_STANDARD_INFO standard = {};
        if (queryEx(file, FileBasicInfo, &basic, sizeof(basic)) &&
            queryEx(file, FileStandardInfo, &standard, sizeof(standard))) {
            facts.directory = standard.Directory != FALSE;
            facts.reparsePoint = (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            facts.links = standard.NumberOfLinks;
            facts.size = static_cast<unsigned long long>(standard.EndOfFile.QuadPart);
            return true;
        }
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(file, &info)) return false;
    facts.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.reparsePoint = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    facts.links = info.nNumberOfLinks;
    facts.size = (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return true;
}

// Enough for a header with the longest process name the code page can make of 260 characters.
const DWORD kHeaderProbeBytes = 1024;

}  // namespace

bool BeginsWithLogHeader(const char* data, size_t size) {
    static const char kStamp[] = "[9999-99-99 99:99:99.999][";
    if (!MatchesShape(data, size, kStamp)) return false;
    const size_t nameStart = sizeof(kStamp) - 1;
    // The name may hold anything but a line end; the last "(PID), T:TID]" of the line closes it.
    size_t lineEnd = nameStart;
    while (lineEnd < size && data[lineEnd] != '\r' && data[lineEnd] != '\n') ++lineEnd;
    static const char kThread[] = "), T:";
    for (size_t close = lineEnd; close-- > nameStart;) {
        if (data[close] != ']') continue;
        size_t p = close;
        while (p > nameStart && IsDigit(data[p - 1])) --p;
        if (p == close || p < nameStart + sizeof(kThread) - 1) continue;
        p -= sizeof(kThread) - 1;
        if (std::memcmp(data + p, kThread, sizeof(kThread) - 1) != 0) continue;
        size_t pidStart = p;
        while (pidStart > nameStart && IsDigit(data[pidStart - 1])) --pidStart;
        if (pidStart == p || pidStart == nameStart || data[pidStart - 1] != '(') continue;
        return SkipDigits(data, size, pidStart) == p;
    }
    return false;
}

namespace {

const DWORD kLogAccess = GENERIC_READ | GENERIC_WRITE | READ_CONTROL | WRITE_DAC;
const DWORD kLogShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

bool ReadDirectorySecurity(HANDLE directory, std::vector<BYTE>& descriptor) {
    // The label as well, where the system keeps one: systems before Windows 6.0 refuse the
    // request for it as an invalid parameter and have no integrity levels to miss.
    const SECURITY_INFORMATION kinds[] = {DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                                          DACL_SECURITY_INFORMATION};
    for (SECURITY_INFORMATION kind : kinds) {
        DWORD needed = 0;
        if (!::GetKernelObjectSecurity(directory, kind, nullptr, 0, &needed) &&
            ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
            descriptor.assign(needed, 0);
            if (::GetKernelObjectSecurity(directory, kind, descriptor.data(), needed, &needed)) return true;
        }
        if (::GetLastError() != ERROR_INVALID_PARAMETER) break;
    }
    descriptor.clear();
    return false;
}

LogDirectorySecurity g_directorySecurity = ReadDirectorySecurity;

using NtCreateFileFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                        ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using NtStatusToErrorFn = ULONG(NTAPI*)(NTSTATUS);

FARPROC NtFunction(const char* name) { return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), name); }

const NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035L);

// Creates the file name (no separators) inside the open directory itself. Win32 creates only
// by path, and a path names, at the moment of creation, whatever its links then point at.
// kNameCollision when something took the name first; the last error says why otherwise.
NTSTATUS CreateInDirectory(HANDLE directory, const std::wstring& name, kv::UniqueFile& file) {
    static const auto create = reinterpret_cast<NtCreateFileFn>(reinterpret_cast<void*>(NtFunction("NtCreateFile")));
    static const auto toError =
        reinterpret_cast<NtStatusToErrorFn>(reinterpret_cast<void*>(NtFunction("RtlNtStatusToDosError")));
    const NTSTATUS kUnsuccessful = static_cast<NTSTATUS>(0xC0000001L);
    if (!create || !toError) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return kUnsuccessful;
    }
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name.c_str());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, directory, nullptr);
    IO_STATUS_BLOCK io = {};
    HANDLE created = nullptr;
    // Synchronous, as CreateFileW opens it, so that ReadFile, WriteFile and the runtime's
    // descriptor work on the handle as on any other.
    const NTSTATUS status =
        create(&created, kLogAccess | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, kLogShare,
               FILE_CREATE, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
    if (status < 0) {
        ::SetLastError(toError(status));
        return status;
    }
    file.reset(created);
    return status;
}

enum class Creation { Created, Taken, Refused, Failed };

// The log file created at path, only where every local user may create files already: this
// program runs elevated and its path comes from the user's own registry values, so without
// this one registry write could make a file in a place that only administrators may fill
// (where services look for their code). Taken when something took the name meanwhile.
Creation CreateLogFile(const std::wstring& path, kv::UniqueFile& file) {
    const DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return Creation::Failed;
    std::vector<wchar_t> full(size + 1, L'\0');
    wchar_t* namePart = nullptr;
    const DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), &namePart);
    // A name holding a colon would make a stream of another file.
    if (length == 0 || length >= full.size() || !namePart || !*namePart || std::wcschr(namePart, L':')) {
        ::SetLastError(ERROR_INVALID_NAME);
        return Creation::Failed;
    }
    const std::wstring name(namePart);
    std::wstring directory(full.data(), static_cast<size_t>(namePart - full.data()));
    // A drive's root keeps its backslash; any other directory is named without it.
    if (directory.size() > 1 && directory.back() == L'\\' && directory[directory.size() - 2] != L':')
        directory.pop_back();

    // Held without delete sharing, so that it can be neither removed nor renamed until the file
    // is in it; reparse points on the way are followed, and the directory judged is the one
    // they lead to.
    kv::UniqueFile folder(::CreateFileW(directory.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder) return Creation::Failed;
    std::vector<BYTE> descriptor;
    if (!g_directorySecurity(folder.get(), descriptor) || descriptor.empty() ||
        !LetsUsersCreateFiles(descriptor.data())) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return Creation::Refused;
    }
    const NTSTATUS status = CreateInDirectory(folder.get(), name, file);
    if (status == kNameCollision) return Creation::Taken;
    return status < 0 ? Creation::Failed : Creation::Created;
}

}  // namespace

LogDirectorySecurity SetLogDirectorySecurityForTesting(LogDirectorySecurity reader) {
    const LogDirectorySecurity previous = g_directorySecurity;
    g_directorySecurity = reader ? reader : ReadDirectorySecurity;
    return previous;
}

LogFileOpen OpenOwnLogFile(const std::wstring& path, bool create, kv::UniqueFile& file) {
    file.reset();
    bool created = false;
    // Another program may create or remove the file between the two ways of opening it: a few
    // rounds, then it counts as held by another program.
    for (int round = 0; round < 3 && !file; ++round) {
        // No FILE_FLAG_BACKUP_SEMANTICS, so a directory does not open at all; the reparse point
        // itself is opened, never what it points at.
        file.reset(::CreateFileW(path.c_str(), kLogAccess, kLogShare, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (file) break;
        const DWORD error = ::GetLastError();
        if (!create || error != ERROR_FILE_NOT_FOUND) {
            const DWORD attributes = ::GetFileAttributesW(path.c_str());
            // Something is there that is no plain file of ours to open: a directory, or a file
            // we may not write or whose access list we may not change.
            if (attributes != INVALID_FILE_ATTRIBUTES &&
                ((attributes & FILE_ATTRIBUTE_DIRECTORY) || error == ERROR_ACCESS_DENIED))
                return LogFileOpen::NotALog;
            ::SetLastError(error);
            return LogFileOpen::Failed;
        }
        switch (CreateLogFile(path, file)) {
        case Creation::Created:
            created = true;
            break;
        case Creation::Taken:
            break;
        case Creation::Refused:
            return LogFileOpen::Refused;
        case Creation::Failed:
            return LogFileOpen::Failed;
        }
    }
    if (!file) {
        ::SetLastError(ERROR_SHARING_VIOLATION);
        return LogFileOpen::Failed;
    }

    FileFacts facts;
    if (!ReadFileFacts(file.get(), facts)) {
        file.reset();
        return LogFileOpen::Failed;
    }
    // A second name would let the log reach a file that lives elsewhere under another name.
    if (facts.directory || facts.reparsePoint || facts.links > 1) {
        file.reset();
        return LogFileOpen::NotALog;
    }
    if (created) return LogFileOpen::Created;
    if (facts.size == 0) return LogFileOpen::Opened;

    char probe[kHeaderProbeBytes];
    DWORD read = 0;
    if (!::ReadFile(file.get(), probe, sizeof(probe), &read, nullptr)) {
        file.reset();
        return LogFileOpen::Failed;
    }
    if (!BeginsWithLogHeader(probe, read)) {
        file.reset();
        return LogFileOpen::NotALog;
    }
    LARGE_INTEGER start = {};
    ::SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN);
    return LogFileOpen::Opened;
}
