// The local file name of a downloaded update package, derived from its URL.
// Portable: no Windows API, so that the rule is tested natively too.
#pragma once

#include <string>

// The name every package gets whose URL yields no safe file name.
extern const char16_t kFallbackPackageName[];

// The last path segment of `url`, without its query ("?...") and fragment
// ("#..."). Nothing is decoded. A segment that the updater's one file-name
// rule refuses (CheckFileName in archive/EntryName.h: no separators, no
// character or device name Windows reserves, none of the updater's own
// prefixes) yields kFallbackPackageName instead, so the name can never leave
// its folder, open a device or pass for one of the updater's own files.
std::u16string PackageFileNameFromUrl(const std::u16string& url);
