// CAboutDlg: the About box (template 100), opened modally from the update
// dialog's system menu and closed by its OK button. User-interface thread only.
#pragma once

#include "Afx.h"

class CAboutDlg : public CDialog {
public:
    enum { IDD = 100 };

    CAboutDlg() : CDialog(IDD) {}
};
