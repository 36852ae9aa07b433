// What a run of the setup came to, and the process exit code that says so: one table for the
// program, which ends with the code, and for kvlog, which reads the same outcome back from the
// log. Portable C++ without platform calls, since kvlog's Linux build includes it too.
#pragma once

namespace kv {

enum class InstallOutcome {
    Done,                      // installer and updater fetched and started, site prepared
    RestartNeeded,             // Done, and the installer ended with 3010
    UserLeft,                  // the user left the wizard before the steps ended
    ServerUnreachable,         // the access check failed (and no run of the steps followed)
    NoAccessAddress,           // the steps were given an empty access host
    InstallerNotObtained,      // no attempt of five fetched an installer that passed its check
    InstallerLaunchFailed,     // the installer was fetched but did not start, or was not waited for
    DescriptorNotObtained,     // the site descriptor was not fetched, did not open, or has no SiteName markup
    SiteNameRefused,           // the SiteName is not one plain folder name
    SiteDirectoryNotPrepared,  // the base or site directory, or the descriptor copy in it, failed
    UpdaterNotObtained,        // the updater was not fetched, or its check refused it
    UpdaterLaunchFailed,       // the updater was fetched but did not start, or was not waited for
    ProxyRefused,              // the access check's proxy asked for credentials (407)
};

struct InstallOutcomeRow {
    InstallOutcome outcome;
    int exitCode;
    const char* name;  // for kvlog's reports
};

// The README's table of exit codes is this one.
inline constexpr InstallOutcomeRow kInstallOutcomes[] = {
    {InstallOutcome::Done, 0, "done"},
    {InstallOutcome::RestartNeeded, 3010, "done, restart needed"},
    {InstallOutcome::UserLeft, 1602, "left by the user"},
    {InstallOutcome::ServerUnreachable, 10, "server unreachable at the check"},
    {InstallOutcome::ProxyRefused, 11, "the proxy refused the request"},
    // The access check refuses an empty address before the steps could get one: the same code.
    {InstallOutcome::NoAccessAddress, 10, "no access address"},
    {InstallOutcome::InstallerNotObtained, 20, "installer not obtained"},
    {InstallOutcome::InstallerLaunchFailed, 21, "installer launch failed"},
    {InstallOutcome::DescriptorNotObtained, 30, "site descriptor not obtained or unreadable"},
    {InstallOutcome::SiteNameRefused, 31, "SiteName refused"},
    {InstallOutcome::SiteDirectoryNotPrepared, 32, "site directory not prepared"},
    {InstallOutcome::UpdaterNotObtained, 40, "updater not obtained"},
    {InstallOutcome::UpdaterLaunchFailed, 41, "updater launch failed"},
};

inline const InstallOutcomeRow& OutcomeRow(InstallOutcome outcome) {
    for (const InstallOutcomeRow& row : kInstallOutcomes)
        if (row.outcome == outcome) return row;
    return kInstallOutcomes[0];
}

inline int ExitCodeOf(InstallOutcome outcome) { return OutcomeRow(outcome).exitCode; }

inline bool IsFailure(InstallOutcome outcome) {
    return outcome != InstallOutcome::Done && outcome != InstallOutcome::RestartNeeded;
}

// One run of the two steps: the installer step's outcome, then the update step's (when it ran);
// the first failure decides, and a restart counts only when nothing failed.
inline InstallOutcome CombineStepOutcomes(InstallOutcome installer, InstallOutcome update) {
    if (IsFailure(installer)) return installer;
    if (IsFailure(update)) return update;
    return installer;
}

// The installer's exit code that asks for a restart.
constexpr unsigned long kRestartExitCode = 3010;

}  // namespace kv
