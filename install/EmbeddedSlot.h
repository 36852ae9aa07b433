// The URL slot embedded in the executable file. An administrator fills it in after the build
// with kvstamp (tools/); the program only reads it. As built it reads as empty.
#pragma once

#include <cstddef>
#include <string>

#include "install/EmbeddedSlotMarkers.h"

// Size of the slot in UTF-16 code units; a URL must leave room for its terminating NUL.
constexpr size_t kEmbeddedSlotUnits = 1024;

// The slot as a NUL-terminated wide string from code unit 0; all kEmbeddedSlotUnits units when
// a stamp left no NUL. Empty for an unstamped build.
std::wstring ReadEmbeddedSlot();

// The slot's storage in the running image (the end marker follows it), for tests that stamp
// it in memory. Restore what you change.
volatile wchar_t* EmbeddedSlotForTesting();
