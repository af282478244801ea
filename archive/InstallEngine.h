// Installs a package's entries below a destination folder, all or nothing.
//
// 1. Check: every entry is examined before anything is touched - its name
//    must be a safe path below the destination (EntryName.h), it must be a
//    stored or deflated, unencrypted file or folder, no two entries may name
//    the same file (as Windows compares names), no file may also be a folder,
//    and the declared sizes must stay within the archive's limits. Any fault
//    refuses the package as Damaged.
// 2. Stage: every file entry is extracted and verified (local header, sizes,
//    CRC-32) into a hidden work folder ".update-staging-<random>" inside the
//    destination, so that the commit only renames on one volume. Any fault
//    removes the work folder: nothing else was touched.
// 3. Commit: every existing target file is moved aside into the work folder,
//    in entry order. A file that cannot be moved (read-only, or held open)
//    stops here: the files moved so far go back, and the result is InUse with
//    that file's full path - the caller may ask the user to close the product
//    and call again. Then folders are created and the staged files renamed
//    into place. A fault now undoes everything: new files removed, old files
//    moved back, created folders removed. On success the old files and the
//    work folder are deleted.
//
// Entries that name an existing folder are left alone; folder entries create
// folders. After any failure the destination holds exactly the files it held
// before; only when the undo itself fails (the disk refuses a rename back) is
// the work folder kept with the old files in it, and the reason says so.
//
// Runs on the calling thread; the file system is the caller's and must not be
// used by others meanwhile. Throws only std::bad_alloc.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "EntryName.h"
#include "FileSystem.h"
#include "ZipArchive.h"

enum class InstallStatus {
    Installed,
    InUse,     // path: the file that could not be replaced; nothing changed
    Damaged,   // the package was refused or failed verification; nothing changed
    IoError,   // the destination could not be written; nothing changed
};

struct InstallResult {
    InstallStatus status = InstallStatus::Installed;
    std::u16string path;    // InUse: full path of the file in use
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
    // Called after each staged entry with the bytes staged so far and in all.
    std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

// What the check of step 1 finds, without extracting anything.
struct PackagePlan {
    struct Item {
        ZIP_INDEX_TYPE index = 0;
        EntryPath path;
    };
    std::vector<Item> items;  // in entry order
    std::uint64_t totalSize = 0;
};

// Step 1 alone. On success fills `plan` and returns Installed.
InstallResult CheckPackage(const CZipArchive& archive, PackagePlan& plan);

// Steps 1 and 2 without a destination: every entry is extracted into nothing
// and verified. Installed means the package would be installed.
InstallResult VerifyPackage(CZipArchive& archive, const InstallOptions& options = {});

InstallResult InstallArchive(CZipArchive& archive, FileSystem& fs, const std::u16string& destination,
                             const InstallOptions& options = {});

// Opens the package with `fs` and installs it. A package file that cannot be
// opened or read is an IoError; one that is not a ZIP archive or whose
// directory is damaged is Damaged. Nothing is touched then either.
InstallResult InstallPackage(FileSystem& fs, const std::u16string& packagePath, const std::u16string& destination,
                             const InstallOptions& options = {});
