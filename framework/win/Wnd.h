// Windows and dialogs with the application framework's names.
//
// A CWnd is bound to at most one window. A window is "permanent" for a CWnd
// when the CWnd created it or subclassed it: its messages then go through the
// CWnd's message map (CmdTarget.h) first, and whatever the map does not
// handle goes to the window's previous procedure (Default()). The binding
// ends at WM_NCDESTROY; destroying a CWnd that still has a window destroys
// the window. CWnd objects are not copyable and belong to one thread, the
// user-interface thread that made their windows.
//
// GetDlgItem returns the permanent CWnd of a control when one exists, else a
// handle-only wrapper owned by the parent CWnd; it lives until the parent's
// window is destroyed and must not be kept beyond that.
//
// Dialogs: DoModal runs the framework's own modal loop (like the framework,
// not the system's DialogBox), so hiding a modal dialog keeps it hidden.
// Create makes a modeless dialog. EndDialog ends the modal loop and hides
// the window; DoModal destroys it before returning.
#pragma once

#include <windows.h>

#include <map>
#include <memory>

#include "CmdTarget.h"
#include "CString.h"
#include "Gdi.h"

// A menu owned by the system or by a window: the wrapper never destroys it.
class CMenu : public CObject {
public:
    HMENU m_hMenu = nullptr;
    BOOL AppendMenu(UINT nFlags, UINT_PTR nIDNewItem = 0, const wchar_t* lpszNewItem = nullptr);
    UINT GetMenuItemCount() const;
};

class CWnd : public CCmdTarget {
public:
    CWnd() = default;
    ~CWnd() override;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND m_hWnd = nullptr;

    HWND GetSafeHwnd() const noexcept { return m_hWnd; }
    operator HWND() const noexcept { return m_hWnd; }

    // The CWnd bound to a window by creation or subclassing, or null.
    static CWnd* FromHandlePermanent(HWND hWnd);

    // Binds this object to an existing window without taking its messages.
    BOOL Attach(HWND hWnd);
    HWND Detach();
    // Binds this object to a window and routes its messages through the map.
    BOOL SubclassWindow(HWND hWnd);
    BOOL SubclassDlgItem(UINT nID, CWnd* pParent);
    HWND UnsubclassWindow();

    BOOL DestroyWindow();

    // Window state and text.
    BOOL ShowWindow(int nCmdShow);
    BOOL IsWindowVisible() const;
    BOOL IsIconic() const;
    BOOL EnableWindow(BOOL bEnable = TRUE);
    BOOL IsWindowEnabled() const;
    // A WM_TIMER every nElapse ms with wParam nIDEvent (no timer procedure).
    UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse, TIMERPROC lpfnTimer = nullptr);
    BOOL KillTimer(UINT_PTR nIDEvent);
    DWORD GetStyle() const;
    DWORD GetExStyle() const;
    BOOL ModifyStyle(DWORD dwRemove, DWORD dwAdd, UINT nFlags = 0);
    int GetDlgCtrlID() const;
    void SetWindowText(const CString& text);
    CString GetWindowText() const;
    void GetWindowText(CString& text) const { text = GetWindowText(); }
    void SetFont(CFont* pFont, BOOL bRedraw = TRUE);
    HICON SetIcon(HICON hIcon, BOOL bBigIcon);
    CWnd* SetFocus();

    // Geometry and painting.
    void GetClientRect(LPRECT lpRect) const;
    void GetWindowRect(LPRECT lpRect) const;
    BOOL SetWindowPos(const CWnd* pWndInsertAfter, int x, int y, int cx, int cy, UINT nFlags);
    void MoveWindow(int x, int y, int nWidth, int nHeight, BOOL bRepaint = TRUE);
    void CenterWindow(CWnd* pAlternateOwner = nullptr);
    void Invalidate(BOOL bErase = TRUE);
    void InvalidateRect(LPCRECT lpRect, BOOL bErase = TRUE);
    void UpdateWindow();
    BOOL RedrawWindow(LPCRECT lpRectUpdate = nullptr, CRgn* prgnUpdate = nullptr,
                      UINT flags = RDW_INVALIDATE | RDW_UPDATENOW | RDW_ERASE);

    // Messages.
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;

    // Children of a dialog or window.
    CWnd* GetDlgItem(int nID);
    CWnd* GetParent() const;
    void SetDlgItemText(int nID, const CString& text);
    CString GetDlgItemText(int nID) const;
    void CheckDlgButton(int nIDButton, UINT nCheck);
    UINT IsDlgButtonChecked(int nIDButton) const;
    LRESULT SendDlgItemMessage(int nID, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;

    // The window's system menu (bRevert FALSE), or null when it has none.
    // The returned wrapper belongs to this CWnd.
    CMenu* GetSystemMenu(BOOL bRevert);

    // A message box owned by this window; a null caption shows the
    // application name. Goes through AfxShowMessageBox (WinApp.h).
    int MessageBox(const CString& text, const wchar_t* lpszCaption = nullptr, UINT nType = MB_OK);

    // Keyboard handling before dispatch; true when the message was consumed.
    virtual BOOL PreTranslateMessage(MSG* pMsg);

    // Base handlers: each does the window's default processing of the message
    // being handled.
    void OnPaint();
    void OnSysCommand(UINT nID, LPARAM lParam);
    HCURSOR OnQueryDragIcon();
    BOOL OnEraseBkgnd(CDC* pDC);
    void OnSize(UINT nType, int cx, int cy);
    void OnDestroy();
    void OnClose();
    void OnTimer(UINT_PTR nIDEvent);

    // The procedure of every permanent window.
    static LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

protected:
    // Routes one message: the map first, then DefWindowProc.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    // A notification sent to the parent about this (permanent) child:
    // WM_COMMAND, WM_NOTIFY, WM_DRAWITEM, WM_CTLCOLOR*. True when this child
    // handled it; *pResult is then the parent's answer.
    virtual BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    // The window's previous procedure (or DefWindowProcW).
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // Default processing of the message now being handled.
    LRESULT Default();
    // Called after subclassing, before the first routed message.
    virtual void PreSubclassWindow();
    // Called after WM_NCDESTROY, when the window is gone.
    virtual void PostNcDestroy();

    WNDPROC m_pfnSuper = nullptr;

private:
    struct CurrentMessage {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    CurrentMessage m_current{0, 0, 0};
    bool m_bPermanent = false;
    CMenu m_systemMenu;
    std::map<HWND, std::unique_ptr<CWnd>> m_childWrappers;

    void OnNcDestroyed();
    friend class CDialog;
};

// Data exchange between a dialog and its members (control binding only).
class CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate) : m_pDlgWnd(pDlgWnd), m_bSaveAndValidate(bSaveAndValidate) {}
    CWnd* m_pDlgWnd;
    BOOL m_bSaveAndValidate;
};

