#include "TextProgressCtrl.h"

#include <cmath>
#include <cstring>

#include "MemDC.h"

namespace {

double Fraction(int nPos, int nLower, int nUpper) {
    return (static_cast<double>(nPos) - nLower) / (static_cast<double>(nUpper) - nLower);
}

// trunc(value), kept within [INT_MIN + 1, INT_MAX] so that INT_MIN stays free
// for "empty range".
int TruncSaturated(double value) {
    if (!(value > static_cast<double>(INT_MIN + 1))) return INT_MIN + 1;  // NaN included
    if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
    return static_cast<int>(value);
}

}  // namespace

BEGIN_MESSAGE_MAP(CTextProgressCtrl, CProgressCtrl)
    ON_WM_ERASEBKGND()
    ON_WM_PAINT()
    ON_WM_SIZE()
    ON_MESSAGE(WM_SETTEXT, &CTextProgressCtrl::OnSetText)
    ON_MESSAGE(WM_GETTEXT, &CTextProgressCtrl::OnGetText)
END_MESSAGE_MAP()

CTextProgressCtrl::CTextProgressCtrl()
    : m_crBar(::GetSysColor(COLOR_HIGHLIGHT)),
      m_crBackground(::GetSysColor(COLOR_WINDOW)),
      m_crTextOverBackground(::GetSysColor(COLOR_HIGHLIGHT)),
      m_crTextOverBar(::GetSysColor(COLOR_WINDOW)) {}

CTextProgressCtrl::~CTextProgressCtrl() = default;

int CTextProgressCtrl::FilledWidth(int nPos, int nLower, int nUpper, int nWidth) {
    if (nUpper == nLower) return kNoWidth;
    return TruncSaturated(Fraction(nPos, nLower, nUpper) * nWidth);
}

int CTextProgressCtrl::Percent(int nPos, int nLower, int nUpper) {
    if (nUpper == nLower) return 0;
    return TruncSaturated(Fraction(nPos, nLower, nUpper) * 100.0);
}

void CTextProgressCtrl::SetRange(int nLower, int nUpper) {
    m_nMin = nLower;
    m_nMax = nUpper;
}

void CTextProgressCtrl::GetRange(int& nLower, int& nUpper) const {
    nLower = m_nMin;
    nUpper = m_nMax;
}

int CTextProgressCtrl::SetPos(int nPos) {
    if (m_hWnd == nullptr || !::IsWindow(m_hWnd)) return -1;
    const int previous = m_nPos;
    m_nPos = nPos;

    CRect client;
    GetClientRect(&client);
    const int width = FilledWidth(m_nPos, m_nMin, m_nMax, client.Width());
    if (width != m_nBarWidth) {
        m_nBarWidth = width;
        RedrawWindow(nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    }
    return previous;
}

BOOL CTextProgressCtrl::OnEraseBkgnd(CDC*) {
    return TRUE;
}

void CTextProgressCtrl::OnPaint() {
    // Begun (and so validated) even when nothing is drawn, or the system
    // would keep asking for the paint.
    CPaintDC paintDC(this);
    if (m_nMin >= m_nMax) return;

    CMemDC dc(&paintDC);
    CRect client;
    GetClientRect(&client);

    // Beyond the range the fill would reach past the client area, below it
    // the fill would have a negative width; either way what shows is the
    // same as with the width held within the client area.
    const int width = client.Width();
    int filled = TruncSaturated(Fraction(m_nPos, m_nMin, m_nMax) * width);
    if (filled < 0) filled = 0;
    if (filled > width) filled = width;
    const CRect barRect(client.left, client.top, client.left + filled, client.bottom);
    const CRect restRect(barRect.right, client.top, client.right, client.bottom);

    dc.FillSolidRect(&barRect, m_crBar);
    dc.FillSolidRect(&restRect, m_crBackground);

    if (m_bShowText) {
        CString text = m_strText;
        if (text.IsEmpty()) text.Format(L"%d%%", Percent(m_nPos, m_nMin, m_nMax));

        // A printing target is drawn on directly: leave its state as found.
        const int saved = dc.SaveDC();
        dc.SetBkMode(TRANSPARENT);
        const UINT format = DT_CENTER | DT_VCENTER | DT_SINGLELINE;

        // Clipping in logical units, the units of the fills above: the
        // memory context's window origin is not at the device origin.
        CRect textRect = client;
        dc.IntersectClipRect(&barRect);
        dc.SetTextColor(m_crTextOverBar);
        dc.DrawText(text, &textRect, format);

        dc.SelectClipRgn(nullptr);
        textRect = client;
        dc.IntersectClipRect(&restRect);
        dc.SetTextColor(m_crTextOverBackground);
        dc.DrawText(text, &textRect, format);
        dc.RestoreDC(saved);
    }
}

void CTextProgressCtrl::OnSize(UINT nType, int cx, int cy) {
    CProgressCtrl::OnSize(nType, cx, cy);
    m_nBarWidth = -1;
}

LRESULT CTextProgressCtrl::OnSetText(WPARAM, LPARAM lParam) {
    const LRESULT result = Default();
    const CString text(reinterpret_cast<const wchar_t*>(lParam));  // null reads as empty
    if (text != m_strText) {
        m_strText = text;
        Invalidate(TRUE);
    }
    return result;
}

LRESULT CTextProgressCtrl::OnGetText(WPARAM wParam, LPARAM lParam) {
    auto* buffer = reinterpret_cast<wchar_t*>(lParam);
    const std::size_t capacity = wParam;
    if (buffer == nullptr || capacity == 0) return 0;
    const std::size_t count = m_strText.size() < capacity - 1 ? m_strText.size() : capacity - 1;
    std::memcpy(buffer, m_strText.data(), count * sizeof(wchar_t));
    buffer[count] = L'\0';
    return static_cast<LRESULT>(count);
}
