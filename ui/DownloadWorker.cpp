#include "DownloadWorker.h"

#include <shlwapi.h>
#include <urlmon.h>

#include "BindStatusCallback.h"
#include "PackageName.h"
#include "UpdateDlg.h"

CString g_strLocalPath;

CString GetModuleDirectory() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    // A full buffer means the path was cut short: its directory part cannot
    // be trusted either.
    if (length == 0 || length >= MAX_PATH) return CString(L".");
    CString directory(path, length);
    const std::size_t slash = directory.rfind(u'\\');
    if (slash == CString::npos) return CString(L".");
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

CString FreePackagePath(const CString& folder, const CString& fileName) {
    // The name as the URL gives it, when no file has it; else the first free
    // "name-N.ext". Never a name that exists: the package must not overwrite
    // (or, after a failure, delete) a file of the product or of the system.
    const std::size_t dot = fileName.rfind(u'.');
    const CString stem = dot == CString::npos || dot == 0 ? fileName : CString(fileName.substr(0, dot));
    const CString extension = stem.size() == fileName.size() ? CString() : CString(fileName.substr(dot));
    for (int n = 0; n < 1000; ++n) {
        CString name = fileName;
        if (n > 0) name.Format(L"%s-%d%s", stem, n, extension);
        const CString path = folder + CString(L"\\") + name;
        if (::GetFileAttributesW(path.GetString()) == INVALID_FILE_ATTRIBUTES && ::GetLastError() == ERROR_FILE_NOT_FOUND)
            return path;
    }
    CString unique;
    unique.Format(L"%s-%lu%s", stem, static_cast<unsigned long>(::GetTickCount()), extension);
    return folder + CString(L"\\") + unique;
}

UINT __cdecl DownloadThreadProc(LPVOID param) {
    DownloadJob* job = static_cast<DownloadJob*>(param);
    CBSCallbackImpl callback(job->hNotifyWnd, job->hCancelEvent, &job->progress);

    job->strLocalFile = FreePackagePath(PackageDirectory(g_strLocalPath), CString(PackageFileNameFromUrl(job->strUrl)));

    // URL monikers need COM on the calling thread.
    const HRESULT comInit = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const HRESULT hr = ::URLDownloadToFileW(nullptr, job->strUrl.GetString(), job->strLocalFile.GetString(), 0,
                                            &callback);
    if (SUCCEEDED(comInit)) ::CoUninitialize();
    if (FAILED(hr)) {
        // A failed or cancelled transfer may have left part of the file; the
        // name was free before, so nothing else is lost.
        ::DeleteFileW(job->strLocalFile.GetString());
        job->strLocalFile.Empty();
    }
    ::PostMessageW(job->hNotifyWnd, WM_DOWNLOAD_FINISHED, 0, 0);
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

    m_job.hNotifyWnd = m_hWnd;
    m_evCancel.ResetEvent();
    m_job.hCancelEvent = m_evCancel.GetHandle();
    m_job.strUrl = url;
    m_job.strLocalFile.Empty();

    m_dlgProgress.ResetProgress(0, 0);
    m_dlgProgress.ShowWindow(SW_SHOW);

    m_pDownloadThread = AfxBeginThread(DownloadThreadProc, &m_job, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    if (m_pDownloadThread == nullptr) {
        // No worker means no finish message: end the run instead of waiting.
        m_dlgProgress.ShowWindow(SW_HIDE);
        CDialog::OnCancel();
        return;
    }
    m_pDownloadThread->m_bAutoDelete = FALSE;
    m_pDownloadThread->ResumeThread();
}
