// The log of every run: UTF-8 lines appended to Update.log in
// %ProgramData%\Brenvik\Qelda\ (LogFormat.h says how a line reads), so that a
// failure on a customer's machine can be diagnosed. At 1 MiB the file is
// renamed to Update.old.log (replacing an older one) and a new one begun.
//
// The updater runs elevated, so the log must not become a way in. The
// folders are created with an access list that lets only SYSTEM and the
// administrators write (users may read); a folder or file found writable by
// anyone else (planted before the updater made it), a reparse point (a
// junction or a link) or a file with more than one name is never written:
// the run then goes on without a log. Logging never changes what the updater
// does: a write that fails is ignored, and no key material or signature is
// ever written.
//
// User-interface thread only (the download worker reports through the
// dialog, which logs).
#pragma once

#include <windows.h>

#include <string>

#include "CString.h"
#include "LogFormat.h"

namespace UpdateLog {

// Opens (making the folders when they are missing) the log under `base`
// (%ProgramData% when empty). False when it cannot log safely; every Write
// is then dropped.
bool Open(const CString& base = CString());
bool IsOpen();
void Write(const char* event, const LogFields& fields = {});
void Close();

// Values for the fields.
std::string Text(const CString& text);
std::string Number(unsigned long long value);
std::string Hresult(HRESULT hr);  // "0x80072efd"

// The folder the log is kept in, under `base` (%ProgramData% when empty).
CString Folder(const CString& base = CString());

}  // namespace UpdateLog
