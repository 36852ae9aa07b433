// The web-control installer step: fetch the installer into the step's own directory (up to
// five attempts), run it from there, wait for it, delete it.
#include "install/InstallSteps.h"

#include "framework/app.h"
#include "framework/paths.h"
#include "install/AttemptWait.h"
#include "install/InstallPlatform.h"
#include "install/Launch.h"
#include "install/ProgramTrust.h"
#include "install/PublisherPins.h"
#include "install/LogScopes.h"
#include "install/StepGuard.h"
#include "install/StepReporter.h"
#include "install/Transfer.h"
#include "install/URLDownCallBack.h"
#include "install/WorkDirectory.h"
#include "resource.h"
#include "tracelog/FuncTrace.h"

namespace {

const int kMaxAttempts = 5;

// The installer's name in the log's lines about its check and its start.
const char kActiveXLogName[] = "KestrelVAULT ActiveX 7i_ko.exe";

void ShowStatus(StepReporter* reporter, UINT id) {
    if (reporter) reporter->ShowStatus(LoadResString(id));
}

}  // namespace

static int InstallActiveXSteps(FuncTrace& trace, const wchar_t* updateURL, const InstallContext& context,
                               StepReporter* reporter, kv::InstallOutcome& out) {
    using kv::InstallOutcome;
    if (!updateURL) {
        trace.Log("UpdateURL is null___");
        out = InstallOutcome::NoAccessAddress;
        return -1;
    }
    if (!*updateURL) {
        trace.Log("UpdateURL is empty___");
        out = InstallOutcome::NoAccessAddress;
        return -1;
    }

    const InstallPlatform& platform = ActiveInstallPlatform();
    // Removed with the installer in it on every way out of the step.
    const StepWorkDirectory work;
    if (!work.Ready()) {
        trace.Log("Work directory create fail___(err: %u)", static_cast<unsigned>(work.Error()));
        out = InstallOutcome::InstallerNotObtained;
        return 0;
    }
    const std::wstring tempDirectory = work.Path();
    const std::wstring host(updateURL);
    // Bound to the bar by each transfer; nothing is sent before the first one.
    URLDownCallBack callback(nullptr, nullptr, -1);

    const std::optional<std::vector<Thumbprint>> pins = ReadPublisherPins();
    std::wstring downFilePath;
    // Holds the fetched installer from its check until it has started.
    kv::UniqueFile held;
    HRESULT result = 1;
    // A cut attempt's bytes wait for the next one only in the private directory.
    TransferState state;
    state.keepCut = work.IsPrivate();
    // Only a result of 0 ends the attempts early: a positive one is no file either, and a file
    // whose check refused it counts as a failed attempt.
    for (int attempt = 0; result != S_OK;) {
        if (attempt > 0) WaitBeforeNextAttempt(trace, reporter, state, attempt, 0);
        const std::wstring serverFilePath = FormatServerAddress(kActiveXAddressFormat, context.useHttps, host);
        trace.Log("ServerFilePath: %S", serverFilePath.c_str());
        ShowStatus(reporter, IDS_DOWNLOAD_ACTIVEX);
        downFilePath = tempDirectory + L"\\" + kActiveXFileName;
        trace.Log("DownFilePath: %S", downFilePath.c_str());

        result = platform.fetchServerFile(context.useHttps, reporter, serverFilePath, downFilePath, callback, &state);
        LogAttemptFacts(trace, state);
        trace.Log("URLDownloadToFile ret: 0x%08x", static_cast<unsigned>(result));
        // The log names the installer without its language suffix.
        if (result < 0)
            trace.Log("KestrelVAULT ActiveX 7i.exe Download fail_ and continue loop.");
        else
            trace.Log("KestrelVAULT ActiveX 7i.exe Download Success...");
        if (result == S_OK && !ClearProgramToStart(trace, downFilePath, kActiveXLogName, pins, held))
            result = TRUST_E_FAIL;
        if (++attempt == kMaxAttempts) break;
    }

    // Only a file this run fetched and cleared may start: after five failed attempts whatever
    // lies at the target (a file of an earlier run, or one another program put there) stays
    // unstarted.
    ShowStatus(reporter, IDS_INSTALL_ACTIVEX);
    if (result != S_OK) {
        trace.Log("%s not obtained, not started___", kActiveXLogName);
        ::DeleteFileW(downFilePath.c_str());
        out = InstallOutcome::InstallerNotObtained;
        return 0;
    }
    const wchar_t* parameters = context.autoMode == 1 ? L"/verysilent" : nullptr;
    const bool quiet = context.autoMode == 1;
    const LaunchOutcome launch = LaunchAndWait(kActiveXFileName, parameters, tempDirectory, quiet, held);
    LogLaunchResult(trace, launch, kActiveXLogName, quiet);
    const bool restart = launch.result == LaunchResult::Ended && launch.exitCode == kv::kRestartExitCode;
    if (restart) trace.Log("%s asks for a restart (exit code 3010).", kActiveXLogName);
    ::DeleteFileW(downFilePath.c_str());

    if (launch.result != LaunchResult::Ended)
        out = InstallOutcome::InstallerLaunchFailed;
    else
        out = restart ? InstallOutcome::RestartNeeded : InstallOutcome::Done;
    return 0;
}

int InstallActiveX(const wchar_t* updateURL, const InstallContext& context, StepReporter* reporter,
                   kv::InstallOutcome* outcome) {
    return RunGuardedStep(logscope::kInstallActiveX, outcome, kv::InstallOutcome::InstallerNotObtained, 0,
                          [&](FuncTrace& trace, kv::InstallOutcome& out) {
                              return InstallActiveXSteps(trace, updateURL, context, reporter, out);
                          });
}
