#include "HttpGet.h"

#include <windows.h>

#include <msxml2.h>
#include <ole2.h>

#include <cstdlib>
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

// open, send, responseText. A failed step abandons the rest; the text is
// assigned only when the response has been read.
HRESULT Fetch(IXMLHTTPRequest* request, const CString& requestUrl, CString& text) {
    if (request == nullptr) return E_POINTER;
    {
        const ScopedBstr method(L"GET");
        const ScopedBstr url(requestUrl.GetString());
        if (!method || !url) return E_OUTOFMEMORY;
        ScopedVariant async;
        V_VT(&async.get()) = VT_INT;
        V_INT(&async.get()) = 0;  // synchronous
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
    ScopedBstr response;
    request->get_responseText(response.put());
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
    try {
        const CString requestUrl = MakeManifestRequestUrl(manifestUrl, DrawManifestRequestNumber());
        const ComPtr<IXMLHTTPRequest> request = CreateHttpRequest();
        Fetch(request.get(), requestUrl, text);  // failures leave the text as it was
    } catch (...) {
        // Out of memory while building the request or copying the response:
        // the same silent failure as a failed request.
    }
    return 1;
}
