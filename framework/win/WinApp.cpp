#include "WinApp.h"

#include <ole2.h>

#include <cstring>
#include <utility>

#include "Wnd.h"

namespace {

CWinApp* g_app = nullptr;
MessageBoxHook g_messageBoxHook;
bool g_oleInitialized = false;

CString ModuleBaseName(HINSTANCE instance) {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(instance, path, MAX_PATH);
    CString name(path, n);
    const auto slash = name.find_last_of(u"\\/");
    if (slash != CString::npos) name.erase(0, slash + 1);
    const auto dot = name.find_last_of(u'.');
    if (dot != CString::npos) name.erase(dot);
    return name;
}

}  // namespace

CWinApp::CWinApp(const wchar_t* lpszAppName) {
    g_app = this;
    if (lpszAppName != nullptr) m_strAppName = lpszAppName;
}

CWinApp::~CWinApp() {
    if (g_app == this) g_app = nullptr;
}

BOOL CWinApp::InitInstance() {
    return TRUE;
}

void CWinApp::PrepareRun(HINSTANCE hInstance, const wchar_t* lpCmdLine, int nCmdShow) {
    m_hInstance = hInstance;
    m_lpCmdLine = lpCmdLine != nullptr ? lpCmdLine : L"";
    m_nCmdShow = nCmdShow;
    if (m_strAppName.IsEmpty()) m_strAppName = ModuleBaseName(hInstance);
}

int CWinApp::Run() {
    MSG msg{};
    for (;;) {
        const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) break;
        if (!AfxPreTranslateMessage(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    ExitInstance();
    return static_cast<int>(msg.wParam);
}

int CWinApp::ExitInstance() {
    return 0;
}

int CWinApp::DoMessageBox(const CString& prompt, UINT nType, UINT /*nIDPrompt*/) {
    HWND owner = m_pMainWnd != nullptr ? m_pMainWnd->GetSafeHwnd() : nullptr;
    if (owner != nullptr && !::IsWindow(owner)) owner = nullptr;
    return AfxShowMessageBox(owner, prompt, CString(GetAppName()), nType);
}

void CWinApp::SetRegistryKey(const wchar_t* lpszRegistryKey) {
    m_strRegistryKey = lpszRegistryKey;
}

void CWinApp::SetAppName(const CString& name) {
    m_strAppName = name;
}

void CWinApp::OnHelp() {}

HICON CWinApp::LoadIcon(UINT nIDResource) const {
    return ::LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(nIDResource));
}

CString AfxLoadString(UINT nID) {
    // With a zero length, LoadStringW hands out a read-only pointer to the
    // resource text itself, which is not terminated.
    const wchar_t* text = nullptr;
    const int length = ::LoadStringW(AfxGetResourceHandle(), nID, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr) return CString();
    return CString(text, static_cast<std::size_t>(length));
}

BEGIN_MESSAGE_MAP(CWinApp, CCmdTarget)
END_MESSAGE_MAP()

CWinApp* AfxGetApp() {
    return g_app;
}

const wchar_t* AfxGetAppName() {
    return g_app != nullptr ? g_app->GetAppName() : L"";
}

HINSTANCE AfxGetInstanceHandle() {
    return g_app != nullptr && g_app->m_hInstance != nullptr ? g_app->m_hInstance : ::GetModuleHandleW(nullptr);
}

HINSTANCE AfxGetResourceHandle() {
    return AfxGetInstanceHandle();
}

CWnd* AfxGetMainWnd() {
    return g_app != nullptr ? g_app->m_pMainWnd : nullptr;
}

int AfxMessageBox(const CString& text, UINT nType, UINT nIDHelp) {
    if (g_app != nullptr) return g_app->DoMessageBox(text, nType, nIDHelp);
    return AfxShowMessageBox(nullptr, text, CString(), nType);
}

int AfxShowMessageBox(HWND owner, const CString& text, const CString& caption, UINT nType) {
    if (g_messageBoxHook) return g_messageBoxHook(MessageBoxRequest{owner, text, caption, nType});
    return ::MessageBoxW(owner, text.GetString(), caption.GetString(), nType);
}

MessageBoxHook AfxSetMessageBoxHook(MessageBoxHook hook) {
    return std::exchange(g_messageBoxHook, std::move(hook));
}

BOOL AfxOleInit() {
    if (g_oleInitialized) return TRUE;
    if (FAILED(::OleInitialize(nullptr))) return FALSE;
    g_oleInitialized = true;
    return TRUE;
}

void AfxOleTerm() {
    if (!g_oleInitialized) return;
    g_oleInitialized = false;
    ::OleUninitialize();
}

void AfxEnableControlContainer(void*) {}

void AfxHardenDllSearch() {
    // SetDefaultDllDirectories exists from Windows 8 (and 7 with KB2533623);
    // look it up so that older systems still start.
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    if (HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll")) {
        const FARPROC proc = ::GetProcAddress(kernel32, "SetDefaultDllDirectories");
        if (proc != nullptr) {
            SetDefaultDllDirectoriesFn setDefault;
            static_assert(sizeof(setDefault) == sizeof(proc), "function pointer sizes");
            std::memcpy(&setDefault, &proc, sizeof(proc));
            setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
        }
    }
    ::SetDllDirectoryW(L"");
}

BOOL AfxPreTranslateMessage(MSG* pMsg) {
    for (HWND h = pMsg->hwnd; h != nullptr; h = ::GetParent(h)) {
        CWnd* wnd = CWnd::FromHandlePermanent(h);
        if (wnd != nullptr && wnd->PreTranslateMessage(pMsg)) return TRUE;
    }
    return FALSE;
}
