// The update step: per-site values, the site descriptor and its SiteName, the site
// directories, then the updater fetched into the step's own directory, copied into the site
// directory and run from there with "-ou".
#include "install/InstallSteps.h"

#include "framework/app.h"
#include "framework/paths.h"
#include "install/AttemptWait.h"
#include "install/InstallPlatform.h"
#include "install/Launch.h"
#include "install/ProgramTrust.h"
#include "install/PublisherPins.h"
#include "install/LogScopes.h"
#include "install/RegDwordValue.h"
#include "install/SiteDescriptor.h"
#include "install/SiteFiles.h"
#include "install/StepGuard.h"
#include "install/StepReporter.h"
#include "install/Transfer.h"
#include "install/URLDownCallBack.h"
#include "install/WorkDirectory.h"
#include "resource.h"
#include "tracelog/FuncTrace.h"

namespace {

// How often a cut transfer of the descriptor or the updater is taken up again where it stopped.
const int kMoreAttemptsAfterCut = 4;

// One file of the step: one attempt, and after a cut that kept bytes (the server named the
// file's version, the directory is private) up to kMoreAttemptsAfterCut more, each after its
// wait, each taking up where the last stopped; any other failure ends it as it always did.
// shownStatus is the status line the wait gives back.
HRESULT FetchWithResume(FuncTrace& trace, const InstallPlatform& platform, int useHttps, StepReporter* reporter,
                        const std::wstring& address, const std::wstring& target, URLDownCallBack& callback,
                        bool privateDirectory, UINT shownStatus) {
    TransferState state;
    state.keepCut = privateDirectory;
    HRESULT result = platform.fetchServerFile(useHttps, reporter, address, target, callback, &state);
    LogAttemptFacts(trace, state);
    for (int failed = 1; result < 0 && state.cut && failed <= kMoreAttemptsAfterCut; ++failed) {
        trace.Log("URLDownloadToFile ret: 0x%08x", static_cast<unsigned>(result));
        WaitBeforeNextAttempt(trace, reporter, state, failed, shownStatus);
        result = platform.fetchServerFile(useHttps, reporter, address, target, callback, &state);
        LogAttemptFacts(trace, state);
    }
    // A kept part of a file that never came whole goes with the failure.
    if (result < 0 && state.cut) ::DeleteFileW(target.c_str());
    return result;
}

}  // namespace

