// The Win32 framework layer: handle owners, message maps, dialogs from the
// program's own templates, message boxes, threads and drawing objects.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "Afx.h"
#include "MessageBoxRecorder.h"
#include "resource.h"

namespace {

// ------------------------------------------------------------------ handle owners

bool IsOpenHandle(HANDLE h) {
    DWORD flags = 0;
    return ::GetHandleInformation(h, &flags) != FALSE;
}

TEST(UniqueHandle, ClosesOnResetAndDestruction) {
    HANDLE raw = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        ScopedHandle owner(raw);
        EXPECT_TRUE(owner);
        EXPECT_TRUE(IsOpenHandle(raw));
    }
    EXPECT_FALSE(IsOpenHandle(raw));

    ScopedHandle owner(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE first = owner.get();
    owner.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EXPECT_FALSE(IsOpenHandle(first));
    EXPECT_TRUE(IsOpenHandle(owner.get()));
}

TEST(UniqueHandle, MoveTransfersAndReleaseKeepsOpen) {
    ScopedHandle a(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE raw = a.get();
    ScopedHandle b(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_EQ(raw, b.get());
    ScopedHandle c;
    c = std::move(b);
    EXPECT_EQ(raw, c.get());
    EXPECT_TRUE(IsOpenHandle(raw));
    HANDLE released = c.release();
    EXPECT_FALSE(c);
    EXPECT_TRUE(IsOpenHandle(released));
    ::CloseHandle(released);
    static_assert(!std::is_copy_constructible<ScopedHandle>::value, "owners are not copyable");
    static_assert(!std::is_copy_assignable<ScopedKey>::value, "owners are not copyable");
}

TEST(UniqueHandle, SnapshotNoneIsInvalidHandleValue) {
    ScopedSnapshot none;
    EXPECT_FALSE(none);
    EXPECT_EQ(INVALID_HANDLE_VALUE, none.get());
    ScopedSnapshot failed(INVALID_HANDLE_VALUE);
    EXPECT_FALSE(failed);
}

TEST(UniqueHandle, RegistryKeyThroughPut) {
    ScopedKey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, key.put()));
    EXPECT_TRUE(key);
}

class CountingUnknown : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (iid != IID_IUnknown) return E_NOINTERFACE;
        *out = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
    virtual ~CountingUnknown() = default;
    long refs = 1;
};

TEST(ComPtr, ReleasesOnceOnEveryPath) {
    CountingUnknown object;
    {
        ComPtr<IUnknown> p;
        *p.put() = &object;  // takes the creation reference
        ComPtr<IUnknown> q;
        EXPECT_EQ(S_OK, p.As(IID_IUnknown, q));
        EXPECT_EQ(2, object.refs);
        ComPtr<IUnknown> moved(std::move(q));
        EXPECT_FALSE(q);
        EXPECT_EQ(2, object.refs);
        ComPtr<IDispatch> none;
        EXPECT_EQ(E_NOINTERFACE, p.As(IID_IDispatch, none));
        EXPECT_FALSE(none);
    }
    EXPECT_EQ(0, object.refs);
    ComPtr<IUnknown> empty;
    ComPtr<IUnknown> out;
    EXPECT_EQ(E_POINTER, empty.As(IID_IUnknown, out));
}

TEST(SelectObjectGuard, PutsThePreviousObjectBack) {
    ScopedMemoryDC dc(::CreateCompatibleDC(nullptr));
    ASSERT_TRUE(dc);
    ScopedGdiObject<HBITMAP> bitmap(::CreateCompatibleBitmap(dc.get(), 4, 4));
    HGDIOBJ original = ::GetCurrentObject(dc.get(), OBJ_BITMAP);
    {
        SelectObjectGuard guard(dc.get(), bitmap.get());
        EXPECT_TRUE(guard.Selected());
        EXPECT_EQ(static_cast<HGDIOBJ>(bitmap.get()), ::GetCurrentObject(dc.get(), OBJ_BITMAP));
    }
    EXPECT_EQ(original, ::GetCurrentObject(dc.get(), OBJ_BITMAP));
}

