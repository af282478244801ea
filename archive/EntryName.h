// The one rule for the names the updater writes: every segment of a package's
// entry names, the package's own file name (ui/PackageName.h) and the names
// that journals carry. Two rules would drift apart, and a name one accepts and
// the other refuses is how a reader deletes what a writer wrote.
//
// A file name (CheckFileName) is one path segment that Windows creates as
// given and that is none of the updater's own: refused are an empty name, "."
// and "..", '/' '\' and ':' (folders, drive letters, alternate data streams),
// control characters and < > " | ? *, a name ending in a dot or a space, one
// longer than 255 units, the device names CON PRN AUX NUL COM1-9 LPT1-9 (also
// with the digits ¹ ² ³) CONIN$ CONOUT$ CLOCK$, alone or before any extension,
// a name of the short (8.3) shape that holds a '~' ("UPDATE~1", "QELDA~1.EXE":
// Windows' alias for some long name, which would reach that file under this
// one), and a name starting with one of the prefixes below, in any letter case.
//
// An entry name (ParseEntryName) is accepted only when its target stays below
// the destination folder: '/' and '\' separate folders, and a single trailing
// separator marks a folder entry. "." segments are dropped ("./a" is "a", as
// bsdtar writes names; "./" is the destination itself). Refused: an empty
// name, a leading separator (absolute or UNC path), an empty or ".." segment,
// a file named ".", and any other segment CheckFileName refuses.
#pragma once

#include <string>
#include <vector>

// On failure returns false and sets `why` to a short English reason.
bool CheckFileName(const std::u16string& name, std::u16string& why);

struct EntryPath {
    std::vector<std::u16string> segments;  // none only for a folder entry naming the destination
    bool directory = false;
};

// On failure returns false and sets `why` to a short English reason.
bool ParseEntryName(const std::u16string& name, EntryPath& path, std::u16string& why);

// The segments joined with `separator`.
std::u16string JoinSegments(const std::vector<std::u16string>& segments, std::size_t count, char16_t separator);

// Key under which two names that Windows treats as one file compare equal
// (ASCII and Latin-1/Greek/Cyrillic letters folded to upper case).
std::u16string FoldForComparison(const std::u16string& text);

// Prefix of the install engine's hidden work folder inside the destination.
extern const char16_t kWorkFolderPrefix[];
// Prefix of the hidden folder a package is downloaded into, in the destination.
extern const char16_t kDownloadFolderPrefix[];
// Prefix of the name a running updater's replaced file gets in its folder.
extern const char16_t kOldProgramPrefix[];
