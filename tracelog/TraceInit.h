// Switches the trace log on from the per-user settings. Until the log writer lands the log
// stays off.
#pragma once

inline void InitTraceLog() {}
