// The installation: runs on the user-interface thread in the handler of
// WM_DOWNLOAD_FINISHED, after the worker has ended; and the repair of an
// installation that a crash interrupted, at start-up.
//
// The package is installed all or nothing by the install engine (archive/):
// it is checked and staged while the product still runs, and the product is
// stopped only for the commit, which a journal makes safe across a crash. A
// file in use is reported before anything changes, and its retry repeats only
// the commit. The new version is recorded only when every file is in place.
#include <windows.h>

#include <shellapi.h>

#include "Handles.h"
#include "InstallEngine.h"
#include "InstallSteps.h"
#include "PackageSignature.h"
#include "PublisherKey.h"
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

CString FormatText(const wchar_t* pattern) {
    CString text;
    text.Format(pattern, kProductWord);
    return text;
}

// The folder the package was saved in: its path up to the last '\'.
CString PackageFolder(const CString& packagePath) {
    const std::size_t slash = packagePath.rfind(u'\\');
    return slash == CString::npos ? CString() : CString(packagePath.substr(0, slash));
}

CString ModuleFileName() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? CString() : CString(path, length);
}

// Asks to close the product and retry; true for OK.
bool AskToRetry(HWND owner, const std::u16string& file) {
    CString text;
    text.Format(L"“%s” 文件正在被使用\r\n\r\n请关闭正在运行的%s程序，然后点击 “确定” 重新升级程序", CString(file),
                kProductWord);
    return AfxShowMessageBox(owner, text, AppCaption(), MB_OKCANCEL | MB_ICONEXCLAMATION) == IDOK;
}

// The publisher's key built in, if any: then only packages it signed for the
// offered version are installed.
bool PublisherKey(EcdsaPublicKey& key) {
    if (kPublisherKey[0] == '\0') return false;
    // An unreadable key refuses every package: nothing unsigned gets through.
    if (!ParsePublicKey(kPublisherKey, key)) key.fill(0);
    return true;
}

void RecordVersion(const CString& version) {
    CString keyPath;
    keyPath.Format(L"Software\\Brenvik\\%s\\", kProductWord);
    WriteRegString(keyPath, CString(L"version"), version);
}

}  // namespace

bool RecoverInterruptedInstallation() {
    wchar_t system[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    CString folders[] = {GetModuleDirectory(), length > 0 && length < MAX_PATH ? CString(system, length) : CString()};
    for (const CString& folder : folders) {
        if (folder.IsEmpty()) continue;
        InstallRecovery recovery(PlatformFileSystem(), folder);
        while (recovery.FindNext()) {
            RecoveryResult result = recovery.Resolve();
            while (result.outcome == RecoveryOutcome::InUse) {
                if (!AskToRetry(nullptr, result.path)) return false;
                result = recovery.Resolve();
            }
            if (result.outcome == RecoveryOutcome::Failed) {
                // The journal stays for the next start.
                AfxShowMessageBox(nullptr, FormatText(L"无法写入%s的安装目录，升级未完成。"), AppCaption(),
                                  MB_OK | MB_ICONERROR);
                return false;
            }
            if (result.outcome == RecoveryOutcome::Completed) RecordVersion(CString(result.tag));
            recovery.Finish();
        }
    }
    return true;
}

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

    const CString package = m_job.strLocalFile;
    const CString destination = PackageFolder(package);
    const CString caption = AppCaption();
    // Held open against writers from the signature check to the end of the
    // staging, so that what is staged is what was checked.
    ScopedFileHandle hold(::CreateFileW(package.GetString(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    auto refuse = [&](const wchar_t* pattern) {
        // Nothing was changed, so the old version stays recorded.
        m_dlgProgress.ShowWindow(SW_HIDE);
        hold.reset();
        ::DeleteFileW(package.GetString());
        MessageBox(FormatText(pattern), caption.GetString(), MB_OK | MB_ICONERROR);
        CDialog::OnCancel();
        return 0;
    };

    EcdsaPublicKey publisher;
    if (PublisherKey(publisher)) {
        const SignatureCheck check = CheckPackageSignature(PlatformFileSystem(), package, publisher);
        if (!check.SignedFor(kPackageProduct, m_info.NewVer)) return refuse(L"升级包签名无效，无法安装%s。");
    }

    // Checked and staged while the product still runs; the bar shows it.
    InstallOptions options;
    options.journalTag = m_info.NewVer;
    options.lastFile = GetModuleDirectory() + CString(L"\\") + m_strExeName;
    options.selfFile = ModuleFileName();
    options.progress = [this](std::uint64_t done, std::uint64_t total) {
        m_dlgProgress.m_progress.SetRange(0, 1000);
        m_dlgProgress.m_progress.SetPos(total == 0 ? 1000 : static_cast<int>(done * 1000 / total));
        return true;
    };
    PackageInstaller installer(PlatformFileSystem(), destination, options);
    InstallResult result = installer.Prepare(package);
    hold.reset();
    if (!result.ok()) {
        // A damaged package (or one that is no archive at all, such as a
        // saved error page) or an unwritable destination.
        return refuse(result.status == InstallStatus::Damaged ? L"升级包已损坏，无法安装%s。"
                                                              : L"无法写入%s的安装目录，升级未完成。");
    }

    m_dlgProgress.ShowWindow(SW_HIDE);
    KillProcessesByName(m_strExeName);
    WaitDispatchingMessages();
    for (;;) {
        // The product started again at the end inherits it. Not examined.
        ::SetCurrentDirectoryW(destination.GetString());
        result = installer.Commit();
        if (result.ok()) break;
        if (result.status != InstallStatus::InUse) return refuse(L"无法写入%s的安装目录，升级未完成。");
        // Nothing has changed: Cancel leaves the installed product as it was.
        if (!AskToRetry(m_hWnd, result.path)) {
            // The next attempt downloads again: the package would only be left behind.
            ::DeleteFileW(package.GetString());
            CDialog::OnCancel();
            return 0;
        }
    }

    RecordVersion(m_info.NewVer);
    installer.Finish();
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
