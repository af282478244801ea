// The steps of the installation around the replacement of the files.
// User-interface thread.
#pragma once

#include <windows.h>

#include "CString.h"

// Terminates (exit code 0) every process whose executable file name equals
// `name` exactly: whole text, case-sensitive, no path. One snapshot is taken;
// failures to open or terminate a process are ignored, and nothing waits for
// the processes to end.
void KillProcessesByName(const CString& name);

// The pause after the product's processes were terminated: until more than
// 2000 ms have passed (tick count, unsigned difference), dispatches every
// message of this thread as it arrives, and sleeps in
// MsgWaitForMultipleObjectsEx meanwhile (no busy polling). Nested message
// loop: the thread's windows stay responsive.
void WaitDispatchingMessages();

// The same pause for `milliseconds`.
void WaitDispatchingMessagesFor(DWORD milliseconds);

// Completes or rolls back an installation that a crash interrupted, in the
// updater's folder and the system folder, and records the version whose files
// are then in place. A file in use gets the close-and-retry box. False when
// the user gave up or the disk refused (after a box): the run should end.
bool RecoverInterruptedInstallation();
