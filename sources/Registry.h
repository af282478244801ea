// The installed-version value in the machine-wide registry.
//
// Both routines work under HKEY_LOCAL_MACHINE with the process's own
// registry view, on the user-interface thread. They report their own
// failures in a modal message box (AfxMessageBox, MB_OK, application-name
// caption) and return after the user has closed it; the key is closed on
// every path on which it was opened.
//
// Stored form: REG_SZ, the text's UTF-16 code units low byte first, then one
// zero unit. A read accepts at most 80 bytes of data (40 code units).
#pragma once

#include <windows.h>

#include <cstddef>
#include <vector>

#include "CString.h"

// The value's text, or an empty text after a failure: "获取HKEY失败" when the
// key cannot be opened for reading, "获取注册表信息失败" when the value cannot be
// queried (missing, longer than 80 bytes, refused). The key is never created.
CString ReadRegString(const CString& keyPath, const CString& valueName);

// Stores the text. The key must exist: "获取HKEY失败" when it cannot be opened
// for writing (nothing is created), "设置注册表信息失败" when the value cannot
// be set. The caller cannot tell whether the write succeeded.
void WriteRegString(const CString& keyPath, const CString& valueName, const CString& data);

// The bytes WriteRegString stores for a text.
std::vector<unsigned char> RegStringBytes(const CString& text);

// The text of queried value data: UTF-16 code units, low byte first, up to the
// first zero unit or the end of the data, whichever comes first; an odd
// trailing byte is dropped.
CString RegStringFromBytes(const unsigned char* data, std::size_t size);

// Quiet reads for settings an administrator may set (policies) and state the
// updater keeps: no box, false when the key or value is missing or of
// another type. A text holds at most 2048 units.
bool ReadRegDword(const CString& keyPath, const CString& valueName, DWORD& value);
bool ReadRegText(const CString& keyPath, const CString& valueName, CString& value);
bool ReadRegQword(const CString& keyPath, const CString& valueName, unsigned long long& value);
// A quiet write into an existing key; false when it fails.
bool WriteRegQword(const CString& keyPath, const CString& valueName, unsigned long long value);
