// The two install steps as the page's worker sees them. The downloads, the installer and the
// updater come with their own work item; until then the steps fetch and start nothing.
#include "wizard/KVDownloadDlg.h"

int KVDownloadDlg::InstallActiveX(const wchar_t* updateURL, KVDownloadDlg* /*page*/) {
    if (!updateURL || !*updateURL) return -1;
    return 0;
}

int KVDownloadDlg::RunKVUpdate() { return UpdateURL.empty() ? -1 : 0; }
