// The steps of the installation around the replacement of the files.
// User-interface thread.
#pragma once

#include <windows.h>

#include <vector>

#include "CString.h"
#include "Handles.h"

// Terminates (exit code 0) every process whose executable file name equals
// `name` exactly: whole text, case-sensitive, no path. One snapshot is taken;
// failures to open or terminate a process are ignored. Returns the processes
// it terminated, for the caller to wait on; termination is asynchronous.
std::vector<ScopedHandle> KillProcessesByName(const CString& name);

// After the product's processes were terminated: waits until every one of
// them has actually ended, but never more than 2000 ms, dispatching every
// message of this thread as it arrives (the thread's windows stay
// responsive). A file still held afterwards is the file-in-use retry's.
// Returns the milliseconds it waited.
DWORD WaitDispatchingMessages(std::vector<ScopedHandle>& processes);

// A pause of `milliseconds`, dispatching messages.
void WaitDispatchingMessagesFor(DWORD milliseconds);

// Completes or rolls back an installation that a crash interrupted, in the
// updater's folder and the system folder, and records the version whose files
// are then in place, logging what it found and did. A file in use gets the
// close-and-retry box (unattended: it is retried for a while). False when
// the user gave up or the disk refused (after a box): the run should end.
bool RecoverInterruptedInstallation(bool unattended);
