// CUpdateDlg: the updater's main window, offering one update.
//
// Start-up constructs it, hands it the selected record, the installed
// version and the product's executable name (SetUpdateInfo), makes it the
// main window and runs it modally. User-interface thread only.
//
// This first version shows the offer (installed version, release notes,
// relaunch check box) and ends with IDCANCEL on Exit, Escape or the close
// box; the download and installation are not wired yet.
#pragma once

#include "Afx.h"
#include "CString.h"
#include "UpdateInfo.h"

// The selected record's LocalPath, for the download worker.
extern CString g_strLocalPath;

class CUpdateDlg : public CDialog {
public:
    enum { IDD = 102 };

    explicit CUpdateDlg(CWnd* pParent = nullptr);

    void SetUpdateInfo(UPDATE_INFO info, CString installedVersion, CString exeName);

protected:
    BOOL OnInitDialog() override;

    UPDATE_INFO m_info;
    CString m_strCurrentVersion;
    CString m_strExeName;

    DECLARE_MESSAGE_MAP()
};
