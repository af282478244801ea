// Threads and synchronisation objects with the application framework's names.
//
// CEvent owns its event handle and closes it when destroyed. CWinThread owns
// the handle of its thread; AfxBeginThread creates it (with the C runtime's
// _beginthreadex). With m_bAutoDelete TRUE (the default) the thread deletes
// its CWinThread when the thread function returns. A caller that needs the
// object after the thread has ended creates the thread CREATE_SUSPENDED,
// sets m_bAutoDelete to FALSE, then calls ResumeThread, and deletes the
// object itself (after waiting on m_hThread).
#pragma once

#include <windows.h>

#include "CObject.h"
#include "Handles.h"

class CEvent : public CObject {
public:
    explicit CEvent(BOOL bInitiallyOwn = FALSE, BOOL bManualReset = FALSE, const wchar_t* lpszName = nullptr,
                    LPSECURITY_ATTRIBUTES lpsaAttribute = nullptr);
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    BOOL SetEvent();
    BOOL ResetEvent();
    // Waits up to dwTimeout milliseconds; TRUE when the event was signalled.
    BOOL Lock(DWORD dwTimeout = INFINITE);

    HANDLE GetHandle() const noexcept { return m_event.get(); }
    operator HANDLE() const noexcept { return m_event.get(); }

private:
    ScopedHandle m_event;
};

using AFX_THREADPROC = UINT(__cdecl*)(LPVOID);

class CWinThread : public CObject {
public:
    CWinThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam);
    ~CWinThread() override;
    CWinThread(const CWinThread&) = delete;
    CWinThread& operator=(const CWinThread&) = delete;

    DWORD ResumeThread();
    DWORD SuspendThread();
    BOOL SetThreadPriority(int nPriority);

    HANDLE m_hThread = nullptr;
    DWORD m_nThreadID = 0;
    BOOL m_bAutoDelete = TRUE;

private:
    static unsigned __stdcall Start(void* self);

    AFX_THREADPROC m_pfnThreadProc;
    LPVOID m_pThreadParams;
    friend CWinThread* AfxBeginThread(AFX_THREADPROC, LPVOID, int, UINT, DWORD, LPSECURITY_ATTRIBUTES);
};

// Starts pfnThreadProc(pParam) on a new thread; null when the thread cannot
// be created. dwCreateFlags may hold CREATE_SUSPENDED.
CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam, int nPriority = THREAD_PRIORITY_NORMAL,
                           UINT nStackSize = 0, DWORD dwCreateFlags = 0, LPSECURITY_ATTRIBUTES lpSecurityAttrs = nullptr);

// The program's one nested message loop. Waits up to `milliseconds` for one
// of `count` objects (none: just the time) while dispatching every message of
// this thread as it arrives, so that the thread's windows stay responsive; it
// sleeps in between. The time is checked after every message: a flood of
// posted messages cannot hold the wait past its end. Returns the index of the
// object that was signalled, or `count` when the time ran out.
DWORD AfxWaitDispatching(DWORD milliseconds, const HANDLE* objects = nullptr, DWORD count = 0);

// Dispatches the messages waiting, for at most about `milliseconds`, then
// returns: for long work on this thread that must keep its windows alive.
void AfxPumpMessages(DWORD milliseconds = 50);
