// Installs a package's entries below a destination folder, all or nothing,
// and repairs an installation that a crash interrupted. This header is the
// engine's contract; the work lives in InstallEngine.cpp (check, stage,
// commit, finish), InstallJournal (the journal's format), InstallRecovery.cpp
// and InstallFolders (the engine's own folders, and links refused). A delta
// package (DeltaPackage.h) goes the same way, with the differences noted
// "Delta" below.
//
// 1. Check: every entry is examined before anything is touched - its name
//    must be a safe path below the destination (EntryName.h), it must be a
//    stored or deflated, unencrypted file or folder, no two entries may name
//    the same file (as Windows compares names), no file may also be a folder,
//    and the declared sizes must stay within the archive's limits. Any fault
//    refuses the package as Damaged.
//    Delta: its description must read, every patch it names must be there and
//    no other, a removed file must be neither a file nor a folder of the
//    package, and the product's executable is never removed.
// 2. Stage: every file entry is extracted and verified (local header, sizes,
//    CRC-32) into a hidden work folder ".update-staging-<random>" inside the
//    destination, so that the commit only renames on one volume, and forced
//    to the disk. Nothing installed has changed yet: the product may run. The
//    progress callback may cancel; the work folder is then removed.
//    Delta: first every file a patch applies to is read and its SHA-256
//    compared with the description's; one that differs, is missing or is a
//    folder, a folder where the delta puts or removes a file: the result is
//    BaseMismatch, with nothing changed, so that the caller may fetch the full
//    package instead. Then each patched file is rebuilt from the installed
//    one into the work folder (the patch is extracted beside it first) and
//    its SHA-256 checked: a patch that is not one, or makes another file, or
//    more bytes than PatchWithinLimits allows, is Damaged. A file to be
//    removed that is already gone is no mismatch.
// 3. Commit: a journal saying what moves where is written into the work folder,
//    forced to the disk and published by a rename. Every existing target file
//    is kept as a backup in the work folder: where the volume has hard links,
//    by a second name made while staging (the product may still run), so that
//    the commit itself only renames each staged file over its old one, in one
//    step, and no installed file is ever absent; elsewhere by renaming the old
//    file aside before the new one is renamed into place. A file that cannot
//    be replaced (read-only, or held open) stops the commit with everything
//    put back and the result InUse, so the caller may ask the user to close
//    the product and commit again. Folders are created as needed. Two files
//    are special: the "last" file (the product's own executable) is swapped
//    after all others, in one step (its backup a second name, or a copy), so
//    it always exists and the old product can start until the rest is in
//    place; the "self" file (the running updater) is renamed aside within its
//    own folder, since a running program's file can be renamed but not
//    replaced or deleted. A fault during the commit undoes it. The renames are
//    not written through one by one: the touched folders are flushed once at
//    the end (FileSystem::FlushFolders says why that is safe), before the
//    caller records the version. The work folder's files sit in up to 64
//    subfolders, so that no folder holds thousands of new names.
//    Delta: a file it removes is moved aside with the old files (the updater
//    renamed within its folder) and is deleted with them at Finish.
// 4. Finish: once the caller has recorded the new version, the journal, the
//    old files and the work folder are deleted. The updater's old file cannot
//    be deleted while it runs: it is deleted at the next start (recovery), or
//    when the system restarts.
//
// Recovery (InstallRecovery) finds journals that a crash left behind and
// completes or rolls back their commit, so that the folder holds exactly one
// version's files. The commit point is the moment every old file (and every
// file a delta removes) has its backup: before it the commit is rolled back
// (the old files go back to free places), after it the commit is completed
// (the new files go to their places). With backups made while staging, a
// crash anywhere in the commit is past that point. A commit whose new files cannot all be found is rolled back. Work
// folders whose journal is missing or was never completely written are
// deleted: their installation never changed the destination, or had already
// been finished. A complete journal that cannot be read is reported and kept,
// with its work folder: it may hold the only copies of the old files.
//
// The package is downloaded into a hidden folder of its own in the destination
// (MakeDownloadFolder), so that its name never meets a file of the package;
// recovery deletes such folders, since it works from the staged files alone.
//
// Links: the engine and recovery never follow a symbolic link or junction. One
// found where a file, a folder on a target's way, the destination, a work
// folder or a download folder is expected stops the installation (IoError) or
// the recovery (Failed) with a reason naming it, and nothing beyond it is
// listed, written or deleted.
//
// Runs on the calling thread; the file system is the caller's and must not be
// used by others meanwhile. Throws only std::bad_alloc.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "DeltaPackage.h"
#include "EntryName.h"
#include "FileSystem.h"
#include "ZipArchive.h"

enum class InstallStatus {
    Installed,
    InUse,     // path: the file that could not be replaced; nothing changed
    Damaged,   // the package was refused or failed verification; nothing changed
    IoError,   // the destination could not be written; nothing changed
    Cancelled, // the progress callback asked to stop the staging; nothing changed
    BaseMismatch,  // a delta package for other files than those installed; path names
                   // the first that differs; nothing changed: install the full package
};

struct InstallResult {
    InstallStatus status = InstallStatus::Installed;
    std::u16string path;    // InUse: full path of the file in use; IoError: the path at fault, if known;
                            // BaseMismatch: the installed file (or folder) that differs
    // One line of English for people. When installed it is empty, unless old
    // files could not be deleted afterwards (they stay in the work folder).
    std::u16string reason;
    ZipResult archive;      // the archive's own result when it caused a refusal

    bool ok() const { return status == InstallStatus::Installed; }
};

const char* InstallStatusName(InstallStatus status);

