// The manifest download: one HTTP GET, bounded in time and in size.
//
// The request runs through WinHTTP on a thread of its own, with the system's
// proxy settings; the calling thread waits for it while dispatching its
// messages (AfxWaitDispatching). The body is counted as it arrives and the
// request is given up as soon as it passes the size limit, whatever the
// headers said, or when the time is up, however the server paces its bytes;
// WinHTTP keeps nothing in the Internet cache. (The COM request object could
// not be bounded so: it gathers the whole body inside one dispatched message,
// into the Internet cache, before a caller can look at any of it.)
//
// Every failure is silent: the text is left unchanged. What the request came
// to is reported for the log. A request still running when the time is up is
// cancelled and left to end on its own: it owns everything it touches, so
// the caller may go on (or end the process) at once.
#pragma once

#include <windows.h>

#include <string>

#include "CString.h"

#ifndef UPDATE_MANIFEST_TIMEOUT_SECONDS
#define UPDATE_MANIFEST_TIMEOUT_SECONDS 30
#endif

// From the start of the request to its last byte.
constexpr DWORD kManifestDeadlineMs = UPDATE_MANIFEST_TIMEOUT_SECONDS * 1000;
// A larger response is no manifest of ours.
constexpr unsigned long long kManifestMaxBytes = 16ull << 20;

// Results of a request that the system did not give.
constexpr HRESULT kHttpTooLarge = HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);  // over the size limit
constexpr HRESULT kHttpTimedOut = HRESULT_FROM_WIN32(ERROR_TIMEOUT);         // the time ran out
constexpr HRESULT kHttpNotWeb = HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);  // not an http(s) address

// What one request came to.
struct HttpGetReport {
    HRESULT result = E_FAIL;        // S_OK: the whole body arrived within the limits
    DWORD status = 0;               // the HTTP status; 0 when no answer came
    unsigned long long bytes = 0;   // body bytes received
    DWORD milliseconds = 0;         // from the start to the end (or the giving up)
};

// GETs `url` and stores the whole body in `body`, whatever the HTTP status,
// when it arrives within `deadline` ms and `maxBytes`; otherwise `body` is
// left unchanged. Only http:// and https:// addresses are requested.
HttpGetReport HttpGetBytes(const CString& url, std::string& body, DWORD deadline, unsigned long long maxBytes);

// Fetches manifestUrl + "?" + a number 0..999 (the cache breaker) within the
// limits above and stores the body, decoded as the updater always read it
// (DecodeTextLeniently), as text; with `bytes`, the body as it came too (for
// its signature). Returns 1 always.
int HttpGetText(const CString& manifestUrl, CString& text, HttpGetReport* report = nullptr,
                std::string* bytes = nullptr);
// The same within other limits.
int HttpGetTextWithin(const CString& manifestUrl, CString& text, DWORD deadline, unsigned long long maxBytes,
                      HttpGetReport* report = nullptr, std::string* bytes = nullptr);

// The request URL: the manifest URL, "?", the number in decimal. The manifest
// URL is not examined: one that has its own query gets a second "?".
CString MakeManifestRequestUrl(const CString& manifestUrl, int number);

// The cache-breaking number: the C runtime's generator seeded with the
// current time in seconds (low 32 bits), one draw, modulo 1000. Two calls
// within the same second give the same number.
int DrawManifestRequestNumber();
