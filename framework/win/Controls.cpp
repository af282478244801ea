#include "Controls.h"

#include <shellapi.h>

#include <cmath>

#include "WinApp.h"

void AfxRegisterMFCCtrlClasses() {
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof(existing);
    if (::GetClassInfoExW(AfxGetInstanceHandle(), L"MfcLink", &existing)) return;

    // A superclass of the system button: same procedure and extra bytes,
    // our own name.
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    if (!::GetClassInfoExW(nullptr, L"Button", &wc)) return;
    wc.hInstance = AfxGetInstanceHandle();
    wc.lpszClassName = L"MfcLink";
    wc.style &= ~static_cast<UINT>(CS_GLOBALCLASS);
    ::RegisterClassExW(&wc);
}

namespace {

double RelativeLuminance(COLORREF c) {
    auto channel = [](BYTE v) {
        const double s = v / 255.0;
        return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(GetRValue(c)) + 0.7152 * channel(GetGValue(c)) + 0.0722 * channel(GetBValue(c));
}

// The system's link colour, unless it can hardly be told from the face
// colour (some themes make it a pale grey): then the classic link blue.
COLORREF LinkColour() {
    const COLORREF hot = ::GetSysColor(COLOR_HOTLIGHT);
    const double a = RelativeLuminance(hot) + 0.05;
    const double b = RelativeLuminance(::GetSysColor(COLOR_BTNFACE)) + 0.05;
    return (a > b ? a / b : b / a) >= 3.0 ? hot : RGB(0, 102, 204);
}

}  // namespace

BEGIN_MESSAGE_MAP(CMFCLinkCtrl, CButton)
    ON_MESSAGE(WM_SETCURSOR, &CMFCLinkCtrl::OnSetCursor)
    ON_MESSAGE(WM_GETDLGCODE, &CMFCLinkCtrl::OnGetDlgCode)
    ON_MESSAGE(WM_KEYDOWN, &CMFCLinkCtrl::OnKeyDown)
END_MESSAGE_MAP()

CString CMFCLinkCtrl::GetTarget() const {
    CString target = m_strURL.IsEmpty() ? GetWindowText() : m_strURL;
    return m_strPrefix + target;
}

void CMFCLinkCtrl::PreSubclassWindow() {
    ModifyStyle(BS_TYPEMASK, BS_OWNERDRAW);
}

LRESULT CMFCLinkCtrl::OnSetCursor(WPARAM, LPARAM) {
    ::SetCursor(::LoadCursorW(nullptr, MAKEINTRESOURCEW(32649)));  // IDC_HAND
    return TRUE;
}

BOOL CMFCLinkCtrl::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    if (message == WM_DRAWITEM) {
        Draw(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        *pResult = TRUE;
        return TRUE;
    }
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && IsWindowEnabled()) {
        Open();
        // The parent still sees the click.
    }
    return FALSE;
}

// An owner-drawn button is no push button to the dialog manager, which would
// send Enter to the default button: the link takes Enter itself.
LRESULT CMFCLinkCtrl::OnGetDlgCode(WPARAM wParam, LPARAM lParam) {
    LRESULT code = Default();
    const auto* msg = reinterpret_cast<const MSG*>(lParam);
    if (msg != nullptr && msg->message == WM_KEYDOWN && wParam == VK_RETURN) code |= DLGC_WANTMESSAGE;
    return code;
}

LRESULT CMFCLinkCtrl::OnKeyDown(WPARAM wParam, LPARAM) {
    if (wParam == VK_RETURN) {
        // Reported to the parent like a click, which opens the link.
        ::SendMessageW(::GetParent(m_hWnd), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(), BN_CLICKED),
                       reinterpret_cast<LPARAM>(m_hWnd));
        return 0;
    }
    return Default();
}

void CMFCLinkCtrl::Open() {
    if (m_opener == nullptr) return;
    m_opener(GetTarget());
    m_bVisited = true;
    Invalidate();
}

void CMFCLinkCtrl::Draw(const DRAWITEMSTRUCT& item) {
    HFONT base = reinterpret_cast<HFONT>(SendMessage(WM_GETFONT));
    if (m_underlined.m_hObject == nullptr) {
        LOGFONTW lf{};
        ::GetObjectW(base != nullptr ? static_cast<HGDIOBJ>(base) : ::GetStockObject(DEFAULT_GUI_FONT), sizeof(lf), &lf);
        lf.lfUnderline = TRUE;
        m_underlined.CreateFontIndirect(&lf);
    }
    CDC dc;
    dc.Attach(item.hDC);
    RECT rc = item.rcItem;
    dc.FillSolidRect(&rc, ::GetSysColor(COLOR_BTNFACE));
    const int saved = dc.SaveDC();
    dc.SelectObject(&m_underlined);
    dc.SetBkMode(TRANSPARENT);
    dc.SetTextColor((item.itemState & ODS_DISABLED) != 0 ? ::GetSysColor(COLOR_GRAYTEXT)
                    : m_bVisited                         ? RGB(128, 0, 128)
                                                         : LinkColour());
    const CString text = GetWindowText();
    dc.DrawText(text, &rc, DT_LEFT | DT_VCENTER | DT_SINGLELINE);
    if ((item.itemState & ODS_FOCUS) != 0) {
        RECT focus = rc;
        ::DrawTextW(item.hDC, text.GetString(), text.GetLength(), &focus, DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_CALCRECT);
        ::OffsetRect(&focus, 0, (rc.bottom - rc.top - (focus.bottom - focus.top)) / 2);
        ::DrawFocusRect(item.hDC, &focus);
    }
    dc.RestoreDC(saved);
    dc.Detach();
}
