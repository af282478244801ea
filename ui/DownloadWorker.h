// The download of the update package: what the update dialog hands the worker
// thread and what the transfer reports back.
//
// Threads: the user-interface thread fills the DownloadJob before the worker
// is created (suspended) and resumed, and does not touch it while the worker
// runs. The worker only reads hNotifyWnd, hCancelEvent and strUrl and only
// writes strLocalFile; the installation reads strLocalFile after the worker
// thread has ended. No lock is used.
#pragma once

#include <windows.h>

#include "CString.h"

// One progress report, sent by address in WM_DOWNLOAD_PROGRESS. The worker
// fills the job's record before each send; the receiver reads it during the
// synchronous send only and keeps no pointer.
struct DownloadProgress {
    ULONG ulProgress;       // amount transferred so far
    ULONG ulProgressMax;    // total expected; 0 when the server did not say
    ULONG ulStatusCode;     // bind status 1..25; any other code arrives as 26
    LPCWSTR szStatusText;   // may be null; valid during the send only
};

// The block inside the update dialog (m_job) whose address is the worker's
// thread parameter.
struct DownloadJob {
    HWND hNotifyWnd = nullptr;      // the update dialog: receives progress and the finish message
    HANDLE hCancelEvent = nullptr;  // the dialog's auto-reset cancel event (not owned)
    CString strUrl;                 // the package address
    CString strLocalFile;           // full path of the package; empty when nothing was downloaded
    DownloadProgress progress{};    // the worker's report record: the only address progress may carry
};

// The selected record's LocalPath: "System" puts the package in the system
// directory, anything else in the updater's own. Written by
// CUpdateDlg::SetUpdateInfo before the dialog runs, read by the worker.
extern CString g_strLocalPath;

// The directory of the running updater executable, without a trailing
// backslash; "." when the executable's path cannot be had.
CString GetModuleDirectory();

// The worker's thread function; param is the address of the dialog's m_job.
// Runs one blocking URLDownloadToFileW into the destination folder (the
// system directory when g_strLocalPath is exactly "System", else the
// updater's own), under the name FreePackagePath gives. When the
// transfer fails or is cancelled it deletes whatever was written and empties
// strLocalFile. Its last act is to post WM_DOWNLOAD_FINISHED to hNotifyWnd;
// after that it touches neither the job nor the dialog. Returns 0.
UINT __cdecl DownloadThreadProc(LPVOID param);

// Full path for the package in `folder`: its file name as PackageFileNameFromUrl
// made it when no file of that name exists, else "stem-1.ext", "stem-2.ext",
// ...: never the path of an existing file.
CString FreePackagePath(const CString& folder, const CString& fileName);

// The folder the package is saved in and installed into: the system
// directory for LocalPath "System" (exact, case-sensitive), otherwise
// GetModuleDirectory().
CString PackageDirectory(const CString& localPath);
