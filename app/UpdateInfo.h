// The update record, the record list, and the choice of the record that
// applies to the installed version.
//
// Versions are ordered as plain text: code units compared one by one as
// unsigned 16-bit numbers, a prefix before its extensions (as wcscmp does).
// There is no numeric reading, so "1.10" sorts before "1.9". Everything here
// is a value operation on the caller's data; nothing is shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "CArray.h"
#include "CString.h"

// One update described by the manifest. Each field takes the name of the
// manifest element that supplies it. A new record holds six empty texts and 0.
struct UPDATE_INFO {
    CString OldVer;      // installed version this update applies to
    CString NewVer;      // version this update installs
    CString NetUrl;      // address of the update package
    CString LocalPath;   // "System" selects the system directory for the package
    CString UpdateInfo;  // release notes shown in the update dialog
    CString InfoUrl;     // address of the update log page
    std::int32_t IsUpdate = 0;  // carried to the dialog; no decision reads it
};

// The record list, in manifest order.
using UpdateInfoArray = CArray<UPDATE_INFO, UPDATE_INFO>;

// Ordinal comparison of two whole texts: negative, zero or positive.
int CompareVersionText(const CString& a, const CString& b);

// True when the installed version sorts strictly before newVer: the start-up
// decision to offer an update. Equal texts offer nothing.
bool IsNewerVersion(const CString& installed, const CString& newVer);

// Index of the record that applies to the installed version, or -1 for an
// empty list. The first record whose OldVer equals the installed version wins;
// without one, the first record with the greatest NewVer.
std::ptrdiff_t SelectUpdateIndex(const CString& installed, const CArray<UPDATE_INFO, UPDATE_INFO>& records);

// Where the record that applies was chosen by its OldVer (a package made for
// that version, such as a delta), the record chosen without it - the first
// with the greatest NewVer - when it installs the same NewVer from another
// package: the full package to fall back on when the installed files are not
// what that package was made for. -1 when there is none.
std::ptrdiff_t SelectFullPackageIndex(const CString& installed, const CArray<UPDATE_INFO, UPDATE_INFO>& records);

// Copies the record that applies (see SelectUpdateIndex) into out and returns
// true; for an empty list returns false and leaves out as it was.
bool SelectUpdateInfo(const CString& installed, const CArray<UPDATE_INFO, UPDATE_INFO>& records, UPDATE_INFO& out);

// True when the command line names the product's executable: its last four
// characters (all of it when shorter), with A-Z lowered, are ".exe". No
// tokenising and no quote removal: a trailing blank or quote rejects it.
bool CommandLineNamesExecutable(const CString& commandLine);
