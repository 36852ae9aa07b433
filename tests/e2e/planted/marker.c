/* A stand-in for a system DLL, planted beside the program by test_planted_dlls.py: once loaded
 * into a process it appends one line to the file named by KV_MARKER_LOG saying which DLL and
 * which process. Every function the real DLL exports is a stub here (marker.def), so a program
 * that imports this one still starts; the stubs do nothing useful, and it may crash later. */
#include <windows.h>

static void Utf8(const wchar_t* text, char* out, int size) {
    if (!WideCharToMultiByte(CP_UTF8, 0, text, -1, out, size, NULL, NULL)) out[0] = '\0';
}

static void Mark(HINSTANCE self) {
    wchar_t log[MAX_PATH + 1], exe[MAX_PATH + 1] = L"", dll[MAX_PATH + 1] = L"";
    DWORD n = GetEnvironmentVariableW(L"KV_MARKER_LOG", log, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    GetModuleFileNameW(NULL, exe, MAX_PATH);
    GetModuleFileNameW(self, dll, MAX_PATH);
    char exe8[4 * MAX_PATH], dll8[4 * MAX_PATH], line[9 * MAX_PATH + 64];
    Utf8(exe, exe8, sizeof(exe8));
    Utf8(dll, dll8, sizeof(dll8));
    int len = wsprintfA(line, "marker\t%lu\t%s\t", GetCurrentProcessId(), dll8);
    /* wsprintf stops at 1024 characters: the process's path goes on by hand. */
    lstrcpynA(line + len, exe8, (int)sizeof(line) - len - 3);
    lstrcatA(line, "\r\n");
    HANDLE f = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(f, line, (DWORD)lstrlenA(line), &written, NULL);
    CloseHandle(f);
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) Mark(self);
    return TRUE;
}

int kv_marker_stub(void) { return 0; }
