// The two install steps the download page's worker runs, one after the other: the web-control
// installer, then the update step with the site's values, directories and updater. Both take
// the access host without scheme (the UpdateURL the first page hands over), block the calling
// thread, and report only through the reporter they are given (may be null).
#pragma once

#include <string>

#include "install/InstallOutcome.h"

class StepReporter;

// How the wizard runs, as far as the steps care.
struct InstallContext {
    // 1 selects https; any other value http.
    int useHttps = 0;
    // 1 when the wizard runs unattended: the installer is then started silently, and a launch
    // that fails is logged instead of shown in the shell's error box.
    int autoMode = 0;
};

// Up to five attempts to fetch the installer into the temp directory, then its launch, a wait
// for it and its deletion; after five failed attempts nothing starts. -1 when updateURL is null or empty, 0 otherwise, whatever became of
// the download and the installer. outcome (may be null) gets what the step came to: Done,
// RestartNeeded (the installer ended with 3010), NoAccessAddress, InstallerNotObtained,
// InstallerLaunchFailed.
int InstallActiveX(const wchar_t* updateURL, const InstallContext& context, StepReporter* reporter,
                   kv::InstallOutcome* outcome = nullptr);

// The per-site values, the site descriptor and its SiteName, the site directories, then the
// updater fetched into the temp directory, copied into the site directory and run from there
// with "-ou". 0 when it reached the updater launch, -1 at every failure exit (an empty
// updateURL among them). outcome (may be null) gets
// Done or the failure that ended the step (NoAccessAddress, DescriptorNotObtained,
// SiteNameRefused, SiteDirectoryNotPrepared, UpdaterNotObtained, UpdaterLaunchFailed).
int RunKVUpdate(const std::wstring& updateURL, const InstallContext& context, StepReporter* reporter,
                kv::InstallOutcome* outcome = nullptr);