// ------------------------------------------------------------------ message maps

constexpr UINT WM_TEST_A = WM_APP + 1;
constexpr UINT WM_TEST_B = WM_APP + 2;
constexpr UINT WM_TEST_UNMAPPED = WM_APP + 3;
constexpr int kButtonId = 4001;

// A plain window class whose own procedure answers WM_TEST_UNMAPPED with 77:
// the "previous procedure" that Default() reaches after subclassing.
LRESULT CALLBACK PlainProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_TEST_UNMAPPED) return 77;
    return ::DefWindowProcW(h, m, w, l);
}

HWND CreatePlainWindow() {
    static const bool registered = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = &PlainProc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"WinTestsPlain";
        return ::RegisterClassW(&wc) != 0;
    }();
    EXPECT_TRUE(registered);
    return ::CreateWindowExW(0, L"WinTestsPlain", L"plain", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                             ::GetModuleHandleW(nullptr), nullptr);
}

class CBaseTarget : public CWnd {
public:
    std::vector<const char*> calls;
    LRESULT OnA(WPARAM w, LPARAM l) {
        calls.push_back("base A");
        return static_cast<LRESULT>(w + l);
    }
    LRESULT OnB(WPARAM, LPARAM) {
        calls.push_back("base B");
        return 2;
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CBaseTarget, CWnd)
    ON_MESSAGE(WM_TEST_A, &CBaseTarget::OnA)
    ON_MESSAGE(WM_TEST_B, &CBaseTarget::OnB)
END_MESSAGE_MAP()

class CDerivedTarget : public CBaseTarget {
public:
    LRESULT OnDerivedB(WPARAM, LPARAM) {
        calls.push_back("derived B");
        return 20;
    }
    void OnButton() { calls.push_back("button"); }
    void OnDefaulted() { calls.push_back("defaulted"); Default(); }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CDerivedTarget, CBaseTarget)
    ON_MESSAGE(WM_TEST_B, &CDerivedTarget::OnDerivedB)
    ON_BN_CLICKED(kButtonId, &CDerivedTarget::OnButton)
END_MESSAGE_MAP()

TEST(MessageMap, DerivedEntriesWinBaseEntriesRemainAndTheRestGoesToThePreviousProcedure) {
    CDerivedTarget target;
    ASSERT_TRUE(target.SubclassWindow(CreatePlainWindow()));
    EXPECT_EQ(&target, CWnd::FromHandlePermanent(target.m_hWnd));

    EXPECT_EQ(5, target.SendMessage(WM_TEST_A, 2, 3));
    EXPECT_EQ(20, target.SendMessage(WM_TEST_B));
    EXPECT_EQ(77, target.SendMessage(WM_TEST_UNMAPPED));
    EXPECT_EQ((std::vector<const char*>{"base A", "derived B"}), target.calls);

    HWND window = target.m_hWnd;
    EXPECT_TRUE(target.DestroyWindow());
    EXPECT_EQ(nullptr, target.m_hWnd);
    EXPECT_EQ(nullptr, CWnd::FromHandlePermanent(window));
}

TEST(MessageMap, ButtonClickReachesTheParentsEntry) {
    CDerivedTarget target;
    ASSERT_TRUE(target.SubclassWindow(CreatePlainWindow()));
    HWND button = ::CreateWindowExW(0, L"BUTTON", L"b", WS_CHILD | BS_PUSHBUTTON, 0, 0, 10, 10, target.m_hWnd,
                                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(kButtonId)), nullptr, nullptr);
    ASSERT_NE(nullptr, button);
    ::SendMessageW(button, BM_CLICK, 0, 0);
    EXPECT_EQ((std::vector<const char*>{"button"}), target.calls);
    // Other notifications and other ids are not this entry's.
    target.SendMessage(WM_COMMAND, MAKEWPARAM(kButtonId, BN_SETFOCUS), reinterpret_cast<LPARAM>(button));
    target.SendMessage(WM_COMMAND, MAKEWPARAM(kButtonId + 1, BN_CLICKED), 0);
    EXPECT_EQ(1u, target.calls.size());
    CWnd* wrapper = target.GetDlgItem(kButtonId);
    ASSERT_NE(nullptr, wrapper);
    EXPECT_EQ(button, wrapper->m_hWnd);
    EXPECT_EQ(nullptr, CWnd::FromHandlePermanent(button));  // a wrapper only, not subclassed
    EXPECT_EQ(wrapper, target.GetDlgItem(kButtonId));
    target.DestroyWindow();
}

