#include "app/UpdateURL.h"

// The three sources come with their own work item; until then there is no preset.
std::wstring ResolveUpdateURL() { return std::wstring(); }
