// The pause between two attempts at a file. A loaded server says how long it wants to be left
// alone (503 or 429 with Retry-After); any other failure backs off, doubling from 2 s, each
// wait spread by a quarter either way so that the machines a server failed together do not all
// come back in the same second.
#pragma once

#include <windows.h>

#include <string>

class FuncTrace;
class StepReporter;
struct TransferState;

// The most a Retry-After is waited for, however long the server asks.
constexpr DWORD kMostRetryAfterMs = 120000;

// A Retry-After text as milliseconds from now: a count of seconds (digits only, blanks around
// them allowed) or an HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT"), at most kMostRetryAfterMs;
// a date already past gives 0. False for anything else (empty, signs, other date forms).
bool RetryAfterMs(const std::wstring& text, const SYSTEMTIME& now, DWORD& ms);

// The back-off after the failedAttempts-th failed attempt (1 and up): 2 s, 4 s, 8 s, then
// 16 s, times a factor from 0.75 to 1.25 that random (0 .. 0xFFFFFFFF) picks evenly.
DWORD BackoffMs(int failedAttempts, DWORD random);

// The wait after the failedAttempts-th failed attempt, whose answer had the status and
// Retry-After given: the Retry-After of a 503 or 429 where it reads, else the back-off.
DWORD WaitMsBeforeNextAttempt(DWORD httpStatus, const std::wstring& retryAfter, int failedAttempts,
                              const SYSTEMTIME& now, DWORD random);

// Waits as WaitMsBeforeNextAttempt says for state's last attempt, through the platform's
// clock, randomness and sleep: logged ("Next attempt in N ms ..."), shown on the reporter's
// status line (may be null) for as long as it lasts, then the status restoreStatus (0: none)
// shown again.
void WaitBeforeNextAttempt(FuncTrace& trace, StepReporter* reporter, const TransferState& state,
                           int failedAttempts, UINT restoreStatus);

// The log lines of what an attempt did beyond its result: where it resumed, and an end under
// the rate floor.
void LogAttemptFacts(FuncTrace& trace, const TransferState& state);