TEST(MessageMap, DestroyingTheObjectDestroysItsWindow) {
    HWND window = nullptr;
    {
        CDerivedTarget target;
        ASSERT_TRUE(target.SubclassWindow(CreatePlainWindow()));
        window = target.m_hWnd;
    }
    EXPECT_FALSE(::IsWindow(window));
}

TEST(MessageMap, AWindowTakesOnlyOnePermanentObject) {
    CDerivedTarget first;
    CDerivedTarget second;
    ASSERT_TRUE(first.SubclassWindow(CreatePlainWindow()));
    EXPECT_FALSE(second.SubclassWindow(first.m_hWnd));
    EXPECT_EQ(&first, CWnd::FromHandlePermanent(first.m_hWnd));
    HWND h = first.UnsubclassWindow();
    EXPECT_EQ(nullptr, CWnd::FromHandlePermanent(h));
    EXPECT_EQ(77, ::SendMessageW(h, WM_TEST_UNMAPPED, 0, 0));
    EXPECT_EQ(0, ::SendMessageW(h, WM_TEST_A, 2, 3));  // the map no longer sees it
    ::DestroyWindow(h);
}

// ------------------------------------------------------------------ dialogs

// Runs a scripted dialog: each timer tick performs the next step.
class CScriptedDialog : public CDialog {
public:
    using Step = void (*)(CScriptedDialog&);
    CScriptedDialog(UINT id, std::vector<Step> steps) : CDialog(id), m_steps(std::move(steps)) {}

    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        initialised = true;
        ::SetTimer(m_hWnd, 1, 30, nullptr);
        return TRUE;
    }
    void OnTimer(UINT_PTR) {
        if (m_next < m_steps.size()) m_steps[m_next++](*this);
    }
    void OnOK() override {
        okCalls++;
        CDialog::OnOK();
    }
    void OnCancel() override {
        cancelCalls++;
        CDialog::OnCancel();
    }
    void DoDataExchange(CDataExchange* pDX) override {
        exchanges++;
        if (bindProgress) DDX_Control(pDX, IDC_PROGRESS, progress);
    }

    bool initialised = false;
    bool bindProgress = false;
    int okCalls = 0;
    int cancelCalls = 0;
    int exchanges = 0;
    bool sawVisible = false;
    bool stayedHidden = false;
    CProgressCtrl progress;

private:
    std::vector<Step> m_steps;
    std::size_t m_next = 0;
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CScriptedDialog, CDialog)
    ON_WM_TIMER()
END_MESSAGE_MAP()

TEST(Dialog, OkButtonEndsTheModalLoopWithIdOk) {
    CScriptedDialog dialog(IDD_ABOUTBOX, {[](CScriptedDialog& d) {
                               d.SendDlgItemMessage(IDOK, BM_CLICK);
                           }});
    EXPECT_EQ(IDOK, dialog.DoModal());
    EXPECT_TRUE(dialog.initialised);
    EXPECT_EQ(1, dialog.okCalls);
    EXPECT_EQ(nullptr, dialog.m_hWnd);  // destroyed when DoModal returns
}

