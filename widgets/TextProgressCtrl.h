// CTextProgressCtrl: a progress bar that paints itself, with one centred text
// whose colours invert where it crosses the filled part.
//
// It takes over an existing "msctls_progress32" window by subclassing
// (DDX_Control) and keeps its own range and position; the window's own range
// and position are never used. The text is the window text when one is set
// (WM_SETTEXT), otherwise the percentage, truncated toward zero. Every paint
// goes through a CMemDC, and background erasing is suppressed, so the bar
// never flickers.
//
// A position change repaints (synchronously, before SetPos returns) only when
// the filled width in whole pixels changes; a size change forces the next
// SetPos to repaint. An empty range (lower bound not below upper bound)
// paints nothing at all. Positions outside the range are not clamped: beyond
// the upper bound the bar is fully filled and the percentage exceeds 100,
// below the lower bound nothing is filled and the percentage is zero or
// negative.
//
// The colours are read from the system once, at construction. User-interface
// thread only.
#pragma once

#include <climits>

#include "Afx.h"
#include "CString.h"

class CTextProgressCtrl : public CProgressCtrl {
public:
    CTextProgressCtrl();
    ~CTextProgressCtrl() override;

    // Stores the range; paints nothing (the next SetPos decides).
    void SetRange(int nLower, int nUpper);
    void GetRange(int& nLower, int& nUpper) const;
    // The previous position, or -1 (changing nothing) when there is no window.
    int SetPos(int nPos);
    int GetPos() const { return m_nPos; }

    // The filled width that SetPos compares: (position - lower) / (upper -
    // lower) x client width, truncated toward zero. A position far outside
    // the range saturates at INT_MAX or INT_MIN + 1 (converting an
    // out-of-range double to int would be undefined); an upper bound equal
    // to the lower bound gives kNoWidth, which no other width takes.
    static int FilledWidth(int nPos, int nLower, int nUpper, int nWidth);
    static constexpr int kNoWidth = INT_MIN;
    // The percentage shown without a window text: trunc(fraction x 100),
    // saturated like FilledWidth. Meaningful for a non-empty range only.
    static int Percent(int nPos, int nLower, int nUpper);

protected:
    BOOL OnEraseBkgnd(CDC* pDC);
    void OnPaint();
    void OnSize(UINT nType, int cx, int cy);
    LRESULT OnSetText(WPARAM wParam, LPARAM lParam);
    LRESULT OnGetText(WPARAM wParam, LPARAM lParam);

    int m_nPos = 0;
    int m_nMax = 100;
    int m_nMin = 0;
    CString m_strText;
    BOOL m_bShowText = TRUE;
    int m_nBarWidth = -1;  // as last computed by SetPos; -1: not yet, repaint on the next change
    COLORREF m_crBar;
    COLORREF m_crBackground;
    COLORREF m_crTextOverBackground;
    COLORREF m_crTextOverBar;

    DECLARE_MESSAGE_MAP()
};
