#include "UpdateApp.h"

#include <commctrl.h>

#include "HttpGet.h"
#include "DownloadWorker.h"
#include "InstallSteps.h"
#include "ManifestReader.h"
#include "Registry.h"
#include "UpdateDlg.h"
#include "UpdateInfo.h"

#ifndef UPDATE_MANIFEST_URL
#error "UPDATE_MANIFEST_URL (a wide string literal) must be defined by the build"
#endif

CUpdateApp theApp;

BEGIN_MESSAGE_MAP(CUpdateApp, CWinApp)
    ON_COMMAND(ID_HELP, &CWinApp::OnHelp)
END_MESSAGE_MAP()

CString AppCaption() {
    CString caption;
    caption.Format(L"%s升级程序", kProductWord);
    return caption;
}

CString ProductKeyPath() {
    CString path;
    path.Format(L"SOFTWARE\\%s\\%s\\", kMakerWord, kProductWord);
    return path;
}

BOOL CUpdateApp::InitInstance() {
    // The handle is held for the whole run, which happens inside this call.
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, kSingleUpdaterMutexName);
    const DWORD mutexError = ::GetLastError();
    const ScopedHandle singleUpdater(mutex);
    if (mutexError == ERROR_ALREADY_EXISTS || mutexError == ERROR_ACCESS_DENIED) return FALSE;

    if (!AfxOleInit()) return FALSE;

    static_assert(sizeof(INITCOMMONCONTROLSEX) == 8, "two 32-bit fields");
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_WIN95_CLASSES;
    ::InitCommonControlsEx(&controls);

    CWinApp::InitInstance();
    AfxEnableControlContainer();
    SetRegistryKey(kMakerWord);

    SetAppName(AppCaption());

    // Every step acts in the updater's own folder: without its path, nothing is done.
    if (GetModuleDirectory().IsEmpty()) return FALSE;
    // Before anything else: a crash may have left an installation half done.
    if (!RecoverInterruptedInstallation()) return FALSE;

    const CString commandLine(m_lpCmdLine);
    if (!CommandLineNamesExecutable(commandLine)) return FALSE;

    const CString installedVersion = ReadRegString(ProductKeyPath(), kInstalledVersionValue);

    CString manifest;
    HttpGetText(UPDATE_MANIFEST_URL, manifest);

    CArray<UPDATE_INFO, UPDATE_INFO> records;
    ReadManifest(manifest, records);

    UPDATE_INFO selected;
    if (SelectUpdateInfo(installedVersion, records, selected) && IsNewerVersion(installedVersion, selected.NewVer)) {
        CUpdateDlg dialog;
        dialog.SetUpdateInfo(selected, installedVersion, commandLine);
        m_pMainWnd = &dialog;
        dialog.DoModal();
    }
    return FALSE;
}