TEST(Dialog, EscapeAndCloseBoxEndWithIdCancel) {
    CScriptedDialog escape(IDD_UPDATE_DIALOG, {[](CScriptedDialog& d) {
                               HWND focus = ::GetDlgItem(d.m_hWnd, IDC_BTN_UPGRADE);
                               ::PostMessageW(focus, WM_KEYDOWN, VK_ESCAPE, 0);
                           }});
    EXPECT_EQ(IDCANCEL, escape.DoModal());
    EXPECT_EQ(1, escape.cancelCalls);

    CScriptedDialog close(IDD_UPDATE_DIALOG, {[](CScriptedDialog& d) { d.PostMessage(WM_CLOSE); }});
    EXPECT_EQ(IDCANCEL, close.DoModal());
    EXPECT_EQ(1, close.cancelCalls);
}

TEST(Dialog, AHiddenModalDialogStaysHidden) {
    CScriptedDialog dialog(IDD_UPDATE_DIALOG,
                           {[](CScriptedDialog& d) {
                                d.sawVisible = d.IsWindowVisible() != FALSE;
                                d.ShowWindow(SW_HIDE);
                            },
                            [](CScriptedDialog&) {},
                            [](CScriptedDialog&) {},
                            [](CScriptedDialog& d) {
                                d.stayedHidden = !d.IsWindowVisible();
                                d.EndDialog(IDOK);
                            }});
    EXPECT_EQ(IDOK, dialog.DoModal());
    EXPECT_TRUE(dialog.sawVisible);
    EXPECT_TRUE(dialog.stayedHidden);
}

TEST(Dialog, ModelessDialogBindsItsControlAndHidesOnCancel) {
    CScriptedDialog progress(IDD_PROGRESS_DIALOG, {});
    progress.bindProgress = true;
    ASSERT_TRUE(progress.Create(IDD_PROGRESS_DIALOG));
    EXPECT_FALSE(progress.IsWindowVisible());  // template not visible
    EXPECT_EQ(1, progress.exchanges);
    ASSERT_NE(nullptr, progress.progress.m_hWnd);
    EXPECT_EQ(&progress.progress, CWnd::FromHandlePermanent(::GetDlgItem(progress.m_hWnd, IDC_PROGRESS)));
    EXPECT_EQ(&progress.progress, progress.GetDlgItem(IDC_PROGRESS));
    progress.progress.SetRange32(0, 1000);
    progress.progress.SetPos(500);
    EXPECT_EQ(500, progress.progress.GetPos());

    progress.ShowWindow(SW_SHOW);
    progress.SendDlgItemMessage(IDCANCEL, BM_CLICK);
    EXPECT_EQ(1, progress.cancelCalls);
    EXPECT_FALSE(progress.IsWindowVisible());
    EXPECT_NE(nullptr, progress.m_hWnd);  // still exists
    progress.DestroyWindow();
    EXPECT_EQ(nullptr, progress.progress.m_hWnd);  // the control went with it
}

TEST(Dialog, MissingTemplateGivesMinusOne) {
    CScriptedDialog dialog(4242, {});
    EXPECT_EQ(-1, dialog.DoModal());
    EXPECT_FALSE(dialog.initialised);
}

TEST(Dialog, SystemMenuAndStringResource) {
    CScriptedDialog dialog(IDD_UPDATE_DIALOG, {[](CScriptedDialog& d) {
                               CMenu* menu = d.GetSystemMenu(FALSE);
                               ASSERT_NE(nullptr, menu);
                               const UINT before = menu->GetMenuItemCount();
                               menu->AppendMenu(MF_SEPARATOR);
                               menu->AppendMenu(MF_STRING, IDM_ABOUTBOX, L"about");
                               EXPECT_EQ(before + 2, menu->GetMenuItemCount());
                               d.EndDialog(IDOK);
                           }});
    EXPECT_EQ(IDOK, dialog.DoModal());
    EXPECT_EQ(CString(u"关于 Update(&A)..."), AfxLoadString(IDS_ABOUTBOX));
    EXPECT_EQ(CString(), AfxLoadString(4242));
}