// Binds control nIDC of the dialog to rControl by subclassing, once: the
// control's messages then go through rControl's message map.
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);

class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);

    // Runs the dialog modally: returns the EndDialog result, or -1 when the
    // window cannot be created.
    virtual INT_PTR DoModal();
    // Creates the dialog modeless; the template decides whether it is visible.
    BOOL Create(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    // Ends the modal loop (when one runs) and hides the window.
    void EndDialog(int nResult);

    virtual BOOL OnInitDialog();
    // IDOK: UpdateData(TRUE), then EndDialog(IDOK). IDCANCEL: EndDialog(IDCANCEL).
    virtual void OnOK();
    virtual void OnCancel();

    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    BOOL PreTranslateMessage(MSG* pMsg) override;

protected:
    virtual void DoDataExchange(CDataExchange* pDX);
    BOOL OnCmdMsg(UINT nID, int nCode) override;

    UINT m_nIDHelp;
    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;

private:
    static INT_PTR CALLBACK AfxDlgProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    BOOL CreateFromTemplate(HWND hWndOwner);
    void RunModalLoop();

    bool m_bModal = false;
    bool m_bContinueModal = false;
    int m_nModalResult = -1;

    DECLARE_MESSAGE_MAP()
};

namespace AfxThunk {

template <class T, auto F>
LRESULT SysCommand(CCmdTarget* target, WPARAM wParam, LPARAM lParam) {
    CheckMember<T, F>();
    (static_cast<T*>(target)->*F)(static_cast<UINT>(wParam), lParam);
    return 0;
}

template <class T, auto F>
LRESULT QueryDragIcon(CCmdTarget* target, WPARAM, LPARAM) {
    CheckMember<T, F>();
    return reinterpret_cast<LRESULT>((static_cast<T*>(target)->*F)());
}

template <class T, auto F>
LRESULT EraseBkgnd(CCmdTarget* target, WPARAM wParam, LPARAM) {
    CheckMember<T, F>();
    CDC dc;
    dc.Attach(reinterpret_cast<HDC>(wParam));
    const BOOL erased = (static_cast<T*>(target)->*F)(&dc);
    dc.Detach();
    return erased;
}

template <class T, auto F>
LRESULT Size(CCmdTarget* target, WPARAM wParam, LPARAM lParam) {
    CheckMember<T, F>();
    (static_cast<T*>(target)->*F)(static_cast<UINT>(wParam), static_cast<short>(LOWORD(lParam)),
                                  static_cast<short>(HIWORD(lParam)));
    return 0;
}

template <class T, auto F>
LRESULT Timer(CCmdTarget* target, WPARAM wParam, LPARAM) {
    CheckMember<T, F>();
    (static_cast<T*>(target)->*F)(static_cast<UINT_PTR>(wParam));
    return 0;
}

}  // namespace AfxThunk

// Window messages with the framework's fixed handler names.
#define ON_WM_PAINT() {WM_PAINT, 0, 0, &AfxThunk::Void<ThisClass, &ThisClass::OnPaint>},
#define ON_WM_SYSCOMMAND() {WM_SYSCOMMAND, 0, 0, &AfxThunk::SysCommand<ThisClass, &ThisClass::OnSysCommand>},
#define ON_WM_QUERYDRAGICON() {WM_QUERYDRAGICON, 0, 0, &AfxThunk::QueryDragIcon<ThisClass, &ThisClass::OnQueryDragIcon>},
#define ON_WM_ERASEBKGND() {WM_ERASEBKGND, 0, 0, &AfxThunk::EraseBkgnd<ThisClass, &ThisClass::OnEraseBkgnd>},
#define ON_WM_SIZE() {WM_SIZE, 0, 0, &AfxThunk::Size<ThisClass, &ThisClass::OnSize>},
#define ON_WM_DESTROY() {WM_DESTROY, 0, 0, &AfxThunk::Void<ThisClass, &ThisClass::OnDestroy>},
#define ON_WM_CLOSE() {WM_CLOSE, 0, 0, &AfxThunk::Void<ThisClass, &ThisClass::OnClose>},
#define ON_WM_TIMER() {WM_TIMER, 0, 0, &AfxThunk::Timer<ThisClass, &ThisClass::OnTimer>},
