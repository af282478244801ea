// The installation: runs on the user-interface thread in the handler of
// WM_DOWNLOAD_FINISHED, after the worker has ended.
//
// The package is installed all or nothing by the install engine (archive/):
// every entry is checked and staged before any installed file is touched, a
// file in use is reported before anything changes, and any later fault puts
// every file back. So the product is never left half replaced, and the new
// version is recorded only when every file of the package is in place.
#include <windows.h>

#include <shellapi.h>

#include "InstallEngine.h"
#include "InstallSteps.h"
#include "Registry.h"
#include "UpdateApp.h"
#include "UpdateDlg.h"
#include "resource.h"

namespace {

CString AppCaption() {
    CString caption;
    caption.Format(L"%s升级程序", kProductWord);
    return caption;
}

// The folder the package was saved in: its path up to the last '\'.
CString PackageFolder(const CString& packagePath) {
    const std::size_t slash = packagePath.rfind(u'\\');
    return slash == CString::npos ? CString() : CString(packagePath.substr(0, slash));
}

}  // namespace

LRESULT CUpdateDlg::OnDownloadFinished(WPARAM, LPARAM) {
    // Only the worker's post counts: the same message from elsewhere, with no
    // worker to join, is ignored.
    if (m_pDownloadThread == nullptr) return 0;
    // The worker's last act was the post that brought us here: the wait is short.
    DWORD exitCode = 0;
    if (::GetExitCodeThread(m_pDownloadThread->m_hThread, &exitCode) && exitCode == STILL_ACTIVE)
        ::WaitForSingleObject(m_pDownloadThread->m_hThread, INFINITE);
    delete m_pDownloadThread;
    m_pDownloadThread = nullptr;

    if (m_job.strLocalFile.IsEmpty()) {
        // Failed or cancelled: the worker has already removed any partial file.
        CDialog::OnCancel();
        return 0;
    }

    m_dlgProgress.ShowWindow(SW_HIDE);
    KillProcessesByName(m_strExeName);
    WaitDispatchingMessages();

    const CString package = m_job.strLocalFile;
    const CString destination = PackageFolder(package);
    const CString caption = AppCaption();
    for (;;) {
        // The product started again at the end inherits it. Not examined.
        ::SetCurrentDirectoryW(destination.GetString());
        const InstallResult result = InstallPackage(PlatformFileSystem(), package, destination);
        if (result.ok()) break;
        if (result.status == InstallStatus::InUse) {
            // Nothing has changed yet: Cancel leaves the installed product as it was.
            CString text;
            text.Format(L"“%s” 文件正在被使用\r\n\r\n请关闭正在运行的%s程序，然后点击 “确定” 重新升级程序",
                        result.path, kProductWord);
            if (MessageBox(text, caption.GetString(), MB_OKCANCEL | MB_ICONEXCLAMATION) == IDOK) continue;
            CDialog::OnCancel();
            return 0;
        }
        // A damaged package (or one that is no archive at all, such as a
        // saved error page) or an unwritable destination: nothing was
        // changed, so the old version stays recorded.
        CString text;
        if (result.status == InstallStatus::Damaged)
            text.Format(L"升级包已损坏，无法安装%s。", kProductWord);
        else
            text.Format(L"无法写入%s的安装目录，升级未完成。", kProductWord);
        ::DeleteFileW(package.GetString());
        MessageBox(text, caption.GetString(), MB_OK | MB_ICONERROR);
        CDialog::OnCancel();
        return 0;
    }

    CString keyPath;
    keyPath.Format(L"Software\\Brenvik\\%s\\", kProductWord);
    WriteRegString(keyPath, CString(L"version"), m_info.NewVer);

    ::DeleteFileW(package.GetString());

    CString done;
    done.Format(L"%s软件已升级到%s版本!", kProductWord, m_info.NewVer);
    MessageBox(done, caption.GetString(), 0);

    if (SendDlgItemMessage(IDC_RUN_AFTER_UPGRADE, BM_GETCHECK, 0, 0) != 0) {
        const CString path = GetModuleDirectory() + CString(L"\\") + m_strExeName;
        ::ShellExecuteW(nullptr, L"open", path.GetString(), L"", nullptr, SW_SHOWNORMAL);
    }

    CDialog::OnOK();
    return 0;
}