struct InstallOptions {
    ZipLimits limits;
    // Decoder for names stored without the UTF-8 flag; null: the OEM code page.
    std::shared_ptr<const ZipNameDecoder> nameDecoder;
    // Force the staged files to the disk before the commit, so that the old
    // files are never deleted while the new ones exist only in the cache.
    bool flush = true;
    std::size_t bufferSize = 256 * 1024;
    // Called while staging with the bytes staged so far and in all: after each
    // entry, and within an entry at least every 4 MiB (also while a delta's
    // installed files are read), so that a user's Cancel is seen promptly.
    // Returning false stops Prepare with Cancelled.
    std::function<bool(std::uint64_t done, std::uint64_t total)> progress;
    // Kept in the journal and handed back by recovery: the version installed.
    // Any text: it comes from the manifest.
    std::u16string journalTag;
    // Full paths of the product's own executable (swapped last, never absent)
    // and of the running updater (renamed aside in its folder); may be empty.
    std::u16string lastFile;
    std::u16string selfFile;
};

// What the check of step 1 finds; of a delta package only its description is
// extracted.
struct PackagePlan {
    static constexpr std::size_t kWhole = SIZE_MAX;
    struct Item {
        ZIP_INDEX_TYPE index = 0;
        EntryPath path;              // where it goes; a patch's: the file it rebuilds
        std::size_t patch = kWhole;  // a patch: its place in delta.patches
    };
    std::vector<Item> items;  // files and folders in entry order
    bool isDelta = false;
    DeltaDescription delta;
    std::uint64_t totalSize = 0;  // of the files staged, whole or rebuilt
};

// Step 1 alone. On success fills `plan` and returns Installed.
InstallResult CheckPackage(CZipArchive& archive, PackagePlan& plan);

// Steps 1 and 2 without a destination: every entry is extracted into nothing
// and verified (a delta's patches as far as they read without the files they
// apply to). Installed means the package would be installed.
InstallResult VerifyPackage(CZipArchive& archive, const InstallOptions& options = {});

class Installer;

// One installation into one destination folder, step by step.
class PackageInstaller {
public:
    PackageInstaller(FileSystem& fs, const std::u16string& destination, const InstallOptions& options = {});
    // Removes the work folder unless the commit went through.
    ~PackageInstaller();
    PackageInstaller(const PackageInstaller&) = delete;
    PackageInstaller& operator=(const PackageInstaller&) = delete;

    // Steps 1 and 2. The archive is not needed afterwards. After a failure
    // the work folder is gone and the installer is spent.
    InstallResult Prepare(CZipArchive& archive);
    // Opens the package with the file system first: a file that cannot be
    // opened or read is an IoError, one that is no ZIP archive is Damaged.
    InstallResult Prepare(const std::u16string& packagePath);
    // Step 3, after Prepare. After InUse nothing has changed and it may be
    // called again.
    InstallResult Commit();
    // Step 4, after Commit.
    InstallResult Finish();

private:
    std::unique_ptr<Installer> m_impl;
};

// The three steps in one call.
InstallResult InstallPackage(FileSystem& fs, const std::u16string& packagePath, const std::u16string& destination,
                             const InstallOptions& options = {});

// Creates a new hidden folder ".update-download-<random>" in `destination`
// (an existing folder, no link) for the package to be downloaded into.
FsResult MakeDownloadFolder(FileSystem& fs, const std::u16string& destination, std::u16string& folder);
// Deletes a download folder with its files, never following a link.
void RemoveDownloadFolder(FileSystem& fs, const std::u16string& folder);

enum class RecoveryOutcome {
    Completed,   // the new files are in place: record the journal's tag
    RolledBack,  // the old files are back
    InUse,       // path: a file that could not be replaced; call Resolve again
    Failed,      // the disk refused, a journal is damaged or a link is in the way;
                 // reason says why; the journal and its work folder are kept
};

struct RecoveryResult {
    RecoveryOutcome outcome = RecoveryOutcome::Completed;
    std::u16string tag;     // the journal's tag
    std::u16string path;    // InUse: full path of the file; Failed: the path at fault, if one
    std::u16string reason;  // Failed: one line of English
};

class Journal;

// The unfinished installations in one folder.
class InstallRecovery {
public:
    InstallRecovery(FileSystem& fs, const std::u16string& folder);
    ~InstallRecovery();
    InstallRecovery(const InstallRecovery&) = delete;
    InstallRecovery& operator=(const InstallRecovery&) = delete;

    // Looks for an interrupted commit, and deletes what needs no decision on
    // the way: work folders without a complete journal, download folders and
    // updaters' old files. Also true for what must be reported instead (a
    // complete journal that cannot be read, a link where one of the engine's
    // folders should be): Resolve then answers Failed. False when nothing is
    // left to find.
    bool FindNext();
    // Completes or rolls back the commit found.
    RecoveryResult Resolve();
    // After Completed (once the caller has recorded the tag) or RolledBack:
    // deletes the journal, the old files and the work folder, and the package
    // that a journal of an earlier updater names, unless it is a file of the
    // installation.
    void Finish();

private:
    bool FindJournal(const std::u16string& work);
    bool HoldsBackups(const std::u16string& work);
    bool Report(const std::u16string& path, std::u16string reason);

    FileSystem& m_fs;
    std::u16string m_folder;
    std::unique_ptr<Journal> m_journal;
    std::u16string m_reportPath, m_reportReason;  // what FindNext found to report instead
    bool m_undecided = false;          // a journal stays unresolved: keep every old updater
    std::set<std::u16string> m_seen;   // folders handled in this run
    std::set<std::u16string> m_kept;   // old updaters that a journal may put back
};
