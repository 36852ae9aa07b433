// The trace log's scope names for the install steps and transfers. They carry the download
// page's class name because that is how the log has always named them, and the log's readers
// (kvlog, administrators' scripts) know the steps by it: the names are the log's format, not a
// statement of where the code lives.
#pragma once

namespace logscope {
constexpr char kInstallActiveX[] = "KVDownloadDlg::InstallActiveX";
constexpr char kRunKVUpdate[] = "KVDownloadDlg::RunKVUpdate";
constexpr char kGetWebFileSize[] = "KVDownloadDlg::GetWebFileSize";
constexpr char kURLDownloadToFileOnHttps[] = "KVDownloadDlg::URLDownloadToFileOnHttps";
// The http path's own scope: only an answer it refused for its status is logged there.
constexpr char kURLDownloadToFile[] = "KVDownloadDlg::URLDownloadToFile";
// The request layer's note about a server certificate, for whichever request met it.
constexpr char kServerCertificate[] = "ServerCertificate";
}  // namespace logscope
