// The platform calls through which the two install steps fetch files, start programs, wait for
// them, find the Program Files folder and make their private download directory. The real
// platform is the default; tests replace a call to make it fail on demand or to watch what the
// steps ask of it.
#pragma once

#include <windows.h>
#include <wintrust.h>

#include <functional>
#include <string>

#include "framework/handle.h"

class StepReporter;
class URLDownCallBack;
struct TransferState;

struct InstallPlatform {
    // FetchServerFile (install/Transfer.h): the transfer result.
    std::function<HRESULT(int useHttps, StepReporter* reporter, const std::wstring& address,
                          const std::wstring& localTarget, URLDownCallBack& callback, TransferState* state)>
        fetchServerFile;
    // CreateProcessW(application, commandLine, no process or thread attributes, no handles
    // inherited, no creation flags, this process's environment, directory, startup, process):
    // how the steps start a program (never through the shell). The handles in process belong
    // to the caller.
    std::function<BOOL(const std::wstring& application, std::wstring& commandLine, const std::wstring& directory,
                       STARTUPINFOW& startup, PROCESS_INFORMATION& process)>
        createProcess;
    // HoldProgramFile (install/ProgramTrust.h): a fetched program opened for its check and
    // start; empty with GetLastError set when it does not open.
    std::function<kv::UniqueFile(const std::wstring& path)> holdProgramFile;
    // Sleep: the pause before a program that another program has open is held again, and the
    // wait between two attempts at a file.
    std::function<void(DWORD milliseconds)> sleep;
    // GetTickCount64: the clock a transfer's rate is measured on.
    std::function<ULONGLONG()> tickCount;
    // GetSystemTime: the clock a Retry-After date is read against.
    std::function<SYSTEMTIME()> systemTime;
    // A number from 0 to 0xFFFFFFFF, spread evenly: the jitter of the waits between attempts.
    std::function<DWORD()> random;
    // WinVerifyTrust: the signature check's verifying call and its closing one.
    std::function<LONG(HWND window, GUID* action, WINTRUST_DATA* data)> verifyTrust;
    // WaitForSingleObject.
    std::function<DWORD(HANDLE handle, DWORD milliseconds)> waitForObject;
    // What SHGetSpecialFolderPathW gives for CSIDL_PROGRAM_FILES (no owner window, no
    // creation) in a buffer of MAX_PATH characters; empty when the call fails.
    std::function<std::wstring()> programFilesFolder;
    // Whether the process runs elevated (IsProcessElevated, install/WorkDirectory.h): only then
    // do the steps fetch into a private directory of their own.
    std::function<bool()> isElevated;
    // The machine's temp directory: the Windows directory's "Temp", without trailing backslash.
    std::function<std::wstring()> machineTempDirectory;
    // CreateDirectoryW with the security attributes given (the private directory's access list
    // must be there from the start, never set afterwards).
    std::function<BOOL(const std::wstring& path, SECURITY_ATTRIBUTES* attributes)> createDirectory;
    // CreateFileW, without security attributes or template, for the files the update step
    // creates in the site directory (CopyToNewSiteFile, install/SiteFiles.h).
    std::function<HANDLE(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags)>
        createFile;
};

// The real platform.
InstallPlatform RealInstallPlatform();

// What the steps use now: the real platform unless a test replaced it.
const InstallPlatform& ActiveInstallPlatform();

// For tests only: replaces the platform behind the steps (null gives the real one back). Call
// it while no step runs; the steps read it from their worker thread.
void SetInstallPlatformForTesting(const InstallPlatform* platform);
