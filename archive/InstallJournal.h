// The commit journal: what a commit is about to do, written into the work
// folder and forced to the disk before the commit changes anything, read by
// recovery after a crash. Internal to the install engine (InstallEngine.h).
//
// The text is UTF-8, one record a line, each line ending in "\n":
//
//   qelda-update-journal 1            2 when the journal has remove lines; 3 (today's):
//                                     the work folder's files sit in 64 subfolders
//   tag TEXT                          the version installed, handed back by recovery
//   backups link|move                 format 3 only: how old files are kept (below)
//   [package NAME]                    only in journals of earlier updaters: the package's
//                                     file name in the destination, to delete (but only
//                                     a name the file-name rule accepts)
//   folder PATH                       a folder the commit creates, parents first
//   file INDEX KIND OLD ASIDE PATH    one file in commit order: the entry's index, n
//                                     (normal), l (last) or s (self), 1 when an old file
//                                     was there, the self file's old name ("-" otherwise)
//   remove NUMBER KIND OLD ASIDE PATH a file a delta package removes, in commit order
//                                     with the files: moved aside like an old file and
//                                     deleted with them; KIND n or s, NUMBER counts
//                                     removals from 0
//   end
//
// PATHs are relative to the destination with '/' between segments and obey the
// entry-name rule; NAME obeys the file-name rule (EntryName.h), as does ASIDE
// after its prefix ".update-old-". ASIDE stands as written; TEXT, PATH and NAME
// escape '\' as "\\", line breaks as "\n" and "\r", and other
// control characters and unpaired surrogates as "\uXXXX", so that every
// journal reads back exactly as written; earlier journals never needed more
// than the first three.
//
// Backups. "move" (and formats 1 and 2): every old file is renamed aside into
// the work folder before the new ones are renamed into place. "link": every
// old file first gets a second name in the work folder (a hard link), then
// each new file is renamed over its old one in one step, so no installed file
// is ever absent; the running updater's file and the files a delta removes
// are still renamed aside. A file system without hard links gets "move".
//
// A text whose last line is not "end" is an incomplete write: its commit never
// began. A complete text that does not parse is kept for the user to see, as is
// one of a later format: what its commit did cannot be known. So an updater
// that knows no removals keeps a journal of format 2 rather than half undo it.
#pragma once

#include <string>
#include <vector>

#include "FileSystem.h"
#include "ZipArchive.h"

enum class StepKind : char16_t {
    Normal = u'n',
    Last = u'l',  // the product's executable: swapped after all others, in one step
    Self = u's',  // the running updater: renamed aside within its own folder
};

// One file entry on its way into the destination, or a file a delta removes.
struct FileStep {
    ZIP_INDEX_TYPE index = 0;  // a removal's number
    bool remove = false;      // no new file: the old one is only moved aside
    std::u16string relative;  // the entry's path, '/' between segments
    std::u16string target;
    std::u16string staged;    // the new file while it waits in the work folder; none for a removal
    std::u16string backup;    // the old file once moved aside
    StepKind kind = StepKind::Normal;
    bool skip = false;        // the target is an existing folder: left alone
    bool hadOld = false;      // a file was at the target when the commit began
    bool movedAside = false;  // the old file is at `backup`
    bool linked = false;      // the old file also has the name `backup`
    bool readOnly = false;    // the old file is read-only
    bool placed = false;      // the new file is at `target` (never for a removal)
};

class Journal {
public:
    enum class Read { Parsed, Incomplete, Malformed };

    Journal(FileSystem& fs, std::u16string destination, std::u16string work);

    std::u16string Path() const;
    // Where the journal is written before it is published under Path() in
    // one rename: a file at Path() was always written whole and flushed.
    std::u16string DraftPath() const;
    // The full path of a '/'-separated path relative to the destination.
    std::u16string Full(const std::u16string& relative) const;
    // Sets the target, staged and (but for the self file) backup paths of a step.
    void Resolve(FileStep& f) const;
    // Where the last file's old copy is made before it is renamed to its backup.
    std::u16string CopyPath(const FileStep& f) const;
    // The subfolders of the work folder the steps use (with buckets): a few
    // dozen names each, never thousands in one folder.
    std::vector<std::u16string> Buckets() const;

    // Every folder whose names the commit changes: the work folder and the
    // folders of the targets and of the running updater's aside name.
    std::vector<std::u16string> TouchedFolders() const;

    std::string Text() const;
    // Replaces the content with the journal in `text`. Malformed sets `why`.
    Read Parse(const std::string& text, std::u16string& why);
    // Same tag, package, folders and files (index, removal, kind, old file, path, aside).
    bool SameContent(const Journal& other) const;

    std::u16string dest;
    std::u16string work;
    std::u16string tag;
    bool buckets = false;      // the work folder's files in subfolders (format 3)
    bool linkBackups = false;  // old files kept by a second name (format 3, "backups link")
    std::u16string package;               // only as read from an earlier updater's journal
    std::vector<std::u16string> folders;  // created by the commit, parents first
    std::vector<FileStep> files;          // in commit order; the last file comes last

private:
    static std::u16string Bucket(ZIP_INDEX_TYPE index);
    std::u16string WorkPath(char16_t role, ZIP_INDEX_TYPE index) const;

    FileSystem& m_fs;
};