static int RunKVUpdateSteps(FuncTrace& trace, const std::wstring& updateURL, const InstallContext& context,
                            StepReporter* reporter, kv::InstallOutcome& out) {
    using kv::InstallOutcome;
    if (updateURL.empty()) {
        trace.Log("UpdateURL is empty___");
        out = InstallOutcome::NoAccessAddress;
        return -1;
    }
    SetPerSiteValue(kPerSiteLanguageKey, updateURL);

    const InstallPlatform& platform = ActiveInstallPlatform();
    const std::wstring descriptorURL = FormatServerAddress(kSiteDescriptorAddressFormat, context.useHttps, updateURL);
    // The descriptor lands in the step's own directory, removed on every way out of the step.
    const StepWorkDirectory work;
    if (!work.Ready()) {
        trace.Log("Work directory create fail___(err: %u)", static_cast<unsigned>(work.Error()));
        out = InstallOutcome::DescriptorNotObtained;
        return -1;
    }
    const std::wstring tempDirectory = work.Path();
    const std::wstring descriptorTempPath = tempDirectory + L"\\" + kSiteDescriptorFileName;
    // One callback for both files; each transfer binds it to the bar with its own size.
    URLDownCallBack callback(nullptr, nullptr, -1);

    if (FetchWithResume(trace, platform, context.useHttps, reporter, descriptorURL, descriptorTempPath, callback,
                        work.IsPrivate(), IDS_INSTALL_ACTIVEX) < 0) {
        trace.Log("kestrelvault_server.exe Download fail___");
        out = InstallOutcome::DescriptorNotObtained;
        return -1;
    }

    const SiteNameResult site = ReadSiteName(descriptorTempPath);
    if (site.outcome == SiteNameOutcome::OpenFailure) {
        trace.Log("kestrelvault_server.exe Open fail___");
        out = InstallOutcome::DescriptorNotObtained;
        return -1;
    }
    if (site.outcome == SiteNameOutcome::WrongMarkup) {
        trace.Log("Wrong xml___");
        out = InstallOutcome::DescriptorNotObtained;
        return -1;
    }
    // A sign-in page or an error page in front of the server arrives as a whole file and
    // names no site: the step stops before anything is made or written under Program Files.
    if (!site.valueLine) {
        trace.Log("SiteName missing___");
        out = InstallOutcome::DescriptorNotObtained;
        return -1;
    }
    trace.Log("SiteName: %S", site.siteName.c_str());
    if (site.siteName.empty()) {
        trace.Log("SiteName empty___");
        out = InstallOutcome::DescriptorNotObtained;
        return -1;
    }
    SetPerSiteValue(kPerSiteDesktopShortcutKey, updateURL);

    const SiteFilesResult files = PrepareSiteFiles(site.siteName, tempDirectory, descriptorTempPath);
    switch (files.outcome) {
    case SiteFilesOutcome::InvalidSiteName:
        trace.Log("Invalid SiteName___");
        out = InstallOutcome::SiteNameRefused;
        return -1;
    case SiteFilesOutcome::BaseDirFailure:
        trace.Log("KestrelVault basedir create fail___");
        out = InstallOutcome::SiteDirectoryNotPrepared;
        return -1;
    case SiteFilesOutcome::SiteDirFailure:
        trace.Log("Site dir create fail___");
        out = InstallOutcome::SiteDirectoryNotPrepared;
        return -1;
    case SiteFilesOutcome::CopyFailure:
        trace.Log("kestrelvault_server.exe Copy fail___");
        out = InstallOutcome::SiteDirectoryNotPrepared;
        return -1;
    case SiteFilesOutcome::Done:
        break;
    }

    if (reporter) reporter->ShowStatus(LoadResString(IDS_INSTALL_PRODUCT));
    const std::wstring updaterURL = FormatServerAddress(kUpdaterAddressFormat, context.useHttps, updateURL);
    const std::wstring updaterPath = files.siteDirectory + L"\\" + kUpdaterFileName;
    // The transfer takes seconds or minutes, and any user may put a link under the updater's
    // name in the site directory meanwhile: it writes into the step's own directory, and only
    // a file created anew receives the copy (CopyToNewSiteFile).
    const std::wstring updaterTempPath = tempDirectory + L"\\" + kUpdaterFileName;
    if (FetchWithResume(trace, platform, context.useHttps, reporter, updaterURL, updaterTempPath, callback,
                        work.IsPrivate(), IDS_INSTALL_PRODUCT) < 0) {
        trace.Log("%S Download fail___", updaterURL.c_str());
        out = InstallOutcome::UpdaterNotObtained;
        return -1;
    }
    const DWORD copied = CopyToNewSiteFile(updaterTempPath, updaterPath);
    ::DeleteFileW(updaterTempPath.c_str());
    if (copied != ERROR_SUCCESS) {
        trace.Log("KVUpdate.exe Copy fail___(err: %u)", static_cast<unsigned>(copied));
        out = InstallOutcome::UpdaterNotObtained;
        return -1;
    }

    // The site directory is open to the Users group: the updater is held unchanged from its
    // check until it has started. A refused one leaves the product's per-site value unwritten.
    kv::UniqueFile held;
    if (!ClearProgramToStart(trace, updaterPath, "KVUpdate.exe", ReadPublisherPins(), held)) {
        out = InstallOutcome::UpdaterNotObtained;
        return -1;
    }
    SetPerSiteValue(kPerSiteProductKey, updateURL);
    const bool quiet = context.autoMode == 1;
    const LaunchOutcome launch = LaunchAndWait(kUpdaterFileName, L"-ou", files.siteDirectory, quiet, held);
    LogLaunchResult(trace, launch, "KVUpdate.exe", quiet);
    out = launch.result == LaunchResult::Ended ? InstallOutcome::Done : InstallOutcome::UpdaterLaunchFailed;
    return 0;
}

int RunKVUpdate(const std::wstring& updateURL, const InstallContext& context, StepReporter* reporter,
                kv::InstallOutcome* outcome) {
    return RunGuardedStep(logscope::kRunKVUpdate, outcome, kv::InstallOutcome::UpdaterNotObtained, -1,
                          [&](FuncTrace& trace, kv::InstallOutcome& out) {
                              return RunKVUpdateSteps(trace, updateURL, context, reporter, out);
                          });
}
