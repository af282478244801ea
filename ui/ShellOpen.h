// Opening the update log's web page from an updater that runs elevated.
//
// Only an absolute http:// or https:// address (IsWebAddress) is ever handed
// to the shell: a path, a file: address, a share or another program's URL
// scheme would start a program, and with the updater's administrator rights.
// The page is opened as the signed-in user: through the desktop's shell
// (the shell window's folder view, its Application object,
// IShellDispatch2::ShellExecute), which runs in the user's own process.
// Where no desktop shell answers (some Wine setups, a session without
// Explorer), a process that is not elevated opens the page itself; an
// elevated one opens nothing rather than a browser with administrator rights.
//
// User-interface thread (COM initialised, single-threaded apartment).
#pragma once

#include "CString.h"

enum class ShellOpenRoute {
    Desktop,  // the desktop's shell opened it, as the signed-in user
    Direct,   // this process opened it (it is not elevated)
    Refused,  // not a web address: nothing was opened
    Failed,   // no route: nothing was opened
};

ShellOpenRoute OpenWebPageAsUser(const CString& address);

const char* ShellOpenRouteName(ShellOpenRoute route);
