#include "UpdateProcressDlg.h"

#include "UpdateDlg.h"
#include "UpdateMessages.h"
#include "resource.h"

CUpdateProcressDlg::CUpdateProcressDlg() : CDialog(IDD) {}

CUpdateProcressDlg::~CUpdateProcressDlg() = default;

void CUpdateProcressDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PROGRESS, m_progress);
}

BOOL CUpdateProcressDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    CenterWindow();
    return TRUE;
}

void CUpdateProcressDlg::OnOK() {}

void CUpdateProcressDlg::OnCancel() {
    // Disabled once the product is stopped: Escape and the close box do nothing either.
    if (CWnd* button = GetDlgItem(IDCANCEL); button != nullptr && !button->IsWindowEnabled()) return;
    if (m_pOwner != nullptr) ::SendMessageW(m_pOwner->GetSafeHwnd(), WM_CANCEL_DOWNLOAD, 0, 0);
    CDialog::OnCancel();
}

void CUpdateProcressDlg::DisableCancel() {
    if (CWnd* button = GetDlgItem(IDCANCEL)) button->EnableWindow(FALSE);
}

void CUpdateProcressDlg::ResetProgress(int nMax, int nPos) {
    m_progress.SetRange(0, nMax);
    m_progress.SetPos(nPos);
}
