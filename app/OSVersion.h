// Windows version probe and the compatibility-layer value.
#pragma once

#include <windows.h>

// Sets major and minor (0 when nothing is found); TRUE when a major version other than 0 was
// found.
BOOL GetOSVersion(DWORD& major, DWORD& minor);
// TRUE when the running system is NT-family and at least major.minor.
BOOL IsOSVersionAtLeast(DWORD major, DWORD minor);
