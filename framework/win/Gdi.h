// Drawing: rectangles, GDI objects and device contexts, with the
// application framework's names.
//
// Ownership follows the framework: a CGdiObject owns its object and deletes
// it when destroyed (DeleteObject); a CDC owns a context it created
// (CreateCompatibleDC) and deletes it when destroyed, unless the handle was
// given back with Detach(). CPaintDC ends the paint and CClientDC releases
// its context instead. Pointers returned by SelectObject point to wrappers
// held inside the CDC that own nothing; they stay valid until the next
// selection of the same kind or the end of the CDC. User-interface thread only.
#pragma once

#include <windows.h>

#include "CObject.h"
#include "CString.h"

class CWnd;

class CPoint : public POINT {
public:
    CPoint() noexcept : POINT{0, 0} {}
    CPoint(int x0, int y0) noexcept : POINT{x0, y0} {}
};

class CRect : public RECT {
public:
    CRect() noexcept : RECT{0, 0, 0, 0} {}
    CRect(int l, int t, int r, int b) noexcept : RECT{l, t, r, b} {}
    CRect(const RECT& r) noexcept : RECT(r) {}

    int Width() const noexcept { return right - left; }
    int Height() const noexcept { return bottom - top; }
    bool IsRectEmpty() const noexcept { return ::IsRectEmpty(this) != FALSE; }
    CPoint TopLeft() const noexcept { return CPoint(left, top); }
    void SetRect(int l, int t, int r, int b) noexcept { left = l; top = t; right = r; bottom = b; }
    void SetRectEmpty() noexcept { SetRect(0, 0, 0, 0); }

    operator LPRECT() noexcept { return this; }
    operator LPCRECT() const noexcept { return this; }
};

class CGdiObject : public CObject {
public:
    CGdiObject() = default;
    ~CGdiObject() override;
    CGdiObject(const CGdiObject&) = delete;
    CGdiObject& operator=(const CGdiObject&) = delete;

    HGDIOBJ GetSafeHandle() const noexcept { return m_hObject; }
    // Takes ownership of an object; the previous one is deleted.
    BOOL Attach(HGDIOBJ object) noexcept;
    // Gives up ownership without deleting.
    HGDIOBJ Detach() noexcept;
    // Deletes the object now; the wrapper is empty afterwards.
    BOOL DeleteObject() noexcept;

    HGDIOBJ m_hObject = nullptr;

protected:
    // A wrapper that only names an object (for SelectObject results).
    bool m_bOwner = true;
    friend class CDC;
};

class CFont : public CGdiObject {
public:
    // A font of nPointSize tenths of a point, measured against pDC or, when
    // null, the screen. False when the font cannot be made.
    BOOL CreatePointFont(int nPointSize, const wchar_t* lpszFaceName, class CDC* pDC = nullptr);
    BOOL CreateFontIndirect(const LOGFONTW* lpLogFont);
    operator HFONT() const noexcept { return static_cast<HFONT>(m_hObject); }
};

class CBitmap : public CGdiObject {
public:
    BOOL CreateCompatibleBitmap(class CDC* pDC, int nWidth, int nHeight);
    operator HBITMAP() const noexcept { return static_cast<HBITMAP>(m_hObject); }
};

class CBrush : public CGdiObject {
public:
    CBrush() = default;
    explicit CBrush(COLORREF color) { CreateSolidBrush(color); }
    BOOL CreateSolidBrush(COLORREF color);
    operator HBRUSH() const noexcept { return static_cast<HBRUSH>(m_hObject); }
};

class CRgn : public CGdiObject {
public:
    BOOL CreateRectRgnIndirect(LPCRECT lpRect);
    operator HRGN() const noexcept { return static_cast<HRGN>(m_hObject); }
};

class CDC : public CObject {
public:
    CDC() = default;
    ~CDC() override;
    CDC(const CDC&) = delete;
    CDC& operator=(const CDC&) = delete;

    HDC GetSafeHdc() const noexcept { return m_hDC; }
    operator HDC() const noexcept { return m_hDC; }
    BOOL IsPrinting() const noexcept { return m_bPrinting; }

    // Takes a context as both output and attribute handle; the CDC deletes
    // it at the end unless it is detached first.
    BOOL Attach(HDC hDC) noexcept;
    HDC Detach() noexcept;
    BOOL DeleteDC() noexcept;
    BOOL CreateCompatibleDC(CDC* pDC);

    int GetClipBox(LPRECT lpRect) const;
    CPoint SetWindowOrg(int x, int y);
    int GetDeviceCaps(int nIndex) const;
    BOOL BitBlt(int x, int y, int nWidth, int nHeight, CDC* pSrcDC, int xSrc, int ySrc, DWORD dwRop);
    void FillSolidRect(LPCRECT lpRect, COLORREF color);
    int DrawText(const CString& text, LPRECT lpRect, UINT nFormat);
    COLORREF SetTextColor(COLORREF color);
    COLORREF SetBkColor(COLORREF color);
    int SetBkMode(int nMode);
    BOOL DrawIcon(int x, int y, HICON hIcon);

    // Clipping: a null region removes the clip region.
    int SelectClipRgn(CRgn* pRgn);
    int IntersectClipRect(LPCRECT lpRect);

    CFont* SelectObject(CFont* pFont);
    CBitmap* SelectObject(CBitmap* pBitmap);
    CBrush* SelectObject(CBrush* pBrush);
    int SaveDC();
    BOOL RestoreDC(int nSavedDC);

    HDC m_hDC = nullptr;
    HDC m_hAttribDC = nullptr;
    BOOL m_bPrinting = FALSE;

private:
    HGDIOBJ SelectHandle(HGDIOBJ object);

    // Non-owning wrappers of the objects that selections displaced.
    CFont m_previousFont;
    CBitmap m_previousBitmap;
    CBrush m_previousBrush;
};

// BeginPaint for the window's WM_PAINT; EndPaint when it goes.
class CPaintDC : public CDC {
public:
    explicit CPaintDC(CWnd* pWnd);
    ~CPaintDC() override;

    PAINTSTRUCT m_ps{};

private:
    HWND m_hWnd;
};

// The window's client-area context (GetDC); ReleaseDC when it goes.
class CClientDC : public CDC {
public:
    explicit CClientDC(CWnd* pWnd);
    ~CClientDC() override;

private:
    HWND m_hWnd;
};
