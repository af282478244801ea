// The private window messages of the update dialog. Handlers take (WPARAM,
// LPARAM) and return 0.
#pragma once

#include <windows.h>

// Sent by the transfer callback on the worker thread for every progress
// step: wParam 0, lParam the address of a DownloadProgress (valid only during
// the send), or 0 as a cancellation notice.
constexpr UINT WM_DOWNLOAD_PROGRESS = 0x1F5A;
// Posted by the worker when the transfer has ended: wParam 0, lParam 0.
constexpr UINT WM_DOWNLOAD_FINISHED = 0x1F59;
// Sent by the progress dialog's Cancel on the user-interface thread: wParam 0,
// lParam 0.
constexpr UINT WM_CANCEL_DOWNLOAD = 0x7D3E;

// The system-menu command of the About entry (also in the resource header,
// with the same value).
#ifndef IDM_ABOUTBOX
#define IDM_ABOUTBOX 0x0010
#endif
