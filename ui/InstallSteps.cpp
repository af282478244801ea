#include "InstallSteps.h"

#include <tlhelp32.h>

#include <cwchar>

#include "Handles.h"
#include "Sync.h"

void KillProcessesByName(const CString& name) {
    ScopedSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (!::Process32FirstW(snapshot.get(), &entry)) return;
    do {
        if (std::wcscmp(entry.szExeFile, name.GetString()) == 0) {
            ScopedHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID));
            if (process) ::TerminateProcess(process.get(), 0);
        }
    } while (::Process32NextW(snapshot.get(), &entry));
}

void WaitDispatchingMessages() {
    WaitDispatchingMessagesFor(2000);
}

void WaitDispatchingMessagesFor(DWORD milliseconds) {
    AfxWaitDispatching(milliseconds);
}
