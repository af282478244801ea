#include "DownloadWorker.h"

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

void CUpdateDlg::StartDownload() {
    // The transfer is not wired yet: the offer ends as if it had been declined.
    EndDialog(IDCANCEL);
}
