// Common controls with the application framework's names.
//
// Each wrapper is a CWnd bound to an existing control, normally by
// DDX_Control (Wnd.h); the control window belongs to its dialog. User-interface
// thread only.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include "CString.h"
#include "Wnd.h"

// Registers the framework's own control classes that dialog templates may
// name ("MfcLink"). Called before every dialog is created; safe to repeat.
void AfxRegisterMFCCtrlClasses();

class CButton : public CWnd {
public:
    int GetCheck() const { return static_cast<int>(SendMessage(BM_GETCHECK)); }
    void SetCheck(int nCheck) { SendMessage(BM_SETCHECK, static_cast<WPARAM>(nCheck)); }
};

class CProgressCtrl : public CWnd {
public:
    void SetRange32(int nLower, int nUpper) { SendMessage(PBM_SETRANGE32, static_cast<WPARAM>(nLower), nUpper); }
    int SetPos(int nPos) { return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(nPos))); }
    int GetPos() const { return static_cast<int>(SendMessage(PBM_GETPOS)); }
};

// A push button shown as a hyperlink (the "MfcLink" class in templates).
// The text is underlined, in the system's link colour (a blue of its own
// when that colour has too little contrast with the dialog face), with a
// focus rectangle when focused, grey when disabled. A click, Space or Enter
// while it has the focus hands the URL (prefix + URL, or the window text when
// no URL is set) to the owner's opener (SetOpener); the link then keeps the
// visited colour. The template's initialisation data is not
// read: the URL is always supplied at run time. Dialogs give their "MfcLink"
// controls an object of this class when they are created
// (AfxSubclassDlgControls).
class CMFCLinkCtrl : public CButton {
public:
    void SetURL(const wchar_t* lpszURL) { m_strURL = lpszURL != nullptr ? lpszURL : L""; }
    void SetURLPrefix(const wchar_t* lpszPrefix) { m_strPrefix = lpszPrefix != nullptr ? lpszPrefix : L""; }
    void SetTooltip(const wchar_t* lpszToolTip) { m_strTooltip = lpszToolTip != nullptr ? lpszToolTip : L""; }
    const CString& GetURL() const { return m_strURL; }
    // What a click does with the address: the owner decides how (and whether)
    // an address is opened; without an opener a click opens nothing.
    using Opener = void (*)(const CString& target);
    void SetOpener(Opener opener) { m_opener = opener; }
    const CString& GetURLPrefix() const { return m_strPrefix; }
    // The address a click opens.
    CString GetTarget() const;

protected:
    void PreSubclassWindow() override;
    BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;
    LRESULT OnSetCursor(WPARAM wParam, LPARAM lParam);
    LRESULT OnGetDlgCode(WPARAM wParam, LPARAM lParam);
    LRESULT OnKeyDown(WPARAM wParam, LPARAM lParam);

private:
    void Draw(const DRAWITEMSTRUCT& item);
    void Open();

    CString m_strURL;
    CString m_strPrefix;
    CString m_strTooltip;
    CFont m_underlined;
    Opener m_opener = nullptr;
    bool m_bVisited = false;

    DECLARE_MESSAGE_MAP()
};
