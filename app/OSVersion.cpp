#include "app/OSVersion.h"

// The probe comes with the update URL work; until then no version is known, so start-up
// writes no compatibility-layer value.
BOOL GetOSVersion(DWORD& major, DWORD& minor) {
    major = 0;
    minor = 0;
    return FALSE;
}

BOOL IsOSVersionAtLeast(DWORD, DWORD) { return FALSE; }
