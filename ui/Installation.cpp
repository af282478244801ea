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
#include "PublisherKeys.h"
#include "Registry.h"
#include "UpdateApp.h"
#include "UpdateDlg.h"
#include "UpdateLog.h"
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

// After a file was found in use: whether to try again. A person is asked to
// close the product (OK: yes); unattended, the updater waits a second and
// tries again until a minute has passed since `firstTry`.
bool KeepTrying(bool unattended, DWORD firstTry, HWND owner, const std::u16string& file) {
    if (unattended) {
        if (::GetTickCount() - firstTry >= kUnattendedInUseMs) return false;
        WaitDispatchingMessagesFor(1000);
        return true;
    }
    CString text;
    text.Format(L"“%s” 文件正在被使用\r\n\r\n请关闭正在运行的%s程序，然后点击 “确定” 重新升级程序", CString(file),
                kProductWord);
    return AfxShowMessageBox(owner, text, AppCaption(), MB_OKCANCEL | MB_ICONEXCLAMATION) == IDOK;
}

const char* RecoveryOutcomeName(RecoveryOutcome outcome) {
    switch (outcome) {
    case RecoveryOutcome::Completed: return "completed";
    case RecoveryOutcome::RolledBack: return "rolled-back";
    case RecoveryOutcome::InUse: return "in-use";
    case RecoveryOutcome::Failed: return "failed";
    }
    return "?";
}


void RecordVersion(const CString& version) {
    WriteRegString(ProductKeyPath(), kInstalledVersionValue, version);
}

}  // namespace

