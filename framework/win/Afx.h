// The Win32 framework layer in one include: application, windows and
// dialogs, drawing, controls, threads, handle owners. Windows-only code
// includes this; portable code never does.
#pragma once

#include "CmdTarget.h"
#include "Controls.h"
#include "Gdi.h"
#include "Handles.h"
#include "Sync.h"
#include "WinApp.h"
#include "Wnd.h"
