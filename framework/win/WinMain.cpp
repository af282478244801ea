// The process entry of every program built on this framework: it constructs
// nothing itself, it drives the one global application object.
#include <windows.h>

#include "WinApp.h"
#include "Wnd.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, LPWSTR lpCmdLine, int nCmdShow) {
    AfxHardenDllSearch();

    CWinApp* app = AfxGetApp();
    if (app == nullptr) return -1;
    app->PrepareRun(hInstance, lpCmdLine, nCmdShow);

    int exitCode;
    if (app->InitInstance()) {
        exitCode = app->Run();
    } else {
        if (app->m_pMainWnd != nullptr && ::IsWindow(app->m_pMainWnd->GetSafeHwnd())) app->m_pMainWnd->DestroyWindow();
        exitCode = app->ExitInstance();
    }
    AfxOleTerm();
    return exitCode;
}
