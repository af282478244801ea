// CUpdateApp: the application object. Its InitInstance is the whole run:
// prepare the process, check the command line, read the installed version,
// fetch and read the manifest, select the record, and offer the update in
// the modal update dialog when the record's version sorts after the
// installed one. It returns FALSE on every path, so the framework never
// enters a message loop and the process ends when it returns.
#pragma once

#include "Afx.h"
#include "CString.h"

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

// Only one updater runs at a time, across sessions: a second start while
// one runs ends at once, silently.
constexpr const wchar_t kSingleUpdaterMutexName[] = L"Global\\BrenvikQeldaUpdate";

class CUpdateApp : public CWinApp {
public:
    CUpdateApp() = default;

    BOOL InitInstance() override;

    DECLARE_MESSAGE_MAP()
};

// The one application object.
extern CUpdateApp theApp;
