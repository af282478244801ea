// The application object, the process entry and the framework's global
// helpers (message boxes, OLE start-up).
//
// Exactly one object of a CWinApp-derived class exists, as a global; its
// constructor registers it. The framework's wWinMain (WinMain.cpp) hardens
// DLL loading, fills in m_hInstance / m_lpCmdLine / m_nCmdShow, calls
// InitInstance, then Run when InitInstance returned TRUE or ExitInstance
// when it returned FALSE; the process exit code is what that call returns.
// Everything here runs on the user-interface thread.
//
// Message boxes: AfxMessageBox, CWnd::MessageBox and CWinApp::DoMessageBox
// all end in AfxShowMessageBox, which shows a real modal MessageBoxW unless a
// hook is installed (tests record the boxes instead of showing them).
#pragma once

#include <windows.h>

#include <functional>

#include "CString.h"
#include "CmdTarget.h"

class CWnd;

class CWinApp : public CCmdTarget {
public:
    // lpszAppName: the application name; null takes the executable's base name.
    explicit CWinApp(const wchar_t* lpszAppName = nullptr);
    ~CWinApp() override;
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Start-up of the run. FALSE skips the message loop.
    virtual BOOL InitInstance();
    // The message loop; returns the WM_QUIT code after ExitInstance.
    virtual int Run();
    // Clean-up; its result is the process exit code. The default is 0.
    virtual int ExitInstance();

    // The box behind AfxMessageBox: owner is the main window when it exists.
    virtual int DoMessageBox(const CString& prompt, UINT nType, UINT nIDPrompt);

    // The registry root ("HKCU\Software\<key>\<app name>") for the
    // application's own settings. Nothing is written there unless asked.
    void SetRegistryKey(const wchar_t* lpszRegistryKey);
    const CString& GetRegistryKey() const { return m_strRegistryKey; }

    // The application name: caption of message boxes.
    void SetAppName(const CString& name);
    const wchar_t* GetAppName() const { return m_strAppName.GetString(); }

    // An icon resource at the system's standard large-icon size (shared: not
    // destroyed by the caller); null when missing.
    HICON LoadIcon(UINT nIDResource) const;

    // Called by wWinMain before InitInstance.
    void PrepareRun(HINSTANCE hInstance, const wchar_t* lpCmdLine, int nCmdShow);

    // ID_HELP: the program ships no help file, so there is nothing to open.
    void OnHelp();

    HINSTANCE m_hInstance = nullptr;
    // The command line after the program name (as the C runtime's WinMain
    // receives it: leading blanks skipped, the rest untouched).
    const wchar_t* m_lpCmdLine = L"";
    int m_nCmdShow = SW_SHOWNORMAL;
    // The main window (not owned).
    CWnd* m_pMainWnd = nullptr;

private:
    CString m_strAppName;
    CString m_strRegistryKey;

    DECLARE_MESSAGE_MAP()
};

CWinApp* AfxGetApp();
const wchar_t* AfxGetAppName();
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
CWnd* AfxGetMainWnd();

// A string resource of the program; empty when it is missing.
CString AfxLoadString(UINT nID);

// A message box with the application name as its caption.
int AfxMessageBox(const CString& text, UINT nType = MB_OK, UINT nIDHelp = 0);

struct MessageBoxRequest {
    HWND owner;
    CString text;
    CString caption;
    UINT type;
};
using MessageBoxHook = std::function<int(const MessageBoxRequest&)>;

// Every message box of the program passes here.
int AfxShowMessageBox(HWND owner, const CString& text, const CString& caption, UINT nType);
// Installs a hook that answers message boxes instead of showing them (an
// empty hook restores real boxes); returns the previous hook.
MessageBoxHook AfxSetMessageBoxHook(MessageBoxHook hook);

// OLE for this thread (single-threaded apartment); FALSE when it fails. The
// framework uninitialises it when the program ends.
BOOL AfxOleInit();
// Control containment is built into every dialog here; kept for the call.
void AfxEnableControlContainer(void* pContainerMgr = nullptr);
// Undoes a successful AfxOleInit; wWinMain calls it at the end of the run.
void AfxOleTerm();

// Restricts the DLL search of this process to the system directory (and
// removes the current directory from it). Called first by wWinMain.
void AfxHardenDllSearch();

// Offers a queued message to the PreTranslateMessage of the permanent CWnd of
// its window and of each parent or owner above it; TRUE when one consumed it
// (the loops of the framework then neither translate nor dispatch it).
BOOL AfxPreTranslateMessage(MSG* pMsg);
