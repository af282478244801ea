#include "ShellOpen.h"

#include <windows.h>

#include <exdisp.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shobjidl.h>

#include "Handles.h"
#include "WebAddress.h"

namespace {

// MinGW's import libraries declare some of these without defining them.
const CLSID kCLSID_ShellWindows = {0x9BA05972, 0xF6A8, 0x11CF, {0xA4, 0x42, 0x00, 0xA0, 0xC9, 0x0A, 0x8F, 0x39}};
const IID kIID_IShellWindows = {0x85CB6900, 0x4D95, 0x11CF, {0x96, 0x0C, 0x00, 0x80, 0xC7, 0xF4, 0xEE, 0x85}};
const IID kIID_IServiceProvider = {0x6D5140C1, 0x7436, 0x11CE, {0x80, 0x34, 0x00, 0xAA, 0x00, 0x60, 0x09, 0xFA}};
const GUID kSID_STopLevelBrowser = {0x4C96BE40, 0x915C, 0x11CF, {0x99, 0xD3, 0x00, 0xAA, 0x00, 0x4A, 0xE8, 0x37}};
const IID kIID_IShellBrowser = {0x000214E2, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kIID_IShellFolderViewDual = {0xE7A1AF80, 0x4D96, 0x11CF, {0x96, 0x0C, 0x00, 0x80, 0xC7, 0xF4, 0xEE, 0x85}};
const IID kIID_IShellDispatch2 = {0xA4C6892C, 0x3BA9, 0x11D2, {0x9D, 0xEA, 0x00, 0xC0, 0x4F, 0xB1, 0x61, 0x62}};

// The desktop shell's own IShellDispatch2: what it starts, it starts in its
// process, as the user who is signed in.
bool OpenThroughDesktop(const CString& address) {
    ComPtr<IShellWindows> windows;
    if (FAILED(::CoCreateInstance(kCLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, kIID_IShellWindows,
                                  windows.put_void())))
        return false;
    VARIANT none;
    ::VariantInit(&none);
    long hwnd = 0;
    ComPtr<IDispatch> desktop;
    if (windows->FindWindowSW(&none, &none, SWC_DESKTOP, &hwnd, SWFO_NEEDDISPATCH, desktop.put()) != S_OK || !desktop)
        return false;
    ComPtr<IServiceProvider> services;
    ComPtr<IShellBrowser> browser;
    ComPtr<IShellView> view;
    ComPtr<IDispatch> background;
    ComPtr<IShellFolderViewDual> folderView;
    ComPtr<IDispatch> application;
    ComPtr<IShellDispatch2> shell;
    if (FAILED(desktop.As(kIID_IServiceProvider, services)) ||
        FAILED(services->QueryService(kSID_STopLevelBrowser, kIID_IShellBrowser, browser.put_void())) ||
        FAILED(browser->QueryActiveShellView(view.put())) ||
        FAILED(view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.put_void())) ||
        FAILED(background.As(kIID_IShellFolderViewDual, folderView)) ||
        FAILED(folderView->get_Application(application.put())) ||
        FAILED(application.As(kIID_IShellDispatch2, shell)))
        return false;
    const ScopedBstr file(address.GetString());
    ScopedVariant arguments, folder, operation, show;
    V_VT(&operation.get()) = VT_BSTR;
    V_BSTR(&operation.get()) = ::SysAllocString(L"open");
    V_VT(&show.get()) = VT_I4;
    V_I4(&show.get()) = SW_SHOWNORMAL;
    return file && SUCCEEDED(shell->ShellExecute(file.get(), arguments.get(), folder.get(), operation.get(), show.get()));
}

bool Elevated() {
    HANDLE opened = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &opened)) return true;  // unknown: assume so
    const ScopedHandle token(opened);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size)) return true;
    return elevation.TokenIsElevated != 0;
}

}  // namespace

ShellOpenRoute OpenWebPageAsUser(const CString& address) {
    if (!IsWebAddress(address)) return ShellOpenRoute::Refused;
    if (OpenThroughDesktop(address)) return ShellOpenRoute::Desktop;
    if (Elevated()) return ShellOpenRoute::Failed;
    const auto started = reinterpret_cast<INT_PTR>(
        ::ShellExecuteW(nullptr, L"open", address.GetString(), nullptr, nullptr, SW_SHOWNORMAL));
    return started > 32 ? ShellOpenRoute::Direct : ShellOpenRoute::Failed;
}

const char* ShellOpenRouteName(ShellOpenRoute route) {
    switch (route) {
    case ShellOpenRoute::Desktop: return "desktop";
    case ShellOpenRoute::Direct: return "direct";
    case ShellOpenRoute::Refused: return "refused";
    case ShellOpenRoute::Failed: return "failed";
    }
    return "?";
}