bool RecoverInterruptedInstallation(bool unattended) {
    const CString folders[] = {GetModuleDirectory(), PackageDirectory(CString(L"System"))};
    for (const CString& folder : folders) {
        if (folder.IsEmpty() || (&folder != folders && folder == folders[0])) continue;
        InstallRecovery recovery(PlatformFileSystem(), folder);
        while (recovery.FindNext()) {
            RecoveryResult result = recovery.Resolve();
            const DWORD firstTry = ::GetTickCount();
            while (result.outcome == RecoveryOutcome::InUse) {
                UpdateLog::Write("recovery", {{"folder", UpdateLog::Text(folder)}, {"outcome", "in-use"},
                                              {"path", UpdateLog::Text(CString(result.path))}});
                if (!KeepTrying(unattended, firstTry, nullptr, result.path)) return false;
                result = recovery.Resolve();
            }
            UpdateLog::Write("recovery", {{"folder", UpdateLog::Text(folder)},
                                          {"outcome", RecoveryOutcomeName(result.outcome)},
                                          {"version", UpdateLog::Text(CString(result.tag))},
                                          {"path", UpdateLog::Text(CString(result.path))},
                                          {"reason", UpdateLog::Text(CString(result.reason))}});
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
    UpdateLog::Write("download", {{"url", UpdateLog::Text(m_job->strUrl)},
                                  {"result", UpdateLog::Hresult(m_job->result)},
                                  {"bytes", UpdateLog::Number(m_job->meter.received.load())},
                                  {"ms", UpdateLog::Number(m_job->milliseconds)},
                                  {"cancelled", m_bCancelRequested ? "1" : "0"}});

    if (m_job->strLocalFile.IsEmpty() || m_bCancelRequested) {
        // Failed, or cancelled (perhaps after its last byte): nothing was installed.
        return EndWithoutInstalling(UpdateExit::DownloadFailed);
    }

    const CString package = m_job->strLocalFile;
    const CString destination = PackageFolder(m_job->strFolder);
    FileSystem& fs = PlatformFileSystem();
    // One handle, held without write or delete sharing from the signature
    // check to the end of the staging: what is staged is what was checked.
    std::unique_ptr<FsReadFile> held;
    CZipArchive archive;
    std::vector<EcdsaPublicKey> publishers;
    InstallOptions options;
    auto refuse = [&](const char* why, const CString& reason, const wchar_t* box) {
        archive.Close();
        held.reset();
        UpdateLog::Write("package", {{"verdict", "refused"}, {"why", why}, {"reason", UpdateLog::Text(reason)}});
        return EndWithoutInstalling(UpdateExit::PackageRefused, box);
    };
    if (FsResult opened = fs.OpenExclusive(package, held); !opened)
        return refuse("unreadable", CString(opened.message), L"升级包已损坏，无法安装%s。");
    if (ZipResult zip = archive.Open(*held); !zip)
        return refuse("damaged", CString(zip.ToText()), L"升级包已损坏，无法安装%s。");
    if (PublisherKeys(publishers)) {
        const SignatureCheck check = CheckPackageSignature(*held, publishers);
        const bool valid = check.SignedFor(kPackageProduct, m_info.NewVer);
        if (!valid) return refuse("signature", CString(check.ok() ? u"signed for another product or version"
                                                                 : check.reason), L"升级包签名无效，无法安装%s。");
        UpdateLog::Write("package", {{"signature", "valid"}, {"version", UpdateLog::Text(CString(check.version))}});
    }

    // Staged while the product still runs; the bar shows it, and the window
    // stays responsive: a Cancel stops the staging.
    options.journalTag = m_info.NewVer;
    options.lastFile = GetModuleDirectory() + CString(L"\\") + m_strExeName;
    options.selfFile = GetModuleFilePath();
    std::uint64_t staged = 0;
    options.progress = [this, &staged](std::uint64_t done, std::uint64_t total) {
        staged = done;
        m_dlgProgress.m_progress.SetRange(0, 1000);
        m_dlgProgress.m_progress.SetPos(total == 0 ? 1000 : static_cast<int>(done * 1000 / total));
        AfxPumpMessages();
        return !m_bCancelRequested;
    };
    PackageInstaller installer(fs, destination, options);
    const DWORD stagingStart = ::GetTickCount();
    InstallResult result = installer.Prepare(archive);
    const std::size_t entries = archive.GetCount();
    archive.Close();
    held.reset();
    AfxPumpMessages();  // a Cancel clicked during the last step
    UpdateLog::Write("staging", {{"entries", UpdateLog::Number(entries)}, {"bytes", UpdateLog::Number(staged)},
                                 {"ms", UpdateLog::Number(::GetTickCount() - stagingStart)},
                                 {"result", InstallStatusName(result.status)},
                                 {"reason", UpdateLog::Text(CString(result.reason))}});
    if (result.status == InstallStatus::Cancelled || m_bCancelRequested)
        return EndWithoutInstalling(UpdateExit::DownloadFailed);
    if (result.status == InstallStatus::BaseMismatch && m_hasFallback) {
        // A package made for the installed version, which the installed files
        // are not: the full package of the same version is fetched instead.
        UpdateLog::Write("package", {{"verdict", "base-mismatch"}, {"path", UpdateLog::Text(CString(result.path))},
                                     {"fallback", UpdateLog::Text(m_fallback.NetUrl)}});
        RemoveDownloadFolder(fs, m_job->strFolder);
        m_info = m_fallback;
        m_hasFallback = false;
        StartDownload();
        return 0;
    }
    if (result.status == InstallStatus::Damaged || result.status == InstallStatus::BaseMismatch) {
        // A damaged package, one that is no archive at all (such as a saved
        // error page), or one made for other files with no full package to
        // fall back on.
        UpdateLog::Write("package", {{"verdict", "refused"}, {"why", InstallStatusName(result.status)},
                                     {"reason", UpdateLog::Text(CString(result.reason))}});
        return EndWithoutInstalling(UpdateExit::PackageRefused, L"升级包已损坏，无法安装%s。");
    }
    if (!result.ok()) return EndWithoutInstalling(UpdateExit::InstallFailed, L"无法写入%s的安装目录，升级未完成。");

    // From here the product is stopped: no more Cancel.
    m_bCancelAllowed = false;
    m_dlgProgress.DisableCancel();
    m_dlgProgress.ShowWindow(SW_HIDE);
    const DWORD stopped = ::GetTickCount();
    std::vector<ScopedHandle> copies = KillProcessesByName(m_strExeName);
    const bool productWasRunning = !copies.empty();
    const DWORD waited = WaitDispatchingMessages(copies);
    UpdateLog::Write("stop", {{"copies", UpdateLog::Number(copies.size())}, {"ms", UpdateLog::Number(waited)}});
    const DWORD firstTry = ::GetTickCount();
    for (int attempt = 1;; ++attempt) {
        // The product started again at the end inherits it. Not examined.
        ::SetCurrentDirectoryW(destination.GetString());
        const DWORD commitStart = ::GetTickCount();
        result = installer.Commit();
        UpdateLog::Write("commit", {{"attempt", UpdateLog::Number(attempt)},
                                    {"ms", UpdateLog::Number(::GetTickCount() - commitStart)},
                                    {"result", InstallStatusName(result.status)},
                                    {"path", UpdateLog::Text(CString(result.path))},
                                    {"reason", UpdateLog::Text(CString(result.reason))}});
        if (result.ok()) break;
        if (result.status != InstallStatus::InUse)
            return EndWithoutInstalling(UpdateExit::InstallFailed, L"无法写入%s的安装目录，升级未完成。");
        // Nothing has changed: giving up leaves the installed product as it was.
        if (!KeepTrying(m_bUnattended, firstTry, m_hWnd, result.path)) {
            if (m_bUnattended && productWasRunning) Restart();
            return EndWithoutInstalling(UpdateExit::FileInUse);
        }
    }
    UpdateLog::Write("downtime", {{"ms", UpdateLog::Number(::GetTickCount() - stopped)}});

    RecordVersion(m_info.NewVer);
    installer.Finish();
    RemoveDownloadFolder(fs, m_job->strFolder);
    m_exit = UpdateExit::Updated;

    CString done;
    done.Format(L"%s软件已升级到%s版本!", kProductWord, m_info.NewVer);
    MessageBox(done, AppCaption().GetString(), 0);

    // Unattended, the product is started again if it was running; otherwise as the box says.
    if (m_bUnattended ? productWasRunning : SendDlgItemMessage(IDC_RUN_AFTER_UPGRADE, BM_GETCHECK, 0, 0) != 0)
        Restart();

    CDialog::OnOK();
    return 0;
}

void CUpdateDlg::Restart() {
    const CString path = GetModuleDirectory() + CString(L"\\") + m_strExeName;
    const auto started =
        reinterpret_cast<INT_PTR>(::ShellExecuteW(nullptr, L"open", path.GetString(), L"", nullptr, SW_SHOWNORMAL));
    UpdateLog::Write("restart", {{"path", UpdateLog::Text(path)}, {"result", UpdateLog::Number(started)}});
}

LRESULT CUpdateDlg::EndWithoutInstalling(UpdateExit outcome, const wchar_t* refusal) {
    // Nothing installed has changed, so the old version stays recorded.
    m_exit = outcome;
    m_dlgProgress.ShowWindow(SW_HIDE);
    if (!m_job->strFolder.IsEmpty()) RemoveDownloadFolder(PlatformFileSystem(), m_job->strFolder);
    if (refusal != nullptr) MessageBox(FormatText(refusal), AppCaption().GetString(), MB_OK | MB_ICONERROR);
    CDialog::OnCancel();
    return 0;
}
