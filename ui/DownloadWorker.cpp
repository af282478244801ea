#include "DownloadWorker.h"

#include <shlwapi.h>
#include <urlmon.h>

#include <vector>

#include "BindStatusCallback.h"
#include "InstallEngine.h"
#include "PackageName.h"
#include "UpdateDlg.h"
#include "WebAddress.h"

CString g_strLocalPath;

CString GetModuleFilePath() {
    // Long paths need more than MAX_PATH; a full buffer means the path was cut.
    for (DWORD size = MAX_PATH; size <= 65536; size *= 2) {
        std::vector<wchar_t> path(size);
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), size);
        if (length == 0) return CString();
        if (length < size) return CString(path.data(), length);
    }
    return CString();
}

CString GetModuleDirectory() {
    CString directory = GetModuleFilePath();
    const std::size_t slash = directory.rfind(u'\\');
    if (slash == CString::npos) return CString();
    directory.resize(slash);
    return directory;
}

CString PackageDirectory(const CString& localPath) {
    if (localPath == CString(L"System")) {
        wchar_t system[MAX_PATH] = {};
        const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
        if (length > 0 && length < MAX_PATH) return CString(system, length);
        // Without the system directory the package stays beside the updater.
    }
    return GetModuleDirectory();
}

namespace {

// Fetches the package into a new download folder; true when it is there.
bool Fetch(DownloadJob& job, CBSCallbackImpl& callback) {
    job.result = HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
    if (!IsWebAddress(job.strUrl)) return false;
    const CString destination = PackageDirectory(g_strLocalPath);
    std::u16string folder;
    job.result = HRESULT_FROM_WIN32(ERROR_CANNOT_MAKE);
    if (destination.IsEmpty() || !MakeDownloadFolder(PlatformFileSystem(), destination, folder)) return false;
    job.strFolder = CString(folder);
    job.strLocalFile = job.strFolder + CString(L"\\") + CString(PackageFileNameFromUrl(job.strUrl));
    // URL monikers need COM on the calling thread.
    const HRESULT comInit = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    job.result = ::URLDownloadToFileW(nullptr, job.strUrl.GetString(), job.strLocalFile.GetString(), 0, &callback);
    if (SUCCEEDED(comInit)) ::CoUninitialize();
    // The transfer may finish a step that the callback found too large.
    FsInfo saved;
    if (SUCCEEDED(job.result) && (job.meter.received.load() > job.meter.limit ||
                                  !PlatformFileSystem().Stat(job.strLocalFile, saved) || saved.size > job.meter.limit))
        job.result = HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
    return SUCCEEDED(job.result);
}

}  // namespace

UINT __cdecl DownloadThreadProc(LPVOID param) {
    const std::unique_ptr<std::shared_ptr<DownloadJob>> share(static_cast<std::shared_ptr<DownloadJob>*>(param));
    DownloadJob& job = **share;
    const DWORD start = ::GetTickCount();
    {
        CBSCallbackImpl callback(job.hNotifyWnd, job.hCancelEvent, &job.progress, &job.meter);
        if (!Fetch(job, callback)) {
            // Whatever a failed or cancelled transfer left is in a folder of its own.
            if (!job.strFolder.IsEmpty()) RemoveDownloadFolder(PlatformFileSystem(), job.strFolder);
            job.strFolder.Empty();
            job.strLocalFile.Empty();
        }
    }
    job.milliseconds = ::GetTickCount() - start;
    job.finished.store(true);
    ::PostMessageW(job.hNotifyWnd, WM_DOWNLOAD_FINISHED, 0, 0);
    return 0;
}

void CUpdateDlg::StartDownload() {
    if (m_pDownloadThread != nullptr) return;

    const CString url = m_info.NetUrl;
    // Some URL-moniker implementations (Wine's) accept any text in
    // IsValidURL; UrlIsW also asks for a scheme, so such text is refused too.
    if (url.IsEmpty() || ::IsValidURL(nullptr, url.GetString(), 0) != S_OK || !::UrlIsW(url.GetString(), URLIS_URL)) {
        MessageBox(CString(L"url地址不正确"), nullptr, 0);
        // The dialog is hidden for good: nothing is left to show, so the run ends.
        CDialog::OnCancel();
        return;
    }

    // Any other address (a file, a share, another program's URL scheme) ends
    // the run as a failed download would, before anything is fetched.
    if (!IsWebAddress(url)) {
        CDialog::OnCancel();
        return;
    }

    auto job = std::make_shared<DownloadJob>();
    job->hNotifyWnd = m_hWnd;
    m_evCancel.ResetEvent();
    HANDLE cancel = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), m_evCancel.GetHandle(), ::GetCurrentProcess(), &cancel, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    job->cancel.reset(cancel);
    job->hCancelEvent = cancel;
    job->strUrl = url;
    job->meter.lastStep.store(::GetTickCount());
    m_job = job;

    m_dlgProgress.ResetProgress(0, 0);
    m_dlgProgress.ShowWindow(SW_SHOW);

    auto* share = new std::shared_ptr<DownloadJob>(job);
    m_pDownloadThread = AfxBeginThread(DownloadThreadProc, share, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    if (m_pDownloadThread == nullptr) {
        delete share;
        // No worker means no finish message: end the run instead of waiting.
        m_dlgProgress.ShowWindow(SW_HIDE);
        CDialog::OnCancel();
        return;
    }
    m_pDownloadThread->m_bAutoDelete = FALSE;
    SetTimer(kTransferWatchTimer, kTransferWatchMs);
    m_pDownloadThread->ResumeThread();
}

void CUpdateDlg::OnTimer(UINT_PTR nIDEvent) {
    if (nIDEvent != kTransferWatchTimer || m_pDownloadThread == nullptr || m_job->finished.load()) return;
    const DWORD now = ::GetTickCount();
    // A server that stops sending: cancelled as if by the user.
    if (!m_bCancelRequested && now - m_job->meter.lastStep.load() >= kDownloadStallMs) RequestCancel();
    // The transfer reports nothing while the server is silent, so it cannot
    // see the cancel: the run ends without it.
    if (m_bCancelRequested && now - m_cancelTick >= kCancelGraceMs) {
        KillTimer(kTransferWatchTimer);
        ReleaseWorker(0);
        CDialog::OnCancel();
    }
}

void CUpdateDlg::RequestCancel() {
    if (m_bCancelRequested) return;
    m_bCancelRequested = true;
    m_cancelTick = ::GetTickCount();
    m_evCancel.SetEvent();
}

bool CUpdateDlg::ReleaseWorker(DWORD wait) {
    if (m_pDownloadThread == nullptr) return true;
    const bool ended = ::WaitForSingleObject(m_pDownloadThread->m_hThread, wait) == WAIT_OBJECT_0;
    // A worker that has not ended is left to end with the process, which is
    // about to: it holds its own share of the job, and deleting its thread
    // object now would pull it from under it. What it downloaded stays in
    // its folder until the next start's recovery removes it.
    if (ended) delete m_pDownloadThread;
    m_pDownloadThread = nullptr;
    return ended;
}
