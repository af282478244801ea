#include "Sync.h"

#include <process.h>

CEvent::CEvent(BOOL bInitiallyOwn, BOOL bManualReset, const wchar_t* lpszName, LPSECURITY_ATTRIBUTES lpsaAttribute)
    : m_event(::CreateEventW(lpsaAttribute, bManualReset, bInitiallyOwn, lpszName)) {}

BOOL CEvent::SetEvent() { return ::SetEvent(m_event.get()); }
BOOL CEvent::ResetEvent() { return ::ResetEvent(m_event.get()); }
BOOL CEvent::Lock(DWORD dwTimeout) { return ::WaitForSingleObject(m_event.get(), dwTimeout) == WAIT_OBJECT_0; }

CWinThread::CWinThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam)
    : m_pfnThreadProc(pfnThreadProc), m_pThreadParams(pParam) {}

CWinThread::~CWinThread() {
    if (m_hThread != nullptr) ::CloseHandle(m_hThread);
}

DWORD CWinThread::ResumeThread() { return ::ResumeThread(m_hThread); }
DWORD CWinThread::SuspendThread() { return ::SuspendThread(m_hThread); }
BOOL CWinThread::SetThreadPriority(int nPriority) { return ::SetThreadPriority(m_hThread, nPriority); }

unsigned __stdcall CWinThread::Start(void* self) {
    auto* thread = static_cast<CWinThread*>(self);
    const UINT result = thread->m_pfnThreadProc(thread->m_pThreadParams);
    // m_bAutoDelete was settled before the thread first ran.
    if (thread->m_bAutoDelete) delete thread;
    return result;
}

CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam, int nPriority, UINT nStackSize,
                           DWORD dwCreateFlags, LPSECURITY_ATTRIBUTES lpSecurityAttrs) {
    auto* thread = new CWinThread(pfnThreadProc, pParam);
    unsigned id = 0;
    const uintptr_t handle =
        ::_beginthreadex(lpSecurityAttrs, nStackSize, &CWinThread::Start, thread, CREATE_SUSPENDED, &id);
    if (handle == 0) {
        delete thread;
        return nullptr;
    }
    thread->m_hThread = reinterpret_cast<HANDLE>(handle);
    thread->m_nThreadID = id;
    thread->SetThreadPriority(nPriority);
    if ((dwCreateFlags & CREATE_SUSPENDED) == 0) thread->ResumeThread();
    return thread;
}

namespace {

// Dispatches waiting messages until the queue is empty or more than
// `milliseconds` have passed since `start` (a tick count); false when they have.
bool DispatchUntil(DWORD start, DWORD milliseconds) {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
        if (::GetTickCount() - start > milliseconds) return false;
    }
    return true;
}

}  // namespace

DWORD AfxWaitDispatching(DWORD milliseconds, const HANDLE* objects, DWORD count) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        if (count > 0) {
            const DWORD signalled = ::WaitForMultipleObjects(count, objects, FALSE, 0);
            if (signalled < WAIT_OBJECT_0 + count) return signalled - WAIT_OBJECT_0;
        }
        if (!DispatchUntil(start, milliseconds)) return count;
        const DWORD elapsed = ::GetTickCount() - start;
        if (elapsed > milliseconds) return count;
        // MWMO_INPUTAVAILABLE: wake for messages already queued but not yet seen.
        ::MsgWaitForMultipleObjectsEx(count, objects, milliseconds - elapsed + 1, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

void AfxPumpMessages(DWORD milliseconds) {
    DispatchUntil(::GetTickCount(), milliseconds);
}
