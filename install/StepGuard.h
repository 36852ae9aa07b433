// The frame both install steps run in: their scope, their outcome (the caller's or a local
// one), and the rule that whatever a step cannot do (memory running out while it builds a path
// or a text) ends it as a logged failure on the worker, never by ending the process.
#pragma once

#include <exception>

#include "install/InstallOutcome.h"
#include "tracelog/FuncTrace.h"

// Runs steps(trace, out) in the scope named scope. An exception is logged in that scope, turns
// an outcome that is no failure yet into failure, and makes the result failedResult.
template <typename Steps>
int RunGuardedStep(const char* scope, kv::InstallOutcome* outcome, kv::InstallOutcome failure, int failedResult,
                   Steps steps) {
    FuncTrace trace(scope);
    kv::InstallOutcome ignored = kv::InstallOutcome::Done;
    kv::InstallOutcome& out = outcome ? *outcome : ignored;
    try {
        return steps(trace, out);
    } catch (const std::exception& e) {
        trace.Log("Exception: %s fail___", e.what());
        if (!kv::IsFailure(out)) out = failure;
        return failedResult;
    }
}
