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
#include "Sync.h"
#include "InstallEngine.h"
#include "InstallSteps.h"
#include "PackageSignature.h"
#include "PublisherKey.h"
#include "Registry.h"
#include "UpdateApp.h"
#include "UpdateDlg.h"
#include "resource.h"

namespace {

CString FormatText(const wchar_t* pattern) {
    CString text;
    text.Format(pattern, kProductWord);
    return text;
}

// The folder a path is in: the path up to its last '\'.
CString PackageFolder(const CString& path) {
    const std::size_t slash = path.rfind(u'\\');
    return slash == CString::npos ? CString() : CString(path.substr(0, slash));
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
    WriteRegString(ProductKeyPath(), kInstalledVersionValue, version);
}

}  // namespace

bool RecoverInterruptedInstallation() {
    const CString folders[] = {GetModuleDirectory(), PackageDirectory(CString(L"System"))};
    for (const CString& folder : folders) {
        if (folder.IsEmpty() || (&folder != folders && folder == folders[0])) continue;
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
    // Only the worker's post counts: the same message from elsewhere (any
    // program can post it) finds no worker, or one that has not finished.
    if (m_pDownloadThread == nullptr || !m_job->finished.load()) return 0;
    KillTimer(kTransferWatchTimer);
    // The worker sends nothing once it has finished: the wait is short.
    ReleaseWorker(kCancelGraceMs);

    if (m_job->strLocalFile.IsEmpty() || m_bCancelRequested) {
        // Failed, or cancelled (perhaps after its last byte): nothing was installed.
        return EndWithoutInstalling();
    }

    const CString package = m_job->strLocalFile;
    const CString destination = PackageFolder(m_job->strFolder);
    FileSystem& fs = PlatformFileSystem();
    // One handle, held without write or delete sharing from the signature
    // check to the end of the staging: what is staged is what was checked.
    std::unique_ptr<FsReadFile> held;
    CZipArchive archive;
    EcdsaPublicKey publisher;
    InstallOptions options;
    auto refuse = [&](const wchar_t* pattern) {
        archive.Close();
        held.reset();
        return EndWithoutInstalling(pattern);
    };
    if (!fs.OpenExclusive(package, held) || !archive.Open(*held)) return refuse(L"升级包已损坏，无法安装%s。");
    if (PublisherKey(publisher) &&
        !CheckPackageSignature(*held, publisher).SignedFor(kPackageProduct, m_info.NewVer))
        return refuse(L"升级包签名无效，无法安装%s。");

    // Staged while the product still runs; the bar shows it, and the window
    // stays responsive: a Cancel stops the staging.
    options.journalTag = m_info.NewVer;
    options.lastFile = GetModuleDirectory() + CString(L"\\") + m_strExeName;
    options.selfFile = GetModuleFilePath();
    options.progress = [this](std::uint64_t done, std::uint64_t total) {
        m_dlgProgress.m_progress.SetRange(0, 1000);
        m_dlgProgress.m_progress.SetPos(total == 0 ? 1000 : static_cast<int>(done * 1000 / total));
        AfxPumpMessages();
        return !m_bCancelRequested;
    };
    PackageInstaller installer(fs, destination, options);
    InstallResult result = installer.Prepare(archive);
    archive.Close();
    held.reset();
    AfxPumpMessages();  // a Cancel clicked during the last step
    if (result.status == InstallStatus::Cancelled || m_bCancelRequested) {
        return EndWithoutInstalling();
    }
    if (!result.ok()) {
        // A damaged package (or one that is no archive at all, such as a
        // saved error page) or an unwritable destination.
        return EndWithoutInstalling(result.status == InstallStatus::Damaged ? L"升级包已损坏，无法安装%s。"
                                                              : L"无法写入%s的安装目录，升级未完成。");
    }

    // From here the product is stopped: no more Cancel.
    m_bCancelAllowed = false;
    m_dlgProgress.DisableCancel();
    m_dlgProgress.ShowWindow(SW_HIDE);
    KillProcessesByName(m_strExeName);
    WaitDispatchingMessages();
    for (;;) {
        // The product started again at the end inherits it. Not examined.
        ::SetCurrentDirectoryW(destination.GetString());
        result = installer.Commit();
        if (result.ok()) break;
        if (result.status != InstallStatus::InUse) return EndWithoutInstalling(L"无法写入%s的安装目录，升级未完成。");
        // Nothing has changed: Cancel leaves the installed product as it was.
        if (!AskToRetry(m_hWnd, result.path)) {
            // The next attempt downloads again: the package would only be left behind.
            return EndWithoutInstalling();
        }
    }

    RecordVersion(m_info.NewVer);
    installer.Finish();
    RemoveDownloadFolder(fs, m_job->strFolder);

    CString done;
    done.Format(L"%s软件已升级到%s版本!", kProductWord, m_info.NewVer);
    MessageBox(done, AppCaption().GetString(), 0);

    if (SendDlgItemMessage(IDC_RUN_AFTER_UPGRADE, BM_GETCHECK, 0, 0) != 0) {
        const CString path = GetModuleDirectory() + CString(L"\\") + m_strExeName;
        ::ShellExecuteW(nullptr, L"open", path.GetString(), L"", nullptr, SW_SHOWNORMAL);
    }

    CDialog::OnOK();
    return 0;
}

LRESULT CUpdateDlg::EndWithoutInstalling(const wchar_t* refusal) {
    // Nothing installed has changed, so the old version stays recorded.
    m_dlgProgress.ShowWindow(SW_HIDE);
    if (!m_job->strFolder.IsEmpty()) RemoveDownloadFolder(PlatformFileSystem(), m_job->strFolder);
    if (refusal != nullptr) MessageBox(FormatText(refusal), AppCaption().GetString(), MB_OK | MB_ICONERROR);
    CDialog::OnCancel();
    return 0;
}
