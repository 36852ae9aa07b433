#include "install/InstallPlatform.h"

#include <shlobj.h>

#include "install/Transfer.h"

namespace {

const InstallPlatform& Real() {
    static const InstallPlatform real = RealInstallPlatform();
    return real;
}

const InstallPlatform* g_override = nullptr;

}  // namespace

InstallPlatform RealInstallPlatform() {
    InstallPlatform p;
    p.fetchServerFile = FetchServerFile;
    p.shellExecute = [](SHELLEXECUTEINFOW& info) { return ::ShellExecuteExW(&info); };
    p.waitForObject = [](HANDLE handle, DWORD milliseconds) { return ::WaitForSingleObject(handle, milliseconds); };
    p.programFilesFolder = [] {
        wchar_t folder[MAX_PATH] = {};
        // The result is not tested: a failure leaves the buffer empty, and the base directory
        // then becomes "\KestrelVAULT" on the current drive.
        ::SHGetSpecialFolderPathW(nullptr, folder, CSIDL_PROGRAM_FILES, FALSE);
        return std::wstring(folder);
    };
    return p;
}

const InstallPlatform& ActiveInstallPlatform() { return g_override ? *g_override : Real(); }

void SetInstallPlatformForTesting(const InstallPlatform* platform) { g_override = platform; }
