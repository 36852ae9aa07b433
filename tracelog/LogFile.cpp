#include "tracelog/LogFile.h"

#include <windows.h>

#include <cstring>

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

LogFileOpen OpenOwnLogFile(const std::wstring& path, bool create, kv::UniqueFile& file) {
    file.reset();
    // No FILE_FLAG_BACKUP_SEMANTICS, so a directory does not open at all; the reparse point
    // itself is opened, never what it points at.
    file.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL | WRITE_DAC,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, create ? OPEN_ALWAYS : OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        // Something is there that is no plain file of ours to open: a directory, or a file we may
        // not write or whose access list we may not change.
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            ((attributes & FILE_ATTRIBUTE_DIRECTORY) || error == ERROR_ACCESS_DENIED))
            return LogFileOpen::NotALog;
        ::SetLastError(error);
        return LogFileOpen::Failed;
    }
    const bool created = create && ::GetLastError() != ERROR_ALREADY_EXISTS;

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
    if (created || facts.size == 0) return LogFileOpen::Opened;

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
