// The download of the update package: what the update dialog hands the worker
// thread and what the transfer reports back.
//
// Threads: the user-interface thread fills the DownloadJob before the worker
// is created (suspended) and resumed. The job is shared: the dialog and the
// worker each hold a reference, so that the dialog may stop waiting for a
// worker that a silent server holds (the worker then ends with the process)
// without the worker ever touching freed memory. While the worker runs it
// alone writes strLocalFile, strFolder and progress; the dialog reads those
// only once `finished` is set, and the meter's atomics at any time. No lock
// is used.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

#include "CString.h"
#include "Handles.h"

#ifndef UPDATE_DOWNLOAD_STALL_SECONDS
#define UPDATE_DOWNLOAD_STALL_SECONDS 60
#endif

// A transfer that passes this size is abandoned like a cancelled one.
constexpr unsigned long long kMaxPackageBytes = 4ull << 30;
// A transfer that makes no progress for this long is cancelled.
constexpr DWORD kDownloadStallMs = UPDATE_DOWNLOAD_STALL_SECONDS * 1000;

// One progress report, sent by address in WM_DOWNLOAD_PROGRESS. The worker
// fills the job's record before each send; the receiver reads it during the
// synchronous send only and keeps no pointer.
struct DownloadProgress {
    ULONG ulProgress;       // amount transferred so far
    ULONG ulProgressMax;    // total expected; 0 when the server did not say
    ULONG ulStatusCode;     // bind status 1..25; any other code arrives as 26
    LPCWSTR szStatusText;   // may be null; valid during the send only
};

// What the transfer has done so far, for the dialog's watch over it. Written
// by the transfer callback, read by the dialog at any time.
struct TransferMeter {
    std::atomic<DWORD> lastStep{0};                 // tick count of the last progress step
    std::atomic<unsigned long long> received{0};    // bytes, counted past the 32-bit reports
    unsigned long long limit = kMaxPackageBytes;    // more is abandoned like a cancel
};

// The block shared by the update dialog (m_job) and the worker.
struct DownloadJob {
    HWND hNotifyWnd = nullptr;      // the update dialog: receives progress and the finish message
    HANDLE hCancelEvent = nullptr;  // auto-reset: a duplicate of the dialog's cancel event, owned by `cancel`
    CString strUrl;                 // the package address
    CString strLocalFile;           // full path of the package; empty when nothing was downloaded
    CString strFolder;              // the download folder that holds it; empty when none is left
    DownloadProgress progress{};    // the worker's report record: the only address progress may carry
    TransferMeter meter;
    HRESULT result = E_PENDING;     // the transfer's result, once finished
    DWORD milliseconds = 0;         // how long it took, once finished
    std::atomic<bool> finished{false};  // set by the worker just before it posts WM_DOWNLOAD_FINISHED
    ScopedHandle cancel;
};

// The selected record's LocalPath: "System" puts the package in the system
// directory, anything else in the updater's own. Written by
// CUpdateDlg::SetUpdateInfo before the dialog runs, read by the worker.
extern CString g_strLocalPath;

// The full path of the running updater, or an empty text when it cannot be
// read (however long it is).
CString GetModuleFilePath();

// The directory of the running updater executable, without a trailing
// backslash; an empty text when the executable's path cannot be read. There
// is no fall-back: the working directory is not the updater's.
CString GetModuleDirectory();

// The worker's thread function; param is a new std::shared_ptr<DownloadJob>
// that the worker takes over. Only an http:// or https:// address is
// fetched: the worker makes a fresh download folder in the destination (the
// system directory when g_strLocalPath is exactly "System", else the
// updater's own) and runs one blocking URLDownloadToFileW into it, under the
// name PackageFileNameFromUrl gives. When the transfer fails, is cancelled,
// passes the meter's limit, or the address is refused, it removes the
// folder and empties strLocalFile and strFolder. Its last acts are to set
// `finished` and post WM_DOWNLOAD_FINISHED to hNotifyWnd; it sends nothing
// after that. Returns 0.
UINT __cdecl DownloadThreadProc(LPVOID param);

// The folder the package is saved in and installed into: the system
// directory for LocalPath "System" (exact, case-sensitive), otherwise
// GetModuleDirectory().
CString PackageDirectory(const CString& localPath);
