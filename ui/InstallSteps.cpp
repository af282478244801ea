#include "InstallSteps.h"

#include <tlhelp32.h>

#include <cwchar>

#include "Handles.h"

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
    const DWORD start = ::GetTickCount();
    for (;;) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        const DWORD elapsed = ::GetTickCount() - start;
        if (elapsed > milliseconds) return;
        // MWMO_INPUTAVAILABLE: wake for messages already queued but not yet seen.
        ::MsgWaitForMultipleObjectsEx(0, nullptr, milliseconds - elapsed + 1, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}
