// The framework's own controls inside dialogs.
//
// A dialog template may name a framework control class ("MfcLink"). When a
// dialog is created, each such control that has no permanent CWnd yet gets
// one of the framework's class (CMFCLinkCtrl), created on the heap and
// deleted by itself when its window is destroyed. A dialog reaches it with
// GetDlgItem (and a cast to the control's class). A control the dialog
// binds itself (DDX_Control in DoDataExchange runs later) must therefore be
// bound to an object of that same class; it is then simply left alone.
// User-interface thread only.
#pragma once

#include "Wnd.h"

// Gives the framework controls among the dialog's children their objects.
// Called by CDialog when the dialog's window has been created, before
// OnInitDialog. Safe to repeat: controls that already have an object are
// skipped.
void AfxSubclassDlgControls(CWnd* pDialog);
