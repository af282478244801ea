// The local file name of a downloaded update package, derived from its URL.
// Portable: no Windows API, so that the rule is tested natively too.
#pragma once

#include <string>

// The name every package gets whose URL yields no safe file name.
extern const char16_t kFallbackPackageName[];

// The last path segment of `url`, without its query ("?...") and fragment
// ("#..."). Nothing is decoded. A segment that is empty, "." or "..", longer
// than 255 characters, holds a character Windows forbids in file names
// (<>:"/\|?* and control characters), ends in a dot or a blank, or is a
// reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, also with an
// extension, in any letter case) yields kFallbackPackageName instead, so the
// name can never leave the destination folder or open a device.
std::u16string PackageFileNameFromUrl(const std::u16string& url);