TEST(Resources, ApplicationIconExistsAtAllSizes) {
    EXPECT_NE(nullptr, AfxGetApp()->LoadIcon(IDR_MAINFRAME));
    for (int size : {16, 32, 48}) {
        HICON icon = static_cast<HICON>(
            ::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, size, size, 0));
        ASSERT_NE(nullptr, icon) << size;
        ICONINFO info{};
        ASSERT_TRUE(::GetIconInfo(icon, &info));
        BITMAP bm{};
        ::GetObjectW(info.hbmColor, sizeof(bm), &bm);
        EXPECT_EQ(size, bm.bmWidth);
        ::DeleteObject(info.hbmColor);
        ::DeleteObject(info.hbmMask);
        ::DestroyIcon(icon);
    }
}

TEST(Dialog, LinkControlClassIsRegisteredForTheTemplate) {
    CScriptedDialog dialog(IDD_UPDATE_DIALOG, {[](CScriptedDialog& d) {
                               wchar_t cls[32] = {};
                               ::GetClassNameW(::GetDlgItem(d.m_hWnd, IDC_UPDATE_LOG), cls, 32);
                               EXPECT_STREQ(L"MfcLink", cls);
                               d.EndDialog(IDOK);
                           }});
    EXPECT_EQ(IDOK, dialog.DoModal());
}

TEST(LinkControl, OpensItsUrlWithPrefixOrElseItsText) {
    AfxRegisterMFCCtrlClasses();
    HWND window = ::CreateWindowExW(0, L"MfcLink", L"更新日志...", WS_POPUP | WS_TABSTOP, 0, 0, 100, 20, nullptr,
                                    nullptr, ::GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(nullptr, window);
    CMFCLinkCtrl link;
    ASSERT_TRUE(link.SubclassWindow(window));
    EXPECT_EQ(static_cast<DWORD>(BS_OWNERDRAW), link.GetStyle() & BS_TYPEMASK);
    EXPECT_EQ(CString(u"更新日志..."), link.GetTarget());
    link.SetURL(L"127.0.0.1/log.html");
    EXPECT_EQ(CString(u"127.0.0.1/log.html"), link.GetTarget());
    link.SetURLPrefix(L"http://");
    EXPECT_EQ(CString(u"http://127.0.0.1/log.html"), link.GetTarget());
    link.DestroyWindow();
}

// ------------------------------------------------------------------ message boxes

TEST(MessageBoxes, AfxMessageBoxUsesTheApplicationNameAsCaption) {
    MessageBoxRecorder boxes(IDCANCEL);
    EXPECT_EQ(IDCANCEL, AfxMessageBox(L"获取HKEY失败"));
    ASSERT_EQ(1u, boxes.Boxes().size());
    EXPECT_EQ(CString(u"获取HKEY失败"), boxes.Boxes()[0].text);
    EXPECT_EQ(CString(u"Qelda升级程序"), boxes.Boxes()[0].caption);
    EXPECT_EQ(static_cast<UINT>(MB_OK), boxes.Boxes()[0].type);
    EXPECT_EQ(nullptr, boxes.Boxes()[0].owner);
}

TEST(MessageBoxes, WindowMessageBoxIsOwnedAndDefaultsItsCaption) {
    CDerivedTarget target;
    ASSERT_TRUE(target.SubclassWindow(CreatePlainWindow()));
    MessageBoxRecorder boxes;
    target.MessageBox(L"url地址不正确", nullptr, 0);
    target.MessageBox(L"text", L"caption", MB_OKCANCEL | MB_ICONEXCLAMATION);
    ASSERT_EQ(2u, boxes.Boxes().size());
    EXPECT_EQ(target.m_hWnd, boxes.Boxes()[0].owner);
    EXPECT_EQ(CString(u"Qelda升级程序"), boxes.Boxes()[0].caption);
    EXPECT_EQ(0u, boxes.Boxes()[0].type);
    EXPECT_EQ(CString(u"caption"), boxes.Boxes()[1].caption);
    EXPECT_EQ(static_cast<UINT>(0x31), boxes.Boxes()[1].type);
    target.DestroyWindow();
}

TEST(MessageBoxes, RecorderRestoresThePreviousHook) {
    MessageBoxRecorder outer(IDOK);
    {
        MessageBoxRecorder inner(IDNO);
        EXPECT_EQ(IDNO, AfxMessageBox(L"inner"));
    }
    EXPECT_EQ(IDOK, AfxMessageBox(L"outer"));
    EXPECT_EQ(1u, outer.Boxes().size());
}

// ------------------------------------------------------------------ threads and events

UINT __cdecl ReturnParam(LPVOID param) {
    return static_cast<UINT>(reinterpret_cast<UINT_PTR>(param));
}

TEST(Threads, SuspendedThreadWithoutAutoDeleteOutlivesItsFunction) {
    CWinThread* thread =
        AfxBeginThread(&ReturnParam, reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(42)), THREAD_PRIORITY_NORMAL, 0,
                       CREATE_SUSPENDED);
    ASSERT_NE(nullptr, thread);
    thread->m_bAutoDelete = FALSE;
    DWORD code = 0;
    ASSERT_TRUE(::GetExitCodeThread(thread->m_hThread, &code));
    EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), code);
    thread->ResumeThread();
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread->m_hThread, 10000));
    ASSERT_TRUE(::GetExitCodeThread(thread->m_hThread, &code));
    EXPECT_EQ(42u, code);
    delete thread;
}

