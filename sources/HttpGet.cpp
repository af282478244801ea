#include "HttpGet.h"

#include <windows.h>

#include <msxml2.h>
#include <ole2.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <ctime>

#include "Handles.h"

namespace {

// IID_IXMLHTTPRequest; MinGW's import libraries declare it without defining it.
const IID kIID_IXMLHTTPRequest = {0xED8C108D, 0x4349, 0x11D2, {0x91, 0xA4, 0x00, 0xC0, 0x4F, 0x79, 0x69, 0xE8}};

// An argument the caller leaves out.
void SetOmitted(VARIANT& v) {
    ::VariantInit(&v);
    V_VT(&v) = VT_ERROR;
    V_ERROR(&v) = DISP_E_PARAMNOTFOUND;
}

// The HTTP request object, or an empty pointer when it cannot be created
// (the creation results are not examined beyond that).
ComPtr<IXMLHTTPRequest> CreateHttpRequest() {
    CLSID clsid = CLSID_NULL;
    ::CLSIDFromProgID(L"Msxml2.XMLHTTP", &clsid);
    ComPtr<IUnknown> unknown;
    ::CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IUnknown, unknown.put_void());
    ComPtr<IXMLHTTPRequest> request;
    if (unknown) {
        ::OleRun(unknown.get());
        unknown.As(kIID_IXMLHTTPRequest, request);
    }
    return request;
}

// Dispatches this thread's messages (the asynchronous request is driven by
// them) for up to `milliseconds`.
void PumpFor(DWORD milliseconds) {
    ::MsgWaitForMultipleObjectsEx(0, nullptr, milliseconds, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

// The declared length of the body, or 0 when none is declared yet.
unsigned long long DeclaredLength(IXMLHTTPRequest* request) {
    const ScopedBstr name(L"Content-Length");
    ScopedBstr value;
    if (!name || FAILED(request->getResponseHeader(name.get(), value.put())) || !value) return 0;
    return std::wcstoull(value.get(), nullptr, 10);
}

// open, send, responseText. The request is asynchronous so that it can be
// given up: it must end within `deadline` ms of the start, and a body over
// `maxBytes` is abandoned. A failed step abandons the rest; the text is
// assigned only when the whole response has been read.
HRESULT Fetch(IXMLHTTPRequest* request, const CString& requestUrl, CString& text, DWORD deadline,
              unsigned long long maxBytes) {
    if (request == nullptr) return E_POINTER;
    const DWORD start = ::GetTickCount();
    {
        const ScopedBstr method(L"GET");
        const ScopedBstr url(requestUrl.GetString());
        if (!method || !url) return E_OUTOFMEMORY;
        ScopedVariant async;
        V_VT(&async.get()) = VT_BOOL;
        V_BOOL(&async.get()) = VARIANT_TRUE;
        VARIANT user;
        VARIANT password;
        SetOmitted(user);
        SetOmitted(password);
        const HRESULT hr = request->open(method.get(), url.get(), async.get(), user, password);
        if (FAILED(hr)) return hr;
    }
    {
        VARIANT body;
        SetOmitted(body);
        const HRESULT hr = request->send(body);
        if (FAILED(hr)) return hr;
    }
    for (;;) {
        long state = 0;
        if (FAILED(request->get_readyState(&state))) return E_FAIL;
        if (state == 4) break;  // complete
        const DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= deadline || (state >= 2 && DeclaredLength(request) > maxBytes)) {
            request->abort();
            return E_ABORT;
        }
        PumpFor(std::min<DWORD>(50, deadline - elapsed));
    }
    ScopedVariant body;
    if (SUCCEEDED(request->get_responseBody(&body.get())) && V_VT(&body.get()) == (VT_ARRAY | VT_UI1)) {
        LONG low = 0, high = -1;
        ::SafeArrayGetLBound(V_ARRAY(&body.get()), 1, &low);
        ::SafeArrayGetUBound(V_ARRAY(&body.get()), 1, &high);
        if (static_cast<unsigned long long>(high - low + 1) > maxBytes) return E_ABORT;
    }
    ScopedBstr response;
    request->get_responseText(response.put());
    if (response && ::SysStringLen(response.get()) > maxBytes) return E_ABORT;
    text = response ? CString(response.get(), ::SysStringLen(response.get())) : CString();
    return S_OK;
}

}  // namespace

CString MakeManifestRequestUrl(const CString& manifestUrl, int number) {
    CString query;
    query.Format(L"%d", number);
    return manifestUrl + u"?" + query;
}

int DrawManifestRequestNumber() {
    std::srand(static_cast<unsigned>(static_cast<unsigned long long>(std::time(nullptr)) & 0xFFFFFFFFull));
    return std::rand() % 1000;
}

int HttpGetText(const CString& manifestUrl, CString& text) {
    return HttpGetTextWithin(manifestUrl, text, kManifestDeadlineMs, kManifestMaxBytes);
}

int HttpGetTextWithin(const CString& manifestUrl, CString& text, DWORD deadline, unsigned long long maxBytes) {
    try {
        const CString requestUrl = MakeManifestRequestUrl(manifestUrl, DrawManifestRequestNumber());
        const ComPtr<IXMLHTTPRequest> request = CreateHttpRequest();
        Fetch(request.get(), requestUrl, text, deadline, maxBytes);  // failures leave the text as it was
    } catch (...) {
        // Out of memory while building the request or copying the response:
        // the same silent failure as a failed request.
    }
    return 1;
}
