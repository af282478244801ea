// CUpdateApp: the application object. Its InitInstance is the whole run:
// prepare the process, check the command line, read the installed version,
// fetch and read the manifest, select the record, and offer the update in
// the modal update dialog when the record's version sorts after the
// installed one. It returns FALSE on every path, so the framework never
// enters a message loop and the process ends when it returns.
#pragma once

#include "Afx.h"
#include "CString.h"
#include "ExitCodes.h"
#include "UpdateInfo.h"

// The product and maker words, fixed in the program's texts and registry paths.
constexpr const wchar_t kProductWord[] = L"Qelda";
constexpr const wchar_t kMakerWord[] = L"Brenvik";

// The application name: the caption of the program's windows and boxes,
// "Qelda升级程序".
CString AppCaption();

// The product's key under HKEY_LOCAL_MACHINE, "SOFTWARE\Brenvik\Qelda\", and
// the value in it that holds the installed version.
CString ProductKeyPath();
constexpr const wchar_t kInstalledVersionValue[] = L"version";
// With a publisher key: the signing time (Unix seconds, REG_QWORD) of the
// newest signed manifest this machine has accepted; an older one is refused.
constexpr const wchar_t kAcceptedManifestValue[] = L"ManifestSignedAt";

// Only one updater runs at a time, across sessions: a second start while
// one runs ends at once, silently.
constexpr const wchar_t kSingleUpdaterMutexName[] = L"Global\\BrenvikQeldaUpdate";

// The machine's policies for the updater, set by an administrator under
// HKEY_LOCAL_MACHINE\SOFTWARE\Policies\Brenvik\Qelda\Update; absent
// values mean the updater's usual behaviour. Logged when read.
struct UpdatePolicies {
    bool disabled = false;    // UpdatesDisabled (REG_DWORD 1): nothing after the recovery
    bool unattended = false;  // Unattended (REG_DWORD 1): no offer, no boxes
    CString manifestUrl;      // ManifestUrl (REG_SZ): a web address replacing the built-in one
};
CString PolicyKeyPath();
UpdatePolicies ReadUpdatePolicies();

// The updater's own file version ("1.0.0.1"), or an empty text.
CString UpdaterVersion();

class CUpdateApp : public CWinApp {
public:
    CUpdateApp() = default;

    BOOL InitInstance() override;
    // Logs the outcome; the process's exit code is its number (ExitCodes.h).
    int ExitInstance() override;

private:
    BOOL End(UpdateExit code);
    // Fetches and reads the manifest (logging what came of it); false when
    // it yields no record. With a publisher key built in, only a manifest
    // validly signed, not expired, and not signed before the newest one this
    // machine accepted is read; its signing time is then kept.
    bool LoadManifest(const CString& url, CArray<UPDATE_INFO, UPDATE_INFO>& records);

    UpdateExit m_exit = UpdateExit::UpToDate;

    DECLARE_MESSAGE_MAP()
};

// The one application object.
extern CUpdateApp theApp;
