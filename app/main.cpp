// Entry point: everything else lives in the library that the tests link as well.
#include <windows.h>

#include "app/KestrelVault_Setup.h"
#include "framework/DllSearch.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    // Before anything can load a DLL by name: the program's folder is no place to take one from
    // (framework/DllSearch.h). The result is logged once the log is up (InitInstance).
    kv::RestrictDllSearch();
    return AfxWinMain(theApp, instance);
}
