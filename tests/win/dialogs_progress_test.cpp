// CUpdateProcressDlg on its own, without an owner: its template, the bar it
// takes over, ResetProgress, and OK / Cancel. (With its owner, the update
// dialog, see dialogs_update_test.cpp.)
#include <windows.h>

#include <gtest/gtest.h>

#include "UpdateProcressDlg.h"
#include "WindowCapture.h"

namespace {

using wintest::Pixels;

class TestProgressDlg : public CUpdateProcressDlg {
public:
    int cancels = 0;

protected:
    void OnCancel() override {
        ++cancels;
        CUpdateProcressDlg::OnCancel();
    }
};

TEST(ProgressDialog, TemplateAndBoundBar) {
    TestProgressDlg dlg;
    EXPECT_EQ(nullptr, dlg.m_pOwner);
    EXPECT_EQ(nullptr, dlg.m_progress.m_hWnd);
    ASSERT_TRUE(dlg.Create(CUpdateProcressDlg::IDD));
    EXPECT_FALSE(dlg.IsWindowVisible());
    EXPECT_EQ(0, ::GetWindowTextLengthW(dlg.m_hWnd));  // the caption comes from the update dialog
    HWND bar = ::GetDlgItem(dlg.m_hWnd, 1000);
    ASSERT_NE(nullptr, bar);
    EXPECT_EQ(bar, dlg.m_progress.m_hWnd);
    wchar_t cls[32] = {};
    ::GetClassNameW(bar, cls, 32);
    EXPECT_STREQ(PROGRESS_CLASSW, cls);
    EXPECT_EQ(0, ::GetWindowTextLengthW(::GetDlgItem(dlg.m_hWnd, 1005)));
    // Cancel is the only tab stop.
    EXPECT_EQ(::GetDlgItem(dlg.m_hWnd, IDCANCEL), ::GetNextDlgTabItem(dlg.m_hWnd, nullptr, FALSE));
    EXPECT_EQ(::GetDlgItem(dlg.m_hWnd, IDCANCEL),
              ::GetNextDlgTabItem(dlg.m_hWnd, ::GetDlgItem(dlg.m_hWnd, IDCANCEL), FALSE));

    int lower = -1, upper = -1;
    dlg.ResetProgress(0, 0);
    dlg.m_progress.GetRange(lower, upper);
    EXPECT_EQ(0, lower);
    EXPECT_EQ(0, upper);
    EXPECT_EQ(0, dlg.m_progress.GetPos());
    dlg.ResetProgress(300, 120);
    dlg.m_progress.GetRange(lower, upper);
    EXPECT_EQ(300, upper);
    EXPECT_EQ(120, dlg.m_progress.GetPos());
    dlg.DestroyWindow();
    EXPECT_EQ(nullptr, dlg.m_progress.m_hWnd);
}

TEST(ProgressDialog, ResetPaintsNothingUntilARangeIsSetAndOkNeverCloses) {
    TestProgressDlg dlg;
    ASSERT_TRUE(dlg.Create(CUpdateProcressDlg::IDD));
    dlg.ShowWindow(SW_SHOWNA);
    dlg.UpdateWindow();
    HWND bar = dlg.m_progress.m_hWnd;

    dlg.ResetProgress(0, 0);
    EXPECT_TRUE(wintest::PaintsNothing(bar));
    dlg.ResetProgress(0, 7);
    EXPECT_TRUE(wintest::PaintsNothing(bar));

    dlg.ResetProgress(1000, 500);
    EXPECT_FALSE(wintest::PaintsNothing(bar));
    const Pixels p = wintest::CaptureClient(bar);
    EXPECT_EQ(::GetSysColor(COLOR_HIGHLIGHT), p.At(p.width / 2 - 1, 0));
    EXPECT_EQ(::GetSysColor(COLOR_WINDOW), p.At(p.width / 2, 0));

    // IDOK (Enter with no push button focused) leaves it open.
    dlg.SendMessage(WM_COMMAND, IDOK);
    EXPECT_TRUE(dlg.IsWindowVisible());
    EXPECT_EQ(0, dlg.cancels);

    // Without an owner, Cancel only ends it: hidden, not destroyed.
    dlg.SendDlgItemMessage(IDCANCEL, BM_CLICK);
    EXPECT_EQ(1, dlg.cancels);
    EXPECT_FALSE(dlg.IsWindowVisible());
    EXPECT_NE(nullptr, dlg.m_hWnd);
}

}  // namespace