TEST(Threads, AutoDeleteThreadRuns) {
    CEvent done(FALSE, TRUE);
    CWinThread* thread = AfxBeginThread(
        [](LPVOID p) -> UINT {
            static_cast<CEvent*>(p)->SetEvent();
            return 0;
        },
        &done);
    ASSERT_NE(nullptr, thread);
    EXPECT_TRUE(done.Lock(10000));
}

TEST(Events, AutoResetEventIsConsumedByOneWait) {
    CEvent cancel;  // auto-reset, not signalled
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(cancel, 0));
    cancel.SetEvent();
    cancel.SetEvent();  // two requests before one poll
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(cancel, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(cancel, 0));
    cancel.SetEvent();
    cancel.ResetEvent();
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(cancel, 0));
}

// ------------------------------------------------------------------ drawing

TEST(Drawing, PointFontHeightFollowsTheScreenResolution) {
    CFont font;
    ASSERT_TRUE(font.CreatePointFont(120, L"宋体"));
    LOGFONTW lf{};
    ASSERT_NE(0, ::GetObjectW(font.m_hObject, sizeof(lf), &lf));
    HDC screen = ::GetDC(nullptr);
    const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(nullptr, screen);
    EXPECT_EQ(-::MulDiv(dpi, 120, 720), lf.lfHeight);
    EXPECT_STREQ(L"宋体", lf.lfFaceName);
    HGDIOBJ handle = font.m_hObject;
    font.DeleteObject();
    EXPECT_EQ(0, ::GetObjectW(handle, sizeof(lf), &lf));
}

TEST(Drawing, MemoryContextFillAndSelection) {
    CDC screen;
    screen.Attach(::GetDC(nullptr));
    CDC memory;
    ASSERT_TRUE(memory.CreateCompatibleDC(&screen));
    CBitmap bitmap;
    ASSERT_TRUE(bitmap.CreateCompatibleBitmap(&screen, 8, 8));
    CBitmap* previous = memory.SelectObject(&bitmap);
    ASSERT_NE(nullptr, previous);
    CRect all(0, 0, 8, 8);
    memory.FillSolidRect(&all, RGB(10, 20, 30));
    EXPECT_EQ(RGB(10, 20, 30), ::GetPixel(memory, 3, 3));
    memory.SetWindowOrg(2, 2);
    EXPECT_EQ(RGB(10, 20, 30), ::GetPixel(memory, 2, 2));
    memory.SelectObject(previous);
    ::ReleaseDC(nullptr, screen.Detach());
    EXPECT_EQ(8, all.Width());
    EXPECT_EQ(8, all.Height());
}

}  // namespace
