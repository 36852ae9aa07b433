// Entry point: everything else lives in the library that the tests link as well.
#include <windows.h>

#include "app/KestrelVault_Setup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) { return AfxWinMain(theApp, instance); }
