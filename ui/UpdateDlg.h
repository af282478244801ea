// CUpdateDlg: the updater's main window, offering one update.
//
// Start-up constructs it, hands it the selected record, the installed
// version and the product's executable name (SetUpdateInfo), makes it the
// main window and runs it modally. It shows the installed version, the
// release notes, a link to the update log and the relaunch check box; Exit,
// Escape and the close box end it with IDCANCEL. Upgrade hides it for good
// and starts the download (DownloadWorker.cpp); the installation runs in its
// WM_DOWNLOAD_FINISHED handler (Installation.cpp).
//
// It owns the progress dialog (created hidden in OnInitDialog, owned by this
// window), the release-notes font, its share of the job block handed to the
// worker, the cancel event and the worker's thread object. All of it runs on
// the user-interface thread; the worker reaches the dialog only through
// WM_DOWNLOAD_PROGRESS (sent) and WM_DOWNLOAD_FINISHED (posted), and the
// dialog acts on the latter only once the job says the worker has finished.
//
// Cancel (the progress dialog's button, Escape or close box) is honoured
// until the product is stopped: during the transfer (a transfer that the
// server holds silent is not waited for beyond a short grace), after its last
// byte, and during the staging; from the stop on, Cancel is disabled.
#pragma once

#ifndef UPDATE_IN_USE_RETRY_SECONDS
#define UPDATE_IN_USE_RETRY_SECONDS 60
#endif

#include "Afx.h"
#include "CString.h"
#include "DownloadWorker.h"
#include "ExitCodes.h"
#include "UpdateInfo.h"
#include "UpdateMessages.h"
#include "UpdateProcressDlg.h"

// How long an unattended update retries a file in use before it gives up.
constexpr DWORD kUnattendedInUseMs = UPDATE_IN_USE_RETRY_SECONDS * 1000;

class CUpdateDlg : public CDialog {
public:
    enum { IDD = 102 };

    CUpdateDlg();
    ~CUpdateDlg() override;

    // Called once, after construction and before DoModal. Also copies the
    // record's LocalPath into g_strLocalPath.
    void SetUpdateInfo(UPDATE_INFO info, CString installedVersion, CString exeName);
    // Unattended (a machine policy): the offer is never shown, the update
    // starts at once with the progress dialog alone, no box is shown, a file
    // in use is retried for a while, and the product is started again if it
    // was running. Before DoModal.
    void SetUnattended(bool unattended) { m_bUnattended = unattended; }
    // The full package of the same version, fetched instead when the
    // installed files are not those the selected package was made for (a
    // delta package). Before DoModal.
    void SetFallback(const UPDATE_INFO& full) {
        m_fallback = full;
        m_hasFallback = true;
    }
    // How the run ended, once DoModal has returned.
    UpdateExit Outcome() const { return m_exit; }

protected:
    BOOL OnInitDialog() override;

    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    void OnUpgrade();
    LRESULT OnDownloadProgress(WPARAM wParam, LPARAM lParam);
    LRESULT OnDownloadFinished(WPARAM wParam, LPARAM lParam);
    LRESULT OnCancelDownload(WPARAM wParam, LPARAM lParam);
    // Unattended, the offer is never shown, by the dialog manager or the modal loop either.
    LRESULT OnWindowPosChanging(WPARAM wParam, LPARAM lParam);
    // Watches the transfer: cancels one that makes no progress, and ends the
    // run when a cancelled transfer does not end.
    void OnTimer(UINT_PTR nIDEvent);

    // Validates the package address, fills m_job, shows the progress dialog
    // and starts the worker. Does nothing while a worker exists.
    void StartDownload();
    // The cancel the user (or the transfer watch) asks for, while it may be.
    void RequestCancel();
    // Waits up to `wait` ms for the worker to end and lets go of it: a worker
    // still running is left to end with the process. True when it had ended.
    bool ReleaseWorker(DWORD wait);
    // Ends the run with nothing installed changed, after a cancel or (with a
    // box whose text is `refusal` formatted with the product word) a refusal:
    // the downloaded package and its folder are removed first. Returns 0.
    LRESULT EndWithoutInstalling(UpdateExit outcome, const wchar_t* refusal = nullptr);
    // Starts the product from the updater's folder, and logs it.
    void Restart();

    static constexpr UINT_PTR kTransferWatchTimer = 1;
    static constexpr UINT kTransferWatchMs = 500;
    static constexpr DWORD kCancelGraceMs = 2000;

    UPDATE_INFO m_info;
    CString m_strCurrentVersion;
    CString m_strExeName;
    CFont m_fontInfo;
    CUpdateProcressDlg m_dlgProgress;
    CWinThread* m_pDownloadThread = nullptr;  // set while a worker exists (auto-delete off)
    std::shared_ptr<DownloadJob> m_job;       // the worker holds the other share
    CEvent m_evCancel;  // auto-reset, initially clear; polled by the transfer callback
    bool m_bCancelAllowed = true;     // until the product is stopped
    bool m_bCancelRequested = false;  // the user asked to cancel (or the transfer stalled)
    DWORD m_cancelTick = 0;           // when
    bool m_bUnattended = false;
    UPDATE_INFO m_fallback;
    bool m_hasFallback = false;
    UpdateExit m_exit = UpdateExit::Declined;
    HICON m_hIcon;      // shared icon resource: never destroyed

    DECLARE_MESSAGE_MAP()
};
