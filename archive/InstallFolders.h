// The folders the install engine makes, walks and deletes in a destination:
// its hidden work and download folders, the package's folders below the
// destination, and old updaters' files. Internal to the engine
// (InstallEngine.h declares what callers use).
//
// Links are never followed. A symbolic link or junction where the engine
// expects a file or a folder of its own leads somewhere nobody checked: every
// path is examined with StatNoLink first, which refuses a link with a reason
// naming it, and nothing below a link is listed, written or deleted. A link
// inside a folder being deleted is removed as a link.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "FileSystem.h"
#include "InstallJournal.h"

// Stat, but a link at `path` is a failure (FsCode::Other) naming it.
FsResult StatNoLink(FileSystem& fs, const std::u16string& path, FsInfo& info);

// Twelve hex digits that differ from call to call; a clash is retried.
std::u16string RandomSuffix();

// Creates a new hidden folder `prefix` + RandomSuffix() in `destination`,
// which must be an existing folder and no link.
FsResult MakeHiddenFolder(FileSystem& fs, const std::u16string& destination, const char16_t* prefix,
                          std::u16string& folder);

// Deletes a folder with everything in it. A link in the folder's place is
// refused with nothing touched; links inside are removed as links. What cannot
// be deleted stays; success means the folder is gone (or was never there).
FsResult RemoveFolderTree(FileSystem& fs, const std::u16string& folder);

// Deletes an updater's old file, or has it deleted at the next restart while
// it still runs.
void RemoveOldProgram(FileSystem& fs, const std::u16string& path);

// Folders below the destination, examined and created as needed; remembers
// which it made.
class FolderMaker {
public:
    FolderMaker(FileSystem& fs, const Journal& journal) : m_fs(fs), m_journal(journal) {}

    // Makes the folders of `relative` ('/'-separated) exist: all of them, or
    // all but the last segment.
    FsResult Ensure(const std::u16string& relative, bool includeLast);
    // Examines without creating: no folder on the way to `relative` that
    // exists is a link.
    FsResult CheckWay(const std::u16string& relative);
    // Removes the given folders, deepest first, where they are empty.
    bool RemoveEmpty(const std::vector<std::u16string>& folders);

    std::vector<std::u16string> created;

private:
    FileSystem& m_fs;
    const Journal& m_journal;
    std::set<std::u16string> m_known;  // existing folders, no links
};
