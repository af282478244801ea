#include "HttpGet.h"

#include <winhttp.h>

#include <process.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "Handles.h"
#include "Sync.h"
#include "TextDecoding.h"

namespace {

struct InternetTraits {
    using pointer = HINTERNET;
    static pointer none() { return nullptr; }
    static void close(pointer h) { ::WinHttpCloseHandle(h); }
};
using ScopedInternet = UniqueHandle<InternetTraits>;

HRESULT LastError() {
    const DWORD error = ::GetLastError();
    return error == ERROR_WINHTTP_TIMEOUT ? kHttpTimedOut : HRESULT_FROM_WIN32(error != 0 ? error : ERROR_GEN_FAILURE);
}

// One request, shared by the waiting thread and the fetching thread: the
// waiting thread reads `body` and `result` only after the fetching thread
// has ended, and gives up its share when the time is up.
struct Request {
    std::wstring url;
    DWORD start = 0;
    DWORD deadline = 0;
    unsigned long long maxBytes = 0;
    std::string body;
    HRESULT result = E_FAIL;
    std::atomic<DWORD> status{0};
    std::atomic<unsigned long long> received{0};
    std::atomic<HINTERNET> handle{nullptr};  // closed by whichever thread takes it first

    DWORD Remaining() const {
        const DWORD elapsed = ::GetTickCount() - start;
        return elapsed >= deadline ? 0 : deadline - elapsed;
    }
    void Cancel() {
        if (HINTERNET h = handle.exchange(nullptr)) ::WinHttpCloseHandle(h);
    }
};

// A session with the system's proxy settings: on Windows 8.1 and later the
// system decides (including automatic detection and configuration scripts);
// before that, the user's Internet settings name a proxy or none.
ScopedInternet OpenSession() {
    const wchar_t agent[] = L"Qelda-Update/1.0";
    ScopedInternet session(::WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                         WINHTTP_NO_PROXY_BYPASS, 0));
    if (session) return session;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings{};
    if (::WinHttpGetIEProxyConfigForCurrentUser(&settings)) {
        if (settings.lpszProxy != nullptr)
            session.reset(::WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, settings.lpszProxy,
                                        settings.lpszProxyBypass ? settings.lpszProxyBypass : WINHTTP_NO_PROXY_BYPASS,
                                        0));
        for (LPWSTR text : {settings.lpszAutoConfigUrl, settings.lpszProxy, settings.lpszProxyBypass})
            if (text != nullptr) ::GlobalFree(text);
    }
    if (!session)
        session.reset(::WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0));
    return session;
}

HRESULT Run(Request& r) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength =
        static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(r.url.c_str(), 0, 0, &parts)) return kHttpNotWeb;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return kHttpNotWeb;
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
    object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);

    const ScopedInternet session = OpenSession();
    if (!session) return LastError();
    const int limit = static_cast<int>(r.Remaining());
    ::WinHttpSetTimeouts(session.get(), limit, limit, limit, limit);
    const ScopedInternet connection(::WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
    if (!connection) return LastError();
    HINTERNET request = ::WinHttpOpenRequest(connection.get(), L"GET", object.c_str(), nullptr, WINHTTP_NO_REFERER,
                                             WINHTTP_DEFAULT_ACCEPT_TYPES,
                                             parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    if (request == nullptr) return LastError();
    r.handle.store(request);
    struct Closer {
        Request& r;
        ~Closer() { r.Cancel(); }
    } closer{r};

    if (!::WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request, nullptr))
        return LastError();
    DWORD status = 0, size = sizeof(status);
    if (::WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        r.status.store(status);
    wchar_t length[32] = {};
    size = sizeof(length);
    if (::WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, length, &size,
                              WINHTTP_NO_HEADER_INDEX) &&
        std::wcstoull(length, nullptr, 10) > r.maxBytes)
        return kHttpTooLarge;

    std::string body;
    char buffer[65536];
    for (;;) {
        // Each read may take only what is left of the time.
        DWORD left = r.Remaining();
        if (left == 0) return kHttpTimedOut;
        ::WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &left, sizeof(left));
        // What has arrived, then at most that: a read of more would wait
        // for the rest (under Wine, until the buffer is full).
        DWORD ready = 0, got = 0;
        if (!::WinHttpQueryDataAvailable(request, &ready)) return LastError();
        if (ready > sizeof(buffer)) ready = sizeof(buffer);
        if (ready > 0 && !::WinHttpReadData(request, buffer, ready, &got)) return LastError();
        if (got == 0) break;
        if (got > r.maxBytes - body.size()) return kHttpTooLarge;
        body.append(buffer, got);
        r.received.store(body.size());
    }
    r.body = std::move(body);
    return S_OK;
}

unsigned __stdcall FetchThread(void* param) {
    const std::unique_ptr<std::shared_ptr<Request>> share(static_cast<std::shared_ptr<Request>*>(param));
    Request& r = **share;
    try {
        r.result = Run(r);
    } catch (...) {
        r.result = E_OUTOFMEMORY;
    }
    return 0;
}

}  // namespace

HttpGetReport HttpGetBytes(const CString& url, std::string& body, DWORD deadline, unsigned long long maxBytes) {
    auto request = std::make_shared<Request>();
    request->url.assign(url.GetString(), url.size());
    request->start = ::GetTickCount();
    request->deadline = deadline;
    request->maxBytes = maxBytes;
    auto* share = new std::shared_ptr<Request>(request);
    const ScopedHandle thread(reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, FetchThread, share, 0, nullptr)));
    if (!thread) {
        delete share;
        HttpGetReport failed;
        failed.result = E_OUTOFMEMORY;
        return failed;
    }
    HANDLE wait = thread.get();
    HttpGetReport report;
    if (AfxWaitDispatching(deadline, &wait, 1) != 0) {
        // Time is up. Closing the request ends a transfer in progress; the
        // thread also stops at its own deadline, and owns its share of what
        // it uses, so it is not waited for.
        request->Cancel();
        report.result = kHttpTimedOut;
    } else {
        report.result = request->result;
        if (SUCCEEDED(report.result)) body = std::move(request->body);
    }
    report.status = request->status.load();
    report.bytes = request->received.load();
    report.milliseconds = ::GetTickCount() - request->start;
    return report;
}

CString MakeManifestRequestUrl(const CString& manifestUrl, int number) {
    CString query;
    query.Format(L"%d", number);
    return manifestUrl + u"?" + query;
}

int DrawManifestRequestNumber() {
    std::srand(static_cast<unsigned>(static_cast<unsigned long long>(std::time(nullptr)) & 0xFFFFFFFFull));
    return std::rand() % 1000;
}

int HttpGetText(const CString& manifestUrl, CString& text, HttpGetReport* report, std::string* bytes) {
    return HttpGetTextWithin(manifestUrl, text, kManifestDeadlineMs, kManifestMaxBytes, report, bytes);
}

int HttpGetTextWithin(const CString& manifestUrl, CString& text, DWORD deadline, unsigned long long maxBytes,
                      HttpGetReport* report, std::string* bytes) {
    try {
        std::string body;
        const HttpGetReport got =
            HttpGetBytes(MakeManifestRequestUrl(manifestUrl, DrawManifestRequestNumber()), body, deadline, maxBytes);
        if (report != nullptr) *report = got;
        if (SUCCEEDED(got.result)) {
            text = CString(DecodeTextLeniently(body));
            if (bytes != nullptr) *bytes = std::move(body);
        }
    } catch (...) {
        // Out of memory: the same silent failure as a failed request.
    }
    return 1;
}
