#include "UpdateApp.h"

#include <commctrl.h>

#include "HttpGet.h"
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

bool CommandLineNamesExecutable(const CString& commandLine) {
    const std::size_t n = commandLine.size();
    CString tail = n > 4 ? CString(commandLine.substr(n - 4)) : commandLine;
    for (char16_t& c : tail) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return tail == u".exe";
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

    CString appName;
    appName.Format(L"%s升级程序", kProductWord);
    SetAppName(appName);

    // Before anything else: a crash may have left an installation half done.
    if (!RecoverInterruptedInstallation()) return FALSE;

    const CString commandLine(m_lpCmdLine);
    if (!CommandLineNamesExecutable(commandLine)) return FALSE;

    CString keyPath;
    keyPath.Format(L"SOFTWARE\\Brenvik\\%s\\", kProductWord);
    const CString installedVersion = ReadRegString(keyPath, L"version");

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
