// CUpdateProcressDlg: the modeless window shown while the package downloads:
// a line naming the version being installed (control 1005), the text
// progress bar (control 1000) and Cancel.
//
// It lives inside CUpdateDlg as a member. CUpdateDlg sets the owner pointer
// and creates the window hidden from template 129 while it initialises; the
// download shows it. Cancel, Escape and the close box send
// WM_CANCEL_DOWNLOAD to the owner (synchronously: the owner's cancel event is
// set before the dialog goes) and then hide the dialog, until DisableCancel;
// IDOK (Enter with no push button focused) changes nothing. User-interface
// thread only.
#pragma once

#include "Afx.h"
#include "TextProgressCtrl.h"

class CUpdateDlg;

class CUpdateProcressDlg : public CDialog {
public:
    enum { IDD = 129 };

    CUpdateProcressDlg();
    ~CUpdateProcressDlg() override;

    // Range 0..nMax (no repaint), then position nPos (repaints when the
    // filled width changes). (0, 0) leaves the bar blank.
    void ResetProgress(int nMax, int nPos);
    // Greys Cancel out: from now on Cancel, Escape and the close box do nothing.
    void DisableCancel();

    CUpdateDlg* m_pOwner = nullptr;  // not owned; receives WM_CANCEL_DOWNLOAD
    CTextProgressCtrl m_progress;    // bound to control 1000

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
};
