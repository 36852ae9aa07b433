// The outcome table behind the exit codes, and how one run of the steps combines the outcomes
// of its two steps.
#include <gtest/gtest.h>

#include <set>

#include "install/InstallOutcome.h"

namespace {

using kv::InstallOutcome;

TEST(InstallOutcome, EveryOutcomeHasItsOwnCode) {
    std::set<int> codes;
    for (const kv::InstallOutcomeRow& row : kv::kInstallOutcomes) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(kv::ExitCodeOf(row.outcome), row.exitCode);
        // An empty address never gets past the access check: it shares the check's code.
        if (row.outcome != InstallOutcome::NoAccessAddress) {
            EXPECT_TRUE(codes.insert(row.exitCode).second);
        }
    }
    EXPECT_EQ(kv::ExitCodeOf(InstallOutcome::NoAccessAddress), kv::ExitCodeOf(InstallOutcome::ServerUnreachable));
    EXPECT_EQ(kv::ExitCodeOf(InstallOutcome::Done), 0);
    EXPECT_EQ(kv::ExitCodeOf(InstallOutcome::RestartNeeded), 3010);
    EXPECT_EQ(kv::ExitCodeOf(InstallOutcome::UserLeft), 1602);
}

TEST(InstallOutcome, TheFirstFailureOfARunDecides) {
    const struct {
        InstallOutcome installer, update, run;
    } cases[] = {
        {InstallOutcome::Done, InstallOutcome::Done, InstallOutcome::Done},
        {InstallOutcome::RestartNeeded, InstallOutcome::Done, InstallOutcome::RestartNeeded},
        {InstallOutcome::RestartNeeded, InstallOutcome::UpdaterNotObtained, InstallOutcome::UpdaterNotObtained},
        {InstallOutcome::InstallerNotObtained, InstallOutcome::Done, InstallOutcome::InstallerNotObtained},
        {InstallOutcome::InstallerLaunchFailed, InstallOutcome::SiteNameRefused, InstallOutcome::InstallerLaunchFailed},
        {InstallOutcome::Done, InstallOutcome::SiteDirectoryNotPrepared, InstallOutcome::SiteDirectoryNotPrepared},
        {InstallOutcome::NoAccessAddress, InstallOutcome::Done, InstallOutcome::NoAccessAddress},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(kv::OutcomeRow(c.installer).name);
        EXPECT_EQ(static_cast<int>(kv::CombineStepOutcomes(c.installer, c.update)), static_cast<int>(c.run));
    }
}

}  // namespace
