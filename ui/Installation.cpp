#include "UpdateDlg.h"

LRESULT CUpdateDlg::OnDownloadFinished(WPARAM, LPARAM) {
    // The installation is not wired yet: nothing was installed.
    m_dlgProgress.ShowWindow(SW_HIDE);
    EndDialog(IDCANCEL);
    return 0;
}
