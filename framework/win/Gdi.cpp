#include "Gdi.h"

#include <cstdlib>
#include <cwchar>

#include "Wnd.h"

CGdiObject::~CGdiObject() {
    if (m_bOwner) DeleteObject();
}

BOOL CGdiObject::Attach(HGDIOBJ object) noexcept {
    if (m_bOwner) DeleteObject();
    m_hObject = object;
    return object != nullptr;
}

HGDIOBJ CGdiObject::Detach() noexcept {
    HGDIOBJ h = m_hObject;
    m_hObject = nullptr;
    return h;
}

BOOL CGdiObject::DeleteObject() noexcept {
    if (m_hObject == nullptr) return FALSE;
    HGDIOBJ h = Detach();
    return m_bOwner ? ::DeleteObject(h) : TRUE;
}

BOOL CFont::CreateFontIndirect(const LOGFONTW* lpLogFont) {
    return Attach(::CreateFontIndirectW(lpLogFont));
}

BOOL CFont::CreatePointFont(int nPointSize, const wchar_t* lpszFaceName, CDC* pDC) {
    LOGFONTW lf{};
    lf.lfCharSet = DEFAULT_CHARSET;
    std::wcsncpy(lf.lfFaceName, lpszFaceName, LF_FACESIZE - 1);

    // Tenths of a point to logical units of the reference context, as a
    // negative height (character height, not cell height).
    HDC screen = nullptr;
    HDC dc = pDC != nullptr ? pDC->m_hAttribDC : nullptr;
    if (dc == nullptr) dc = screen = ::GetDC(nullptr);
    POINT pt{0, ::MulDiv(::GetDeviceCaps(dc, LOGPIXELSY), nPointSize, 720)};
    ::DPtoLP(dc, &pt, 1);
    POINT origin{0, 0};
    ::DPtoLP(dc, &origin, 1);
    lf.lfHeight = -std::abs(pt.y - origin.y);
    if (screen != nullptr) ::ReleaseDC(nullptr, screen);
    return CreateFontIndirect(&lf);
}

BOOL CBitmap::CreateCompatibleBitmap(CDC* pDC, int nWidth, int nHeight) {
    return Attach(::CreateCompatibleBitmap(pDC->m_hDC, nWidth, nHeight));
}

BOOL CBrush::CreateSolidBrush(COLORREF color) {
    return Attach(::CreateSolidBrush(color));
}

BOOL CRgn::CreateRectRgnIndirect(LPCRECT lpRect) {
    return Attach(::CreateRectRgnIndirect(lpRect));
}

CDC::~CDC() {
    DeleteDC();
}

BOOL CDC::Attach(HDC hDC) noexcept {
    if (hDC == nullptr) return FALSE;
    m_hDC = m_hAttribDC = hDC;
    return TRUE;
}

HDC CDC::Detach() noexcept {
    HDC h = m_hDC;
    m_hDC = m_hAttribDC = nullptr;
    return h;
}

BOOL CDC::DeleteDC() noexcept {
    if (m_hDC == nullptr) return FALSE;
    return ::DeleteDC(Detach());
}

BOOL CDC::CreateCompatibleDC(CDC* pDC) {
    return Attach(::CreateCompatibleDC(pDC != nullptr ? pDC->m_hDC : nullptr));
}

int CDC::GetClipBox(LPRECT lpRect) const {
    return ::GetClipBox(m_hDC, lpRect);
}

CPoint CDC::SetWindowOrg(int x, int y) {
    POINT old{0, 0};
    ::SetWindowOrgEx(m_hDC, x, y, &old);
    return CPoint(old.x, old.y);
}

int CDC::GetDeviceCaps(int nIndex) const {
    return ::GetDeviceCaps(m_hAttribDC, nIndex);
}

BOOL CDC::BitBlt(int x, int y, int nWidth, int nHeight, CDC* pSrcDC, int xSrc, int ySrc, DWORD dwRop) {
    return ::BitBlt(m_hDC, x, y, nWidth, nHeight, pSrcDC != nullptr ? pSrcDC->m_hDC : nullptr, xSrc, ySrc, dwRop);
}

void CDC::FillSolidRect(LPCRECT lpRect, COLORREF color) {
    // ExtTextOut with an opaque rectangle and no text: the framework's solid fill.
    ::SetBkColor(m_hDC, color);
    ::ExtTextOutW(m_hDC, 0, 0, ETO_OPAQUE, lpRect, nullptr, 0, nullptr);
}

int CDC::DrawText(const CString& text, LPRECT lpRect, UINT nFormat) {
    return ::DrawTextW(m_hDC, text.GetString(), text.GetLength(), lpRect, nFormat);
}

COLORREF CDC::SetTextColor(COLORREF color) {
    return ::SetTextColor(m_hDC, color);
}

COLORREF CDC::SetBkColor(COLORREF color) {
    return ::SetBkColor(m_hDC, color);
}

int CDC::SetBkMode(int nMode) {
    return ::SetBkMode(m_hDC, nMode);
}

BOOL CDC::DrawIcon(int x, int y, HICON hIcon) {
    return ::DrawIcon(m_hDC, x, y, hIcon);
}

int CDC::SelectClipRgn(CRgn* pRgn) {
    return ::SelectClipRgn(m_hDC, pRgn != nullptr ? static_cast<HRGN>(pRgn->m_hObject) : nullptr);
}

int CDC::IntersectClipRect(LPCRECT lpRect) {
    return ::IntersectClipRect(m_hDC, lpRect->left, lpRect->top, lpRect->right, lpRect->bottom);
}

HGDIOBJ CDC::SelectHandle(HGDIOBJ object) {
    HGDIOBJ old = ::SelectObject(m_hDC, object);
    return old == HGDI_ERROR ? nullptr : old;
}

CFont* CDC::SelectObject(CFont* pFont) {
    m_previousFont.m_bOwner = false;
    m_previousFont.m_hObject = SelectHandle(pFont != nullptr ? pFont->m_hObject : nullptr);
    return m_previousFont.m_hObject != nullptr ? &m_previousFont : nullptr;
}

CBitmap* CDC::SelectObject(CBitmap* pBitmap) {
    m_previousBitmap.m_bOwner = false;
    m_previousBitmap.m_hObject = SelectHandle(pBitmap != nullptr ? pBitmap->m_hObject : nullptr);
    return m_previousBitmap.m_hObject != nullptr ? &m_previousBitmap : nullptr;
}

CBrush* CDC::SelectObject(CBrush* pBrush) {
    m_previousBrush.m_bOwner = false;
    m_previousBrush.m_hObject = SelectHandle(pBrush != nullptr ? pBrush->m_hObject : nullptr);
    return m_previousBrush.m_hObject != nullptr ? &m_previousBrush : nullptr;
}

int CDC::SaveDC() {
    return ::SaveDC(m_hDC);
}

BOOL CDC::RestoreDC(int nSavedDC) {
    return ::RestoreDC(m_hDC, nSavedDC);
}

CPaintDC::CPaintDC(CWnd* pWnd) : m_hWnd(pWnd->GetSafeHwnd()) {
    Attach(::BeginPaint(m_hWnd, &m_ps));
}

CPaintDC::~CPaintDC() {
    ::EndPaint(m_hWnd, &m_ps);
    Detach();
}

CClientDC::CClientDC(CWnd* pWnd) : m_hWnd(pWnd != nullptr ? pWnd->GetSafeHwnd() : nullptr) {
    Attach(::GetDC(m_hWnd));
}

CClientDC::~CClientDC() {
    ::ReleaseDC(m_hWnd, Detach());
}
