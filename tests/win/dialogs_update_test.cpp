// CUpdateDlg from its real template: what OnInitDialog shows, the progress
// dialog it creates and feeds, the About box on the system menu, the link to
// the update log, and the ways out. Screenshots of the dialogs go to
// <build>/shots for a person to look at.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cwchar>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "AboutDlg.h"
#include "BindStatusCallback.h"
#include "MessageBoxRecorder.h"
#include "UpdateDlg.h"
#include "WindowCapture.h"

namespace {

using wintest::Pixels;

// The dialog with its members in reach.
class TestUpdateDlg : public CUpdateDlg {
public:
    using CUpdateDlg::m_dlgProgress;
    using CUpdateDlg::m_evCancel;
    using CUpdateDlg::m_fontInfo;
    using CUpdateDlg::m_hIcon;
    using CUpdateDlg::m_info;
    using CUpdateDlg::m_job;
    using CUpdateDlg::m_pDownloadThread;
    using CUpdateDlg::m_strCurrentVersion;
    using CUpdateDlg::m_strExeName;
};

UPDATE_INFO Record() {
    UPDATE_INFO info;
    info.OldVer = u"1.0";
    info.NewVer = u"2.1.0";
    info.NetUrl = u"http://127.0.0.1:1/pkg_2_1.zip";
    info.LocalPath = u"System";
    info.UpdateInfo = u"1. 修复了若干问题\r\n2. 提高了下载速度\r\n3. Faster start-up";
    info.InfoUrl = u"http://127.0.0.1:1/log.html";
    info.IsUpdate = 1;
    return info;
}

std::wstring Text(HWND window) {
    wchar_t buffer[512] = {};
    ::GetWindowTextW(window, buffer, 512);
    return buffer;
}

std::wstring ItemText(HWND dialog, int id) { return Text(::GetDlgItem(dialog, id)); }

// Dispatches what is queued the way the program's loops do: dialogs see
// their keys first.
void PumpDialogs() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (!AfxPreTranslateMessage(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
}

// A top-level dialog of this thread with the given caption, or null.
HWND FindDialog(const std::wstring& caption) {
    struct Search {
        const std::wstring* caption;
        HWND found;
    } search{&caption, nullptr};
    ::EnumThreadWindows(
        ::GetCurrentThreadId(),
        [](HWND h, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            wchar_t cls[16] = {};
            ::GetClassNameW(h, cls, 16);
            if (wcscmp(cls, L"#32770") == 0 && Text(h) == *s->caption) {
                s->found = h;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// WCAG contrast ratio of two colours, 1 to 21.
double ContrastRatio(COLORREF a, COLORREF b) {
    auto luminance = [](COLORREF c) {
        auto channel = [](BYTE v) {
            const double s = v / 255.0;
            return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(GetRValue(c)) + 0.7152 * channel(GetGValue(c)) + 0.0722 * channel(GetBValue(c)) + 0.05;
    };
    const double la = luminance(a), lb = luminance(b);
    return la > lb ? la / lb : lb / la;
}

bool Signalled(HANDLE event) { return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }


// Filled columns of the bar, read on its top row.
int FilledColumns(HWND bar) {
    const Pixels p = wintest::CaptureClient(bar);
    int n = 0;
    while (n < p.width && p.At(n, 0) == ::GetSysColor(COLOR_HIGHLIGHT)) ++n;
    for (int x = n; x < p.width; ++x)
        if (p.At(x, 0) != ::GetSysColor(COLOR_WINDOW)) return -1;
    return n;
}

LRESULT Report(HWND dialog, ULONG progress, ULONG max) {
    DownloadProgress record{progress, max, 5, L"status"};
    return ::SendMessageW(dialog, WM_DOWNLOAD_PROGRESS, 0, reinterpret_cast<LPARAM>(&record));
}

// ------------------------------------------------------------------ one modeless dialog for the suite

class UpdateDialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        g_strLocalPath = u"unchanged";
        s_dlg = new TestUpdateDlg;
        s_dlg->SetUpdateInfo(Record(), CString(u"1.0"), CString(u"Qelda.exe"));
        s_created = s_dlg->Create(CUpdateDlg::IDD) != FALSE;
        PumpDialogs();
    }
    static void TearDownTestSuite() {
        delete s_dlg;
        s_dlg = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(s_created); }

    static HWND Dlg() { return s_dlg->m_hWnd; }
    static HWND Progress() { return s_dlg->m_dlgProgress.m_hWnd; }
    static HWND Bar() { return s_dlg->m_dlgProgress.m_progress.m_hWnd; }

    static TestUpdateDlg* s_dlg;
    static bool s_created;
};

TestUpdateDlg* UpdateDialogTest::s_dlg = nullptr;
bool UpdateDialogTest::s_created = false;

TEST_F(UpdateDialogTest, SetUpdateInfoCopiesTheRecordAndThePackageDirectory) {
    const UPDATE_INFO r = Record();
    EXPECT_EQ(r.OldVer, s_dlg->m_info.OldVer);
    EXPECT_EQ(r.NewVer, s_dlg->m_info.NewVer);
    EXPECT_EQ(r.NetUrl, s_dlg->m_info.NetUrl);
    EXPECT_EQ(r.LocalPath, s_dlg->m_info.LocalPath);
    EXPECT_EQ(r.UpdateInfo, s_dlg->m_info.UpdateInfo);
    EXPECT_EQ(r.InfoUrl, s_dlg->m_info.InfoUrl);
    EXPECT_EQ(1, s_dlg->m_info.IsUpdate);
    EXPECT_EQ(CString(u"1.0"), s_dlg->m_strCurrentVersion);
    EXPECT_EQ(CString(u"Qelda.exe"), s_dlg->m_strExeName);
    EXPECT_EQ(CString(u"System"), g_strLocalPath);
    EXPECT_EQ(nullptr, s_dlg->m_pDownloadThread);
    EXPECT_EQ(nullptr, s_dlg->m_job.hNotifyWnd);
    EXPECT_TRUE(s_dlg->m_job.strUrl.IsEmpty());
}

TEST_F(UpdateDialogTest, ShowsTheOffer) {
    EXPECT_TRUE(::IsWindowVisible(Dlg()));
    EXPECT_EQ(L"Qelda升级程序", Text(Dlg()));
    EXPECT_EQ(L"当前程序版本：1.0", ItemText(Dlg(), 1001));
    EXPECT_EQ(L"1. 修复了若干问题\r\n2. 提高了下载速度\r\n3. Faster start-up", ItemText(Dlg(), 1002));
    EXPECT_EQ(L"升级完成后运行Qelda", ItemText(Dlg(), 1007));
    EXPECT_EQ(BST_CHECKED, ::IsDlgButtonChecked(Dlg(), 1007));
    EXPECT_EQ(L"升级", ItemText(Dlg(), 1003));
    EXPECT_EQ(L"退出", ItemText(Dlg(), 1004));
    EXPECT_EQ(L"更新日志...", ItemText(Dlg(), 1006));
    // Upgrade is the default button.
    EXPECT_EQ(MAKELONG(1003, DC_HASDEFID), ::SendMessageW(Dlg(), DM_GETDEFID, 0, 0));
    // The release notes accept typing.
    EXPECT_EQ(0u, static_cast<DWORD>(::GetWindowLongPtrW(::GetDlgItem(Dlg(), 1002), GWL_STYLE)) & ES_READONLY);
}

TEST_F(UpdateDialogTest, ReleaseNotesUseATwelvePointSongtiFont) {
    HFONT font = reinterpret_cast<HFONT>(::SendDlgItemMessageW(Dlg(), 1002, WM_GETFONT, 0, 0));
    ASSERT_NE(nullptr, font);
    EXPECT_EQ(s_dlg->m_fontInfo.m_hObject, static_cast<HGDIOBJ>(font));
    LOGFONTW lf{};
    ASSERT_NE(0, ::GetObjectW(font, sizeof(lf), &lf));
    EXPECT_STREQ(L"宋体", lf.lfFaceName);
    HDC screen = ::GetDC(nullptr);
    const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(nullptr, screen);
    EXPECT_EQ(-::MulDiv(dpi, 120, 720), lf.lfHeight);
}

TEST_F(UpdateDialogTest, IconsAndDragIconAreTheApplicationIcon) {
    ASSERT_NE(nullptr, s_dlg->m_hIcon);
    EXPECT_EQ(AfxGetApp()->LoadIcon(128), s_dlg->m_hIcon);
    EXPECT_EQ(reinterpret_cast<LRESULT>(s_dlg->m_hIcon), ::SendMessageW(Dlg(), WM_GETICON, ICON_BIG, 0));
    EXPECT_EQ(reinterpret_cast<LRESULT>(s_dlg->m_hIcon), ::SendMessageW(Dlg(), WM_GETICON, ICON_SMALL, 0));
    EXPECT_EQ(reinterpret_cast<LRESULT>(s_dlg->m_hIcon), ::SendMessageW(Dlg(), WM_QUERYDRAGICON, 0, 0));
}

TEST_F(UpdateDialogTest, SystemMenuEndsWithASeparatorAndTheAboutEntry) {
    HMENU menu = ::GetSystemMenu(Dlg(), FALSE);
    ASSERT_NE(nullptr, menu);
    const int count = ::GetMenuItemCount(menu);
    ASSERT_GE(count, 2);
    EXPECT_EQ(static_cast<UINT>(IDM_ABOUTBOX), ::GetMenuItemID(menu, count - 1));
    wchar_t text[64] = {};
    ::GetMenuStringW(menu, count - 1, text, 64, MF_BYPOSITION);
    EXPECT_STREQ(L"关于 Update(&A)...", text);
    MENUITEMINFOW item{};
    item.cbSize = sizeof(item);
    item.fMask = MIIM_FTYPE;
    ASSERT_TRUE(::GetMenuItemInfoW(menu, count - 2, TRUE, &item));
    EXPECT_NE(0u, item.fType & MFT_SEPARATOR);
}

TEST_F(UpdateDialogTest, ProgressDialogExistsHiddenAndAlreadyNamesTheNewVersion) {
    ASSERT_NE(nullptr, Progress());
    EXPECT_FALSE(::IsWindowVisible(Progress()));
    EXPECT_EQ(Dlg(), ::GetWindow(Progress(), GW_OWNER));
    EXPECT_EQ(s_dlg, s_dlg->m_dlgProgress.m_pOwner);
    EXPECT_EQ(L"Qelda升级程序", Text(Progress()));
    EXPECT_EQ(L"Qelda软件正在升级到2.1.0版本...", ItemText(Progress(), 1005));
    EXPECT_EQ(L"取消", ItemText(Progress(), IDCANCEL));
    // The bar is the text progress bar, bound to control 1000.
    EXPECT_EQ(&s_dlg->m_dlgProgress.m_progress, CWnd::FromHandlePermanent(::GetDlgItem(Progress(), 1000)));
    // Centred on the work area: the update dialog was not yet visible.
    RECT work{};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    RECT rect{};
    ::GetWindowRect(Progress(), &rect);
    EXPECT_NEAR((work.left + work.right) / 2, (rect.left + rect.right) / 2, 1);
    EXPECT_NEAR((work.top + work.bottom) / 2, (rect.top + rect.bottom) / 2, 1);
}

TEST_F(UpdateDialogTest, LinkLooksLikeALinkAndKnowsTheLogAddress) {
    auto* link = dynamic_cast<CMFCLinkCtrl*>(CWnd::FromHandlePermanent(::GetDlgItem(Dlg(), 1006)));
    ASSERT_NE(nullptr, link);
    EXPECT_EQ(CString(u"http://127.0.0.1:1/log.html"), link->GetURL());
    EXPECT_NE(0u, link->GetStyle() & WS_TABSTOP);
    EXPECT_EQ(static_cast<DWORD>(BS_OWNERDRAW), link->GetStyle() & BS_TYPEMASK);

    // The hand cursor over it.
    ::SendMessageW(link->m_hWnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(link->m_hWnd),
                   MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    EXPECT_EQ(::LoadCursorW(nullptr, IDC_HAND), ::GetCursor());

    // Its text in one legible link colour, underlined: some row holds a long
    // run of it. The colour is the system's, or a blue when the system's
    // would hardly show (Wine's light theme makes it a pale grey).
    ::RedrawWindow(link->m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    const Pixels p = wintest::CaptureClient(link->m_hWnd);
    const COLORREF face = ::GetSysColor(COLOR_BTNFACE);
    std::map<COLORREF, int> histogram;
    for (COLORREF c : p.data)
        if (c != face) histogram[c]++;
    ASSERT_FALSE(histogram.empty());
    const COLORREF ink = std::max_element(histogram.begin(), histogram.end(), [](const auto& a, const auto& b) {
                             return a.second < b.second;
                         })->first;
    const COLORREF hot = ::GetSysColor(COLOR_HOTLIGHT);
    EXPECT_TRUE(ink == hot || (GetBValue(ink) > GetRValue(ink) + 100 && GetBValue(ink) > GetGValue(ink)))
        << std::hex << ink;
    EXPECT_GE(ContrastRatio(ink, face), 3.0);
    int longestRun = 0;
    for (int y = 0; y < p.height; ++y) {
        int run = 0;
        for (int x = 0; x < p.width; ++x) {
            run = p.At(x, y) == ink ? run + 1 : 0;
            longestRun = std::max(longestRun, run);
        }
    }
    EXPECT_GE(longestRun, 30);

    // A focus rectangle around the text while it has the focus.
    ::SendMessageW(Dlg(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(link->m_hWnd), TRUE);
    ::RedrawWindow(link->m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    const Pixels focused = wintest::CaptureClient(link->m_hWnd);
    ::SendMessageW(Dlg(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(::GetDlgItem(Dlg(), 1003)), TRUE);
    ::RedrawWindow(link->m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    int changed = 0;
    for (std::size_t i = 0; i < p.data.size(); ++i)
        if (focused.data[i] != p.data[i]) ++changed;
    EXPECT_GT(changed, 20);
    EXPECT_TRUE(p == wintest::CaptureClient(link->m_hWnd));  // gone again with the focus
}

// The link opens its address with the system's handler for it. A scheme of
// the test's own records what it was asked to open.
class LinkSchemeTest : public UpdateDialogTest {
protected:
    void SetUp() override {
        UpdateDialogTest::SetUp();
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CLASSES_ROOT, L"qeldalinktest\\shell\\open\\command",
                                                   0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
        wchar_t system[MAX_PATH] = {};
        ::GetSystemDirectoryW(system, MAX_PATH);
        const std::wstring command =
            L"\"" + std::wstring(system) + L"\\reg.exe\" add HKCU\\Software\\BrenvikLinkTest /v \"%1\" /f";
        ::RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                         static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
        ::RegCloseKey(key);
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CLASSES_ROOT, L"qeldalinktest", 0, nullptr, 0,
                                                   KEY_ALL_ACCESS, nullptr, &key, nullptr));
        ::RegSetValueExW(key, L"URL Protocol", 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), sizeof(wchar_t));
        ::RegCloseKey(key);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\BrenvikLinkTest");
    }
    void TearDown() override {
        ::RegDeleteTreeW(HKEY_CLASSES_ROOT, L"qeldalinktest");
        ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\BrenvikLinkTest");
    }
    // Waits (pumping) until every address was opened, up to 30 s.
    static std::vector<std::wstring> Opened(const std::vector<std::wstring>& expected) {
        std::vector<std::wstring> seen;
        for (int i = 0; i < 300 && seen.size() < expected.size(); ++i) {
            PumpDialogs();
            ::Sleep(100);
            seen.clear();
            HKEY key = nullptr;
            if (::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\BrenvikLinkTest", 0, KEY_READ, &key) != ERROR_SUCCESS)
                continue;
            for (const std::wstring& name : expected)
                if (::RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
                    seen.push_back(name);
            ::RegCloseKey(key);
        }
        return seen;
    }
};

TEST_F(LinkSchemeTest, ClickSpaceAndEnterOpenTheAddressAndNothingElse) {
    auto* link = dynamic_cast<CMFCLinkCtrl*>(CWnd::FromHandlePermanent(::GetDlgItem(Dlg(), 1006)));
    ASSERT_NE(nullptr, link);
    MessageBoxRecorder boxes;

    link->SetURL(L"qeldalinktest:click");
    ::SendMessageW(link->m_hWnd, BM_CLICK, 0, 0);

    ::SendMessageW(Dlg(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(link->m_hWnd), TRUE);
    ASSERT_EQ(link->m_hWnd, ::GetFocus());
    link->SetURL(L"qeldalinktest:space");
    ::PostMessageW(link->m_hWnd, WM_KEYDOWN, VK_SPACE, 0);
    ::PostMessageW(link->m_hWnd, WM_KEYUP, VK_SPACE, 0xC0000000);
    PumpDialogs();

    link->SetURL(L"qeldalinktest:enter");
    ::PostMessageW(link->m_hWnd, WM_KEYDOWN, VK_RETURN, 0);
    ::PostMessageW(link->m_hWnd, WM_KEYUP, VK_RETURN, 0xC0000000);
    PumpDialogs();
    link->SetURL(L"http://127.0.0.1:1/log.html");

    const std::vector<std::wstring> expected = {L"qeldalinktest:click", L"qeldalinktest:space", L"qeldalinktest:enter"};
    EXPECT_EQ(expected, Opened(expected));
    // Enter went to the link, not to the default button: no upgrade began.
    EXPECT_TRUE(::IsWindowVisible(Dlg()));
    EXPECT_TRUE(boxes.Boxes().empty());
    ::SendMessageW(Dlg(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(::GetDlgItem(Dlg(), 1003)), TRUE);
}

TEST_F(UpdateDialogTest, ScreenshotOfTheOffer) {
    ::RedrawWindow(Dlg(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    PumpDialogs();
    EXPECT_TRUE(wintest::SaveBmp(wintest::CaptureWindow(Dlg()), wintest::ShotsDirectory() + L"\\update-dialog.bmp"));
}

TEST_F(UpdateDialogTest, ProgressReportsMoveTheBar) {
    ::ShowWindow(Progress(), SW_SHOWNA);
    ::UpdateWindow(Progress());
    CTextProgressCtrl& bar = s_dlg->m_dlgProgress.m_progress;
    RECT client{};
    ::GetClientRect(Bar(), &client);
    const int width = client.right;
    ASSERT_GT(width, 100);

    // The reset of a new download, then a server that has not told the size.
    s_dlg->m_dlgProgress.ResetProgress(0, 0);
    EXPECT_TRUE(wintest::PaintsNothing(Bar()));
    EXPECT_EQ(0, Report(Dlg(), 0, 0));
    EXPECT_TRUE(wintest::PaintsNothing(Bar()));

    EXPECT_EQ(0, Report(Dlg(), 500, 1000));
    int lower = -1, upper = -1;
    bar.GetRange(lower, upper);
    EXPECT_EQ(0, lower);
    EXPECT_EQ(1000, upper);
    EXPECT_EQ(500, bar.GetPos());
    EXPECT_EQ(width / 2, FilledColumns(Bar()));

    // A screenshot at 50%: caption and line are the program's.
    ::RedrawWindow(Progress(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    EXPECT_TRUE(wintest::SaveBmp(wintest::CaptureWindow(Progress()), wintest::ShotsDirectory() + L"\\progress-50.bmp"));

    // The cancellation notice carries no record and changes nothing.
    const Pixels before = wintest::CaptureClient(Bar());
    EXPECT_EQ(0, ::SendMessageW(Dlg(), WM_DOWNLOAD_PROGRESS, 0, 0));
    EXPECT_EQ(500, bar.GetPos());
    bar.GetRange(lower, upper);
    EXPECT_EQ(1000, upper);
    EXPECT_TRUE(before == wintest::CaptureClient(Bar()));

    // Progress past the maximum is passed on as it is: a full bar.
    Report(Dlg(), 1500, 1000);
    EXPECT_EQ(1500, bar.GetPos());
    EXPECT_EQ(width, FilledColumns(Bar()));

    // A maximum of 2^31 or more arrives negative: an empty range, a blank bar.
    Report(Dlg(), 100, 0x80000000u);
    bar.GetRange(lower, upper);
    EXPECT_EQ(INT_MIN, upper);
    EXPECT_TRUE(wintest::PaintsNothing(Bar()));
    Report(Dlg(), 0xFFFFFFFFu, 0xFFFFFFFEu);
    EXPECT_EQ(-1, bar.GetPos());
    EXPECT_TRUE(wintest::PaintsNothing(Bar()));

    // Nothing in a report touches the texts.
    EXPECT_EQ(L"Qelda升级程序", Text(Progress()));
    EXPECT_EQ(L"Qelda软件正在升级到2.1.0版本...", ItemText(Progress(), 1005));
}

TEST_F(UpdateDialogTest, CancelNotifiesTheOwnerOnceAndHidesTheProgressDialog) {
    const HANDLE cancel = s_dlg->m_evCancel.GetHandle();
    ASSERT_FALSE(Signalled(cancel));
    wintest::MessageCounter cancels(Dlg(), WM_CANCEL_DOWNLOAD);

    // IDOK (Enter with no push button focused) changes nothing.
    ::ShowWindow(Progress(), SW_SHOWNA);
    ::SendMessageW(Progress(), WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(::IsWindowVisible(Progress()));
    EXPECT_EQ(0, cancels.Count());
    EXPECT_FALSE(Signalled(cancel));

    const std::vector<std::pair<const char*, std::function<void()>>> ways = {
        {"Cancel button", [] { ::SendDlgItemMessageW(Progress(), IDCANCEL, BM_CLICK, 0, 0); }},
        {"Escape",
         [] {
             ::PostMessageW(::GetDlgItem(Progress(), IDCANCEL), WM_KEYDOWN, VK_ESCAPE, 0);
             PumpDialogs();
         }},
        {"close box",
         [] {
             ::SendMessageW(Progress(), WM_SYSCOMMAND, SC_CLOSE, 0);
             PumpDialogs();
         }},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.first);
        ::ShowWindow(Progress(), SW_SHOWNA);
        cancels.Reset();
        way.second();
        EXPECT_EQ(1, cancels.Count());
        EXPECT_FALSE(::IsWindowVisible(Progress()));
        EXPECT_NE(nullptr, Progress());  // hidden, not destroyed
        EXPECT_TRUE(Signalled(cancel));   // set by the owner's handler; the wait consumed it
        EXPECT_FALSE(Signalled(cancel));
    }

    // Two requests before anyone looks are one (auto-reset).
    ::SendMessageW(Dlg(), WM_CANCEL_DOWNLOAD, 0, 0);
    ::SendMessageW(Dlg(), WM_CANCEL_DOWNLOAD, 0, 0);
    EXPECT_TRUE(Signalled(cancel));
    EXPECT_FALSE(Signalled(cancel));
}

// A finish message that no worker sent (another program's, or a second one)
// finds no thread to join: it is ignored and the offer stays.
TEST_F(UpdateDialogTest, AFinishMessageWithoutAWorkerIsIgnored) {
    ASSERT_EQ(nullptr, s_dlg->m_pDownloadThread);
    ASSERT_TRUE(::IsWindowVisible(Dlg()));
    EXPECT_EQ(0, ::SendMessageW(Dlg(), WM_DOWNLOAD_FINISHED, 0, 0));
    EXPECT_TRUE(::IsWindowVisible(Dlg()));
    EXPECT_EQ(nullptr, s_dlg->m_pDownloadThread);
}

// ------------------------------------------------------------------ modal runs

// Runs the update dialog modally; each timer tick performs the next step.
class ScriptedUpdateDlg : public CUpdateDlg {
public:
    using Step = std::function<void(ScriptedUpdateDlg&)>;
    explicit ScriptedUpdateDlg(std::vector<Step> steps) : m_steps(std::move(steps)) {}

    INT_PTR Run(const CString& installed = CString(u"1.0")) {
        SetUpdateInfo(Record(), installed, CString(u"Qelda.exe"));
        AfxGetApp()->m_pMainWnd = this;
        const INT_PTR result = DoModal();
        AfxGetApp()->m_pMainWnd = nullptr;
        return result;
    }

    BOOL OnInitDialog() override {
        const BOOL result = CUpdateDlg::OnInitDialog();
        ::SetTimer(m_hWnd, 77, 40, nullptr);
        return result;
    }
    void OnTimer(UINT_PTR) {
        if (m_next < m_steps.size()) {
            const std::size_t step = m_next++;
            m_steps[step](*this);
        }
    }

private:
    std::vector<Step> m_steps;
    std::size_t m_next = 0;
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ScriptedUpdateDlg, CUpdateDlg)
    ON_WM_TIMER()
END_MESSAGE_MAP()

TEST(UpdateDialogModal, SystemCommandsOfTheAboutEntryOpenTheAboutBox) {
    struct AboutSeen {
        bool ownerDisabled = false;
        std::wstring version, ok;
    };
    std::vector<AboutSeen> seen;
    int aboutBoxesBeforeDefault = -1;
    bool anotherCommandOpenedOne = true;

    auto open = [](UINT command) {
        return [command](ScriptedUpdateDlg& d) { d.PostMessage(WM_SYSCOMMAND, command, 0); };
    };
    auto readAndClose = [&seen](ScriptedUpdateDlg& d) {
        HWND about = FindDialog(L"关于 Update");
        if (about == nullptr) return;
        AboutSeen s;
        s.ownerDisabled = !d.IsWindowEnabled();
        s.ok = ItemText(about, IDOK);
        HWND child = nullptr;
        while ((child = ::FindWindowExW(about, child, L"Static", nullptr)) != nullptr)
            if (Text(child).find(L"版") != std::wstring::npos) s.version = Text(child);
        if (seen.empty()) {
            ::RedrawWindow(about, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
            wintest::SaveBmp(wintest::CaptureWindow(about), wintest::ShotsDirectory() + L"\\about.bmp");
        }
        seen.push_back(s);
        ::SendDlgItemMessageW(about, IDOK, BM_CLICK, 0, 0);
    };
    ScriptedUpdateDlg dialog({
        open(0x0010), [](ScriptedUpdateDlg&) {}, readAndClose,
        open(0x001F), [](ScriptedUpdateDlg&) {}, readAndClose,
        [&](ScriptedUpdateDlg&) { aboutBoxesBeforeDefault = static_cast<int>(seen.size()); },
        open(0x0020), [](ScriptedUpdateDlg&) {},
        [&](ScriptedUpdateDlg&) { anotherCommandOpenedOne = FindDialog(L"关于 Update") != nullptr; },
        open(SC_CLOSE),  // default processing: the close box
    });
    EXPECT_EQ(IDCANCEL, dialog.Run());
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(2, aboutBoxesBeforeDefault);
    EXPECT_FALSE(anotherCommandOpenedOne);
    for (const AboutSeen& s : seen) {
        EXPECT_TRUE(s.ownerDisabled);  // modal over the update dialog
        EXPECT_EQ(L"Update 1.0 版", s.version);
        EXPECT_EQ(L"确定", s.ok);
    }
}

TEST(UpdateDialogModal, ExitEscapeAndCloseBoxEndWithCancel) {
    MessageBoxRecorder boxes;
    std::wstring installedLine;
    ScriptedUpdateDlg exitButton({[&](ScriptedUpdateDlg& d) {
        installedLine = ItemText(d.m_hWnd, 1001);
        d.SendDlgItemMessage(1004, BM_CLICK);
    }});
    EXPECT_EQ(IDCANCEL, exitButton.Run(CString()));
    EXPECT_EQ(L"当前程序版本：", installedLine);  // an empty installed version

    ScriptedUpdateDlg escape({[](ScriptedUpdateDlg& d) {
        ::PostMessageW(::GetDlgItem(d.m_hWnd, 1003), WM_KEYDOWN, VK_ESCAPE, 0);
    }});
    EXPECT_EQ(IDCANCEL, escape.Run());

    ScriptedUpdateDlg closeBox({[](ScriptedUpdateDlg& d) { d.PostMessage(WM_SYSCOMMAND, SC_CLOSE, 0); }});
    EXPECT_EQ(IDCANCEL, closeBox.Run());
    EXPECT_TRUE(boxes.Boxes().empty());
}

TEST(UpdateDialogModal, UpgradeHidesTheDialogFirst) {
    MessageBoxRecorder boxes;
    bool visibleBefore = false;
    bool visibleAfter = true;
    ScriptedUpdateDlg dialog({[&](ScriptedUpdateDlg& d) {
        visibleBefore = d.IsWindowVisible() != FALSE;
        d.SendDlgItemMessage(1003, BM_CLICK);
        visibleAfter = d.IsWindowVisible() != FALSE;
        d.EndDialog(IDCANCEL);
    }});
    dialog.Run();
    EXPECT_TRUE(visibleBefore);
    EXPECT_FALSE(visibleAfter);
}

TEST(UpdateDialogModal, MinimisedDialogPaintsItsIcon) {
    int iconErases = -1;
    int restoredErases = -1;
    bool iconic = false;
    ScriptedUpdateDlg dialog({
        [](ScriptedUpdateDlg& d) { d.ShowWindow(SW_MINIMIZE); },
        [&](ScriptedUpdateDlg& d) {
            iconic = d.IsIconic() != FALSE;
            // A minimised window may have no client area to invalidate: ask
            // for the paint directly.
            wintest::MessageCounter erases(d.m_hWnd, WM_ICONERASEBKGND);
            d.SendMessage(WM_PAINT);
            iconErases = erases.Count();
            d.ShowWindow(SW_RESTORE);
            erases.Reset();
            d.SendMessage(WM_PAINT);
            restoredErases = erases.Count();
            d.EndDialog(IDCANCEL);
        },
    });
    dialog.Run();
    EXPECT_TRUE(iconic);
    EXPECT_EQ(1, iconErases);
    EXPECT_EQ(0, restoredErases);  // the base class paints a restored dialog
}

// ------------------------------------------------------------------ ended while a transfer runs

// Reports through the real callback, as the transfer does, until it is cancelled.
UINT __cdecl ReportingWorker(LPVOID param) {
    auto* job = static_cast<DownloadJob*>(param);
    CBSCallbackImpl callback(job->hNotifyWnd, job->hCancelEvent);
    for (ULONG done = 0; callback.OnProgress(done, 1000000, 5, L"") != E_ABORT; ++done) {
    }
    job->strLocalFile.Empty();
    return 0;
}

struct Watchdog {
    HANDLE worker;
    HANDLE finished;
};

// Ends the worker by force when the dialog has not let it go within 15 s,
// so that a hang shows as a failure instead of stopping the suite.
DWORD WINAPI WatchdogProc(LPVOID param) {
    auto* w = static_cast<Watchdog*>(param);
    if (::WaitForSingleObject(w->finished, 15000) == WAIT_TIMEOUT) ::TerminateThread(w->worker, 0xDEAD);
    return 0;
}

TEST(UpdateDialogLifetime, EndedWhileTheWorkerWaitsInAReportItLetsTheWorkerFinish) {
    auto* dlg = new TestUpdateDlg;
    dlg->SetUpdateInfo(Record(), CString(u"1.0"), CString(u"Qelda.exe"));
    ASSERT_TRUE(dlg->Create(CUpdateDlg::IDD));
    dlg->m_job.hNotifyWnd = dlg->m_hWnd;
    dlg->m_job.hCancelEvent = dlg->m_evCancel.GetHandle();
    dlg->m_pDownloadThread = AfxBeginThread(ReportingWorker, &dlg->m_job, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    ASSERT_NE(nullptr, dlg->m_pDownloadThread);
    dlg->m_pDownloadThread->m_bAutoDelete = FALSE;
    HANDLE worker = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), dlg->m_pDownloadThread->m_hThread, ::GetCurrentProcess(),
                                  &worker, 0, FALSE, DUPLICATE_SAME_ACCESS));
    dlg->m_pDownloadThread->ResumeThread();
    // This thread answers nothing meanwhile: the worker is left waiting in
    // its first report, a send to the dialog.
    ::Sleep(300);
    DWORD exitCode = 0;
    ASSERT_TRUE(::GetExitCodeThread(worker, &exitCode));
    ASSERT_EQ(static_cast<DWORD>(STILL_ACTIVE), exitCode);

    Watchdog watchdog{worker, ::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HANDLE guard = ::CreateThread(nullptr, 0, WatchdogProc, &watchdog, 0, nullptr);
    ASSERT_NE(nullptr, guard);
    delete dlg;
    ::SetEvent(watchdog.finished);
    ::WaitForSingleObject(guard, INFINITE);

    ASSERT_TRUE(::GetExitCodeThread(worker, &exitCode));
    EXPECT_EQ(0u, exitCode);  // 0xDEAD: the worker was still stuck in its report
    ::CloseHandle(guard);
    ::CloseHandle(watchdog.finished);
    ::CloseHandle(worker);
}

// One control of an extended dialog template, as stored in the resources.
struct TemplateItem {
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    DWORD id = 0;
    std::wstring cls, text;  // an ordinal reads as "#n"
};

std::vector<TemplateItem> TemplateItems(UINT dialogId) {
    std::vector<TemplateItem> items;
    HMODULE module = ::GetModuleHandleW(nullptr);
    HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(dialogId), MAKEINTRESOURCEW(5));  // RT_DIALOG
    if (found == nullptr) return items;
    const auto* base = static_cast<const BYTE*>(::LockResource(::LoadResource(module, found)));
    const auto* words = reinterpret_cast<const WORD*>(base);
    if (words[0] != 1 || words[1] != 0xFFFF) return items;  // DLGTEMPLATEEX only
    const WORD count = words[8];
    const WORD* p = words + 13;  // menu, class, caption, font follow
    auto skipIdOrText = [](const WORD*& q, std::wstring* out) {
        if (*q == 0xFFFF) {
            if (out) *out = L"#" + std::to_wstring(q[1]);
            q += 2;
            return;
        }
        const auto* text = reinterpret_cast<const wchar_t*>(q);
        if (out) *out = text;
        q += std::wcslen(text) + 1;
    };
    skipIdOrText(p, nullptr);
    skipIdOrText(p, nullptr);
    skipIdOrText(p, nullptr);
    p += 3;  // point size, weight, italic and charset
    skipIdOrText(p, nullptr);
    for (WORD i = 0; i < count; ++i) {
        p = reinterpret_cast<const WORD*>(base + ((reinterpret_cast<const BYTE*>(p) - base + 3) & ~3));
        TemplateItem item;
        const auto* dwords = reinterpret_cast<const DWORD*>(p);
        item.style = dwords[2];
        const auto* shorts = reinterpret_cast<const short*>(p + 6);
        item.x = shorts[0];
        item.y = shorts[1];
        item.cx = shorts[2];
        item.cy = shorts[3];
        item.id = *reinterpret_cast<const DWORD*>(p + 10);
        p += 12;
        skipIdOrText(p, &item.cls);
        skipIdOrText(p, &item.text);
        p += 1 + *p / sizeof(WORD);  // creation data
        items.push_back(item);
    }
    return items;
}

TEST(AboutDialog, UsesTemplate100) {
    CAboutDlg about;
    ASSERT_TRUE(about.Create(CAboutDlg::IDD));
    EXPECT_EQ(L"关于 Update", Text(about.m_hWnd));
    EXPECT_FALSE(about.IsWindowVisible());
    EXPECT_EQ(L"确定", ItemText(about.m_hWnd, IDOK));
    // The application icon is on show.
    HWND icon = ::FindWindowExW(about.m_hWnd, nullptr, L"Static", nullptr);
    ASSERT_NE(nullptr, icon);
    EXPECT_EQ(static_cast<DWORD>(SS_ICON), static_cast<DWORD>(::GetWindowLongPtrW(icon, GWL_STYLE)) & SS_TYPEMASK);
    EXPECT_NE(0, ::SendMessageW(icon, STM_GETICON, 0, 0));
    about.DestroyWindow();
}

TEST(AboutDialog, TemplateHoldsTheIconAtItsPlaceAndSize) {
    const std::vector<TemplateItem> items = TemplateItems(CAboutDlg::IDD);
    ASSERT_EQ(4u, items.size());
    const TemplateItem& icon = items[0];
    EXPECT_EQ(static_cast<DWORD>(SS_ICON), icon.style & SS_TYPEMASK);
    EXPECT_EQ(L"#128", icon.text);
    EXPECT_EQ(11, icon.x);
    EXPECT_EQ(17, icon.y);
    EXPECT_EQ(20, icon.cx);
    EXPECT_EQ(20, icon.cy);
}

TEST(ModuleDirectory, IsTheFolderOfThisProgram) {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring expected(path);
    expected.resize(expected.rfind(L'\\'));
    EXPECT_EQ(CString(expected.c_str()), GetModuleDirectory());
}

}  // namespace
