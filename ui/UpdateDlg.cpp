#include "UpdateDlg.h"

#include "UpdateApp.h"

CString g_strLocalPath;

BEGIN_MESSAGE_MAP(CUpdateDlg, CDialog)
    ON_BN_CLICKED(1004, &CDialog::OnCancel)
END_MESSAGE_MAP()

CUpdateDlg::CUpdateDlg(CWnd* pParent) : CDialog(IDD, pParent) {}

void CUpdateDlg::SetUpdateInfo(UPDATE_INFO info, CString installedVersion, CString exeName) {
    m_info = std::move(info);
    m_strCurrentVersion = std::move(installedVersion);
    m_strExeName = std::move(exeName);
    g_strLocalPath = m_info.LocalPath;
}

BOOL CUpdateDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    SetDlgItemText(1001, CString(L"当前程序版本：") + m_strCurrentVersion);
    SetDlgItemText(1002, m_info.UpdateInfo);
    CString relaunch;
    relaunch.Format(L"升级完成后运行%s", kProductWord);
    SetDlgItemText(1007, relaunch);
    CheckDlgButton(1007, BST_CHECKED);

    CString caption;
    caption.Format(L"%s升级程序", kProductWord);
    SetWindowText(caption);
    return TRUE;
}
