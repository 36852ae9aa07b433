// Deletes a file again and again with DeleteFileW, as another program on the user's machine
// would (a clean-up tool, a user in Explorer), until told to stop.
//
//   kv_log_deleter.exe PATH EVENTS REPORT
//
// EVENTS names two manual-reset events made by the caller: EVENTS.ready is set after the first
// attempt, EVENTS.stop ends the loop. At the end REPORT gets one "key value" line each:
// deleted (attempts that removed the file), absent (no file there), refused (sharing violation
// or access denied: someone held the file open) and other (anything else; last_error then
// tells which).

#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    const std::wstring events = argv[2];
    HANDLE stop = ::OpenEventW(SYNCHRONIZE, FALSE, (events + L".stop").c_str());
    HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, (events + L".ready").c_str());
    if (!stop || !ready) return 3;

    unsigned long deleted = 0, absent = 0, refused = 0, other = 0, lastError = 0;
    bool first = true;
    do {
        if (::DeleteFileW(argv[1])) {
            ++deleted;
        } else {
            const DWORD error = ::GetLastError();
            if (error == ERROR_FILE_NOT_FOUND) {
                ++absent;
                // Nothing to delete until a writer has made the file again: give it the core.
                ::SwitchToThread();
            } else if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) {
                ++refused;
            } else {
                ++other;
                lastError = error;
            }
        }
        if (first) ::SetEvent(ready);
        first = false;
    } while (::WaitForSingleObject(stop, 0) == WAIT_TIMEOUT);

    const std::string text = "deleted " + std::to_string(deleted) + "\nabsent " + std::to_string(absent) +
                             "\nrefused " + std::to_string(refused) + "\nother " + std::to_string(other) +
                             "\nlast_error " + std::to_string(lastError) + "\n";
    HANDLE file = ::CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 4;
    DWORD done = 0;
    const BOOL ok = ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
    ::CloseHandle(file);
    return ok && done == text.size() ? 0 : 5;
}
