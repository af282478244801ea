// The manifest download: one synchronous HTTP GET through the platform's COM
// HTTP request object (Msxml2.XMLHTTP).
//
// Runs on a thread that has initialised COM as a single-threaded apartment
// (AfxOleInit) and blocks it until the response has arrived or the request
// has failed. Every failure is silent: the text is left unchanged and nothing
// is reported. The request object lives only within the call.
#pragma once

#include "CString.h"

// Fetches manifestUrl + "?" + a number 0..999 (the cache breaker) and stores
// the response body as text, whatever the HTTP status. Returns 1 always.
int HttpGetText(const CString& manifestUrl, CString& text);

// The request URL: the manifest URL, "?", the number in decimal. The manifest
// URL is not examined: one that has its own query gets a second "?".
CString MakeManifestRequestUrl(const CString& manifestUrl, int number);

// The cache-breaking number: the C runtime's generator seeded with the
// current time in seconds (low 32 bits), one draw, modulo 1000. Two calls
// within the same second give the same number.
int DrawManifestRequestNumber();
