#include "InstallSteps.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>

#include "Handles.h"
#include "Sync.h"

std::vector<ScopedHandle> KillProcessesByName(const CString& name) {
    std::vector<ScopedHandle> stopped;
    ScopedSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return stopped;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (!::Process32FirstW(snapshot.get(), &entry)) return stopped;
    do {
        if (std::wcscmp(entry.szExeFile, name.GetString()) == 0) {
            ScopedHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID));
            if (process && ::TerminateProcess(process.get(), 0)) stopped.push_back(std::move(process));
        }
    } while (::Process32NextW(snapshot.get(), &entry));
    return stopped;
}

DWORD WaitDispatchingMessages(std::vector<ScopedHandle>& processes) {
    constexpr DWORD kAtMost = 2000;
    const DWORD start = ::GetTickCount();
    std::vector<HANDLE> waiting;
    for (const ScopedHandle& p : processes) waiting.push_back(p.get());
    while (!waiting.empty()) {
        const DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= kAtMost) break;
        // One wait takes at most 63 objects (and the queue): the rest wait their turn.
        const DWORD count = static_cast<DWORD>(std::min<std::size_t>(waiting.size(), MAXIMUM_WAIT_OBJECTS - 1));
        const DWORD ended = AfxWaitDispatching(kAtMost - elapsed, waiting.data(), count);
        if (ended >= count) break;
        waiting.erase(waiting.begin() + ended);
    }
    return ::GetTickCount() - start;
}

void WaitDispatchingMessagesFor(DWORD milliseconds) {
    AfxWaitDispatching(milliseconds);
}
