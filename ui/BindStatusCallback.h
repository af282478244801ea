// CBSCallbackImpl: the IBindStatusCallback of the package transfer.
//
// Built as a local of the worker thread for one URLDownloadToFileW call and
// used on that thread only: the reference count is a plain integer and
// Release never frees the object. Every progress step is sent (SendMessageW,
// synchronous) to the notify window as WM_DOWNLOAD_PROGRESS with the address
// of the report record (the job's, which the window knows, so that it can
// tell the worker's reports from messages of other programs). When the cancel
// event is found set, the wait consumes it (auto-reset), one
// WM_DOWNLOAD_PROGRESS with lParam 0 is sent, and OnProgress returns E_ABORT,
// which ends the transfer. With a meter, every step is noted there (its time,
// and the bytes so far, counted on past the 32-bit reports), and a transfer
// that passes the meter's limit ends as a cancelled one. GetBindInfo asks for the package from the server,
// never from a cache an earlier attempt filled.
#pragma once

#include <windows.h>

#include <urlmon.h>

#include "DownloadWorker.h"

class CBSCallbackImpl : public IBindStatusCallback {
public:
    // Neither handle is owned; either may be null (no reports / no cancel).
    // Reports are written into `record` (not owned) when given, else into a
    // record of the callback's own. `meter` (not owned) may be null.
    CBSCallbackImpl(HWND hNotifyWnd, HANDLE hCancelEvent, DownloadProgress* record = nullptr,
                    TransferMeter* meter = nullptr);
    virtual ~CBSCallbackImpl() = default;
    CBSCallbackImpl(const CBSCallbackImpl&) = delete;
    CBSCallbackImpl& operator=(const CBSCallbackImpl&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppvObject) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP OnStartBinding(DWORD dwReserved, IBinding* pib) override;
    STDMETHODIMP GetPriority(LONG* pnPriority) override;
    STDMETHODIMP OnLowResource(DWORD reserved) override;
    STDMETHODIMP OnProgress(ULONG ulProgress, ULONG ulProgressMax, ULONG ulStatusCode,
                            LPCWSTR szStatusText) override;
    STDMETHODIMP OnStopBinding(HRESULT hresult, LPCWSTR szError) override;
    STDMETHODIMP GetBindInfo(DWORD* grfBINDF, BINDINFO* pbindinfo) override;
    STDMETHODIMP OnDataAvailable(DWORD grfBSCF, DWORD dwSize, FORMATETC* pformatetc, STGMEDIUM* pstgmed) override;
    STDMETHODIMP OnObjectAvailable(REFIID riid, IUnknown* punk) override;

    LONG RefCount() const { return m_cRef; }

private:
    LONG m_cRef = 1;
    HWND m_hNotifyWnd;
    HANDLE m_hCancelEvent;
    DownloadProgress m_ownRecord{};
    DownloadProgress* m_record;
    TransferMeter* m_meter;
    ULONG m_lastProgress = 0;  // the last report's progress, to count past 2^32
};
