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
// window), the release-notes font, the job block handed to the worker, the
// cancel event and the worker's thread object. All of it runs on the
// user-interface thread; the worker reaches the dialog only through
// WM_DOWNLOAD_PROGRESS (sent) and WM_DOWNLOAD_FINISHED (posted).
#pragma once

#include "Afx.h"
#include "CString.h"
#include "DownloadWorker.h"
#include "UpdateInfo.h"
#include "UpdateMessages.h"
#include "UpdateProcressDlg.h"

class CUpdateDlg : public CDialog {
public:
    enum { IDD = 102 };

    CUpdateDlg();
    ~CUpdateDlg() override;

    // Called once, after construction and before DoModal. Also copies the
    // record's LocalPath into g_strLocalPath.
    void SetUpdateInfo(UPDATE_INFO info, CString installedVersion, CString exeName);

protected:
    BOOL OnInitDialog() override;

    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    void OnUpgrade();
    LRESULT OnDownloadProgress(WPARAM wParam, LPARAM lParam);
    LRESULT OnDownloadFinished(WPARAM wParam, LPARAM lParam);
    LRESULT OnCancelDownload(WPARAM wParam, LPARAM lParam);

    // Validates the package address, fills m_job, shows the progress dialog
    // and starts the worker. Does nothing while a worker exists.
    void StartDownload();

    UPDATE_INFO m_info;
    CString m_strCurrentVersion;
    CString m_strExeName;
    CFont m_fontInfo;
    CUpdateProcressDlg m_dlgProgress;
    CWinThread* m_pDownloadThread = nullptr;  // set while a worker exists (auto-delete off)
    DownloadJob m_job;
    CEvent m_evCancel;  // auto-reset, initially clear; polled by the transfer callback
    HICON m_hIcon;      // shared icon resource: never destroyed

    DECLARE_MESSAGE_MAP()
};
