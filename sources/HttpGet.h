// The manifest download: one HTTP GET through the platform's COM HTTP request
// object (Msxml2.XMLHTTP), so that proxies and the system's network settings
// apply.
//
// Runs on a thread that has initialised COM as a single-threaded apartment
// (AfxOleInit) and blocks it, dispatching its messages, until the response
// has arrived, the request has failed, or the time is up: a server that
// answers slowly or not at all cannot hold the updater. Every failure is
// silent: the text is left unchanged and nothing is reported. The request
// object lives only within the call.
#pragma once

#include <windows.h>

#include "CString.h"

#ifndef UPDATE_MANIFEST_TIMEOUT_SECONDS
#define UPDATE_MANIFEST_TIMEOUT_SECONDS 30
#endif

// From the start of the request to its last byte.
constexpr DWORD kManifestDeadlineMs = UPDATE_MANIFEST_TIMEOUT_SECONDS * 1000;
// A larger response is no manifest of ours.
constexpr unsigned long long kManifestMaxBytes = 16ull << 20;

// Fetches manifestUrl + "?" + a number 0..999 (the cache breaker) and stores
// the response body as text, whatever the HTTP status, within the limits
// above. Returns 1 always.
int HttpGetText(const CString& manifestUrl, CString& text);
// The same within other limits.
int HttpGetTextWithin(const CString& manifestUrl, CString& text, DWORD deadline, unsigned long long maxBytes);

// The request URL: the manifest URL, "?", the number in decimal. The manifest
// URL is not examined: one that has its own query gets a second "?".
CString MakeManifestRequestUrl(const CString& manifestUrl, int number);

// The cache-breaking number: the C runtime's generator seeded with the
// current time in seconds (low 32 bits), one draw, modulo 1000. Two calls
// within the same second give the same number.
int DrawManifestRequestNumber();
