// Where the preset access address comes from: command line, embedded slot, INI file.
#pragma once

#include <string>

// The preset host text, possibly empty. Sets the application's AutoMode to 1 only when the
// embedded slot supplied it.
std::wstring ResolveUpdateURL();
