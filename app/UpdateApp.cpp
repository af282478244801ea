#include "UpdateApp.h"

#include <commctrl.h>

#include <ctime>
#include <vector>

#include "DownloadWorker.h"
#include "HttpGet.h"
#include "InstallSteps.h"
#include "ManifestReader.h"
#include "ManifestSignature.h"
#include "PublisherKeys.h"
#include "Registry.h"
#include "UpdateDlg.h"
#include "UpdateInfo.h"
#include "UpdateLog.h"
#include "WebAddress.h"

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

CString PolicyKeyPath() {
    CString path;
    path.Format(L"SOFTWARE\\Policies\\%s\\%s\\Update", kMakerWord, kProductWord);
    return path;
}

UpdatePolicies ReadUpdatePolicies() {
    UpdatePolicies policies;
    const CString key = PolicyKeyPath();
    DWORD flag = 0;
    policies.disabled = ReadRegDword(key, L"UpdatesDisabled", flag) && flag == 1;
    policies.unattended = ReadRegDword(key, L"Unattended", flag) && flag == 1;
    CString mirror;
    LogFields fields = {{"disabled", policies.disabled ? "1" : "0"}, {"unattended", policies.unattended ? "1" : "0"}};
    if (ReadRegText(key, L"ManifestUrl", mirror)) {
        // Only a web address replaces the built-in one; anything else is ignored, and said so.
        if (IsWebAddress(mirror)) policies.manifestUrl = mirror;
        fields.emplace_back("manifest-url", UpdateLog::Text(mirror));
        fields.emplace_back("manifest-url-used", IsWebAddress(mirror) ? "1" : "0");
    }
    UpdateLog::Write("policy", fields);
    return policies;
}

CString UpdaterVersion() {
    const CString path = GetModuleFilePath();
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.GetString(), &ignored);
    std::vector<unsigned char> data(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (size == 0 || !::GetFileVersionInfoW(path.GetString(), 0, size, data.data()) ||
        !::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) || info == nullptr)
        return CString();
    CString version;
    version.Format(L"%u.%u.%u.%u", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                   HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
    return version;
}

BOOL CUpdateApp::End(UpdateExit code) {
    m_exit = code;
    return FALSE;
}

int CUpdateApp::ExitInstance() {
    CWinApp::ExitInstance();
    UpdateLog::Write("exit", {{"code", UpdateLog::Number(static_cast<unsigned>(m_exit))}, {"outcome", UpdateExitName(m_exit)}});
    UpdateLog::Close();
    return static_cast<int>(m_exit);
}

