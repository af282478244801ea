#include "BindStatusCallback.h"

#include "DownloadWorker.h"
#include "UpdateMessages.h"

CBSCallbackImpl::CBSCallbackImpl(HWND hNotifyWnd, HANDLE hCancelEvent, DownloadProgress* record,
                                 TransferMeter* meter)
    : m_hNotifyWnd(hNotifyWnd), m_hCancelEvent(hCancelEvent), m_record(record ? record : &m_ownRecord),
      m_meter(meter) {}

STDMETHODIMP CBSCallbackImpl::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IBindStatusCallback)) {
        AddRef();
        *ppvObject = static_cast<IBindStatusCallback*>(this);
        return S_OK;
    }
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CBSCallbackImpl::AddRef() {
    return static_cast<ULONG>(++m_cRef);
}

STDMETHODIMP_(ULONG) CBSCallbackImpl::Release() {
    return static_cast<ULONG>(--m_cRef);
}

STDMETHODIMP CBSCallbackImpl::OnStartBinding(DWORD, IBinding*) {
    return S_OK;
}

STDMETHODIMP CBSCallbackImpl::GetPriority(LONG*) {
    return E_NOTIMPL;
}

STDMETHODIMP CBSCallbackImpl::OnLowResource(DWORD) {
    return S_OK;
}

STDMETHODIMP CBSCallbackImpl::OnProgress(ULONG ulProgress, ULONG ulProgressMax, ULONG ulStatusCode,
                                         LPCWSTR szStatusText) {
    if (ulStatusCode == 0 || ulStatusCode > 25) ulStatusCode = 26;
    if (m_hNotifyWnd != nullptr) {
        *m_record = {ulProgress, ulProgressMax, ulStatusCode, szStatusText};
        ::SendMessageW(m_hNotifyWnd, WM_DOWNLOAD_PROGRESS, 0, reinterpret_cast<LPARAM>(m_record));
    }
    bool tooLarge = false;
    if (m_meter != nullptr) {
        m_meter->lastStep.store(::GetTickCount());
        if (ulStatusCode == BINDSTATUS_DOWNLOADINGDATA || ulStatusCode == BINDSTATUS_ENDDOWNLOADDATA) {
            // The reports are 32-bit: a smaller one than before has wrapped.
            unsigned long long received = m_meter->received.load();
            if (ulProgress < m_lastProgress) received += 1ull << 32;
            received = (received & ~0xFFFFFFFFull) | ulProgress;
            m_lastProgress = ulProgress;
            m_meter->received.store(received);
            tooLarge = received > m_meter->limit;
        }
    }
    if (tooLarge || (m_hCancelEvent != nullptr && ::WaitForSingleObject(m_hCancelEvent, 0) == WAIT_OBJECT_0)) {
        if (m_hNotifyWnd != nullptr) ::SendMessageW(m_hNotifyWnd, WM_DOWNLOAD_PROGRESS, 0, 0);
        return E_ABORT;
    }
    return S_OK;
}

STDMETHODIMP CBSCallbackImpl::OnStopBinding(HRESULT, LPCWSTR) {
    return S_OK;
}

STDMETHODIMP CBSCallbackImpl::GetBindInfo(DWORD* grfBINDF, BINDINFO*) {
    // From the server every time: a package cached by an earlier attempt may
    // be stale, or the very file that was refused.
    if (grfBINDF != nullptr) *grfBINDF |= BINDF_GETNEWESTVERSION | BINDF_RESYNCHRONIZE | BINDF_PRAGMA_NO_CACHE;
    return S_OK;
}

STDMETHODIMP CBSCallbackImpl::OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) {
    return S_OK;
}

STDMETHODIMP CBSCallbackImpl::OnObjectAvailable(REFIID, IUnknown*) {
    return S_OK;
}
