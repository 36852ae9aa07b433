// What the error codes in the setup's log lines and in kvcheck's findings mean: WinINet,
// Windows and Winsock errors and the HRESULT-like transfer results. Shared by kvlog and kvcheck,
// portable C++17.
#pragma once

#include <cstdint>
#include <string>

namespace kvlog {

// A short explanation of code, or "" when it is not one the setup's transfers and kvcheck's
// checks are known to meet. A result of 0x80000000 or 0x80070000 plus an error code in the low
// 16 bits is explained by that error.
std::string ExplainCode(uint32_t code);

}  // namespace kvlog
