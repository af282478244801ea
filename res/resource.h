// Resource ids of Update.exe, shared by Update.rc and the code.
#pragma once

#define IDR_MAINFRAME 128
#define IDS_ABOUTBOX 101
#define IDD_ABOUTBOX 100
#define IDD_UPDATE_DIALOG 102
#define IDD_PROGRESS_DIALOG 129

#define IDC_PROGRESS 1000
#define IDC_CURRENT_VERSION 1001
#define IDC_UPDATE_INFO 1002
#define IDC_BTN_UPGRADE 1003
#define IDC_BTN_EXIT 1004
#define IDC_PROGRESS_TEXT 1005
#define IDC_UPDATE_LOG 1006
#define IDC_RUN_AFTER_UPGRADE 1007

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#ifndef RT_DLGINIT
#define RT_DLGINIT 240
#endif

#define IDM_ABOUTBOX 0x0010