BOOL CUpdateApp::InitInstance() {
    // Every run is logged, when it can be done safely; before the lock, so
    // that a second updater's start is seen too.
    UpdateLog::Open();
    UpdateLog::Write("start", {{"version", UpdateLog::Text(UpdaterVersion())},
                               {"cmdline", UpdateLog::Text(CString(m_lpCmdLine))}});

    // The handle is held for the whole run, which happens inside this call.
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, kSingleUpdaterMutexName);
    const DWORD mutexError = ::GetLastError();
    const ScopedHandle singleUpdater(mutex);
    if (mutexError == ERROR_ALREADY_EXISTS || mutexError == ERROR_ACCESS_DENIED) return End(UpdateExit::AlreadyRunning);

    if (!AfxOleInit()) return End(UpdateExit::CannotStart);

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
    if (GetModuleDirectory().IsEmpty()) return End(UpdateExit::CannotStart);
    const UpdatePolicies policies = ReadUpdatePolicies();
    // Every box is logged with its answer; unattended, none is shown.
    AfxSetMessageBoxHook([unattended = policies.unattended](const MessageBoxRequest& box) {
        const int answer = unattended ? ((box.type & MB_TYPEMASK) == MB_OK ? IDOK : IDCANCEL)
                                      : ::MessageBoxW(box.owner, box.text.GetString(), box.caption.GetString(), box.type);
        UpdateLog::Write("box", {{"text", UpdateLog::Text(box.text)}, {"shown", unattended ? "0" : "1"},
                                 {"answer", UpdateLog::Number(static_cast<unsigned>(answer))}});
        return answer;
    });
    // Before anything else: a crash may have left an installation half done.
    if (!RecoverInterruptedInstallation(policies.unattended)) return End(UpdateExit::RecoveryFailed);
    if (policies.disabled) return End(UpdateExit::Disabled);

    const CString commandLine(m_lpCmdLine);
    if (!CommandLineNamesExecutable(commandLine)) return End(UpdateExit::CommandLine);

    const CString installedVersion = ReadRegString(ProductKeyPath(), kInstalledVersionValue);
    UpdateLog::Write("installed", {{"version", UpdateLog::Text(installedVersion)}});

    CArray<UPDATE_INFO, UPDATE_INFO> records;
    if (!LoadManifest(policies.manifestUrl.IsEmpty() ? CString(UPDATE_MANIFEST_URL) : policies.manifestUrl, records))
        return End(UpdateExit::NoManifest);

    UPDATE_INFO selected;
    SelectUpdateInfo(installedVersion, records, selected);
    const std::ptrdiff_t full = SelectFullPackageIndex(installedVersion, records);
    const bool offered = IsNewerVersion(installedVersion, selected.NewVer);
    UpdateLog::Write("decision", {{"records", UpdateLog::Number(records.GetCount())},
                                  {"old", UpdateLog::Text(selected.OldVer)}, {"new", UpdateLog::Text(selected.NewVer)},
                                  {"exact", selected.OldVer == installedVersion ? "1" : "0"},
                                  {"fallback", full >= 0 ? UpdateLog::Text(records.GetAt(full).NetUrl) : ""},
                                  {"offered", offered ? "1" : "0"},
                                  {"why", offered ? "newer" : "not newer than the installed version"}});
    if (!offered) return End(UpdateExit::UpToDate);
    CUpdateDlg dialog;
    dialog.SetUpdateInfo(selected, installedVersion, commandLine);
    dialog.SetUnattended(policies.unattended);
    if (full >= 0) dialog.SetFallback(records.GetAt(full));
    m_pMainWnd = &dialog;
    dialog.DoModal();
    if (dialog.Outcome() == UpdateExit::Declined) UpdateLog::Write("answer", {{"offer", "closed"}});
    return End(dialog.Outcome());
}

bool CUpdateApp::LoadManifest(const CString& url, CArray<UPDATE_INFO, UPDATE_INFO>& records) {
    CString manifest;
    std::string body;
    HttpGetReport fetched;
    HttpGetText(url, manifest, &fetched, &body);
    LogFields fields = {{"url", UpdateLog::Text(url)}, {"result", UpdateLog::Hresult(fetched.result)},
                        {"status", UpdateLog::Number(fetched.status)}, {"bytes", UpdateLog::Number(fetched.bytes)},
                        {"ms", UpdateLog::Number(fetched.milliseconds)}};
    bool usable = SUCCEEDED(fetched.result);
    std::vector<EcdsaPublicKey> keys;
    std::int64_t signedAt = 0;
    if (usable && PublisherKeys(keys)) {
        const ManifestSignatureCheck check =
            CheckManifestSignature(body, keys, static_cast<std::int64_t>(std::time(nullptr)));
        unsigned long long accepted = 0;
        ReadRegQword(ProductKeyPath(), kAcceptedManifestValue, accepted);
        const bool older = check.ok() && check.signedAt < static_cast<std::int64_t>(accepted);
        fields.emplace_back("signature", older ? "older-than-accepted" : ManifestSignatureStatusName(check.status));
        if (check.signedAt != 0) fields.emplace_back("signed-at", FormatUtcTime(check.signedAt));
        if (check.expires != 0) fields.emplace_back("expires", FormatUtcTime(check.expires));
        if (accepted != 0) fields.emplace_back("accepted", FormatUtcTime(static_cast<std::int64_t>(accepted)));
        if (!check.ok()) fields.emplace_back("why", UpdateLog::Text(CString(check.reason)));
        usable = check.ok() && !older;
        signedAt = check.signedAt;
    }
    if (usable) ReadManifest(manifest, records);
    fields.emplace_back("records", UpdateLog::Number(records.GetCount()));
    UpdateLog::Write("manifest", fields);
    // Kept only once a valid manifest is accepted: the next one may not be older.
    if (signedAt != 0 && records.GetCount() > 0)
        WriteRegQword(ProductKeyPath(), kAcceptedManifestValue, static_cast<unsigned long long>(signedAt));
    return records.GetCount() > 0;
}
