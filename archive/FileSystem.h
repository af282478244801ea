// The file operations the archive reader and the install engine need, behind
// one small interface, so that the engine's logic is portable and testable.
//
// Implementations: PosixFileSystem (native builds and tests), Win32FileSystem
// (the program), and an in-memory one in tests/support. PlatformFileSystem()
// returns the one for the build's platform.
//
// Paths are UTF-16 text with the implementation's Separator(). An
// implementation is used from one thread at a time; objects it returns must not
// outlive it. No call throws for file-system failures: each returns an FsResult
// whose code says what happened and whose message carries the system's words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum class FsCode {
    Ok,
    NotFound,       // the path, or a folder on the way, does not exist
    Exists,         // the path to be created already exists
    InUse,          // another process holds the file, or it is read-only
    AccessDenied,
    NoSpace,
    Other,
};

struct FsResult {
    FsCode code = FsCode::Ok;
    std::u16string message;

    static FsResult Success() { return FsResult{}; }
    static FsResult Fail(FsCode code, std::u16string message) { return FsResult{code, std::move(message)}; }
    bool ok() const { return code == FsCode::Ok; }
    explicit operator bool() const { return ok(); }
};

// What Stat finds at a path itself: a link is never followed.
struct FsInfo {
    bool exists = false;
    bool directory = false;
    bool readOnly = false;
    // A symbolic link, or on Windows a junction or other name-surrogate reparse
    // point: the path leads elsewhere. The other fields then describe the link
    // itself as far as the system tells (a directory junction is a directory).
    bool link = false;
    std::uint64_t size = 0;
};

// A file opened for reading at any offset.
class FsReadFile {
public:
    virtual ~FsReadFile() = default;
    virtual std::uint64_t Size() const = 0;
    // Reads exactly `size` bytes at `offset`; reading past the end fails.
    virtual FsResult ReadAt(std::uint64_t offset, void* buffer, std::size_t size) = 0;
};

// A new file being written from the start. Destroying it without Finish closes
// the handle and leaves the partial file for the caller to remove.
class FsWriteFile {
public:
    virtual ~FsWriteFile() = default;
    virtual FsResult Write(const void* data, std::size_t size) = 0;
    // Closes the file; with flush, first forces its data to the disk.
    virtual FsResult Finish(bool flush) = 0;
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    virtual char16_t Separator() const = 0;

    // A path that does not exist is success with info.exists false. A link at
    // `path` is described, not followed (folders on the way are).
    virtual FsResult Stat(const std::u16string& path, FsInfo& info) = 0;
    virtual FsResult OpenForRead(const std::u16string& path, std::unique_ptr<FsReadFile>& file) = 0;
    // Opens an existing regular file - not a link, a folder or a device - for
    // reading, and denies other writers, deleters and renamers until the file
    // is closed, so that what one reader checks is what the next one reads.
    // Windows enforces the denial; POSIX cannot deny others, so there it only
    // refuses links and special files.
    virtual FsResult OpenExclusive(const std::u16string& path, std::unique_ptr<FsReadFile>& file) = 0;
    // Creates a new file; fails with Exists when the path exists.
    virtual FsResult CreateNewFile(const std::u16string& path, std::unique_ptr<FsWriteFile>& file) = 0;
    // Creates one folder (its parent must exist); fails with Exists when the
    // path exists. A hidden folder is hidden from the Windows shell.
    virtual FsResult MakeDirectory(const std::u16string& path, bool hidden) = 0;
    virtual FsResult RemoveEmptyDirectory(const std::u16string& path) = 0;
    virtual FsResult RemoveFile(const std::u16string& path) = 0;
    // Renames a file on the same volume; fails with Exists when `to` exists.
    // On Windows a running program's own file may be renamed too.
    virtual FsResult Rename(const std::u16string& from, const std::u16string& to) = 0;
    // Renames a file over `to` in one step: at every moment `to` names either
    // its old file or the new one. `to` need not exist.
    virtual FsResult Replace(const std::u16string& from, const std::u16string& to) = 0;
    // Gives the file `existing` a second name `link` on the same volume (a
    // hard link: one file, two names). Fails with Exists when `link` exists,
    // and with Other where the file system has no hard links.
    virtual FsResult HardLink(const std::u16string& existing, const std::u16string& link) = 0;
    // Forces files written and closed earlier to the disk, all at once: far
    // cheaper than a flush as each file is finished.
    virtual FsResult FlushFiles(const std::vector<std::u16string>& paths) = 0;
    // Forces the names in these folders - the renames, creations and
    // deletions made in them earlier - to the disk, all at once. Renames are
    // not written through one by one: the installation relies on the file
    // system keeping them in the order they were made (NTFS logs every change
    // of names in order), so that a crash leaves some first part of them,
    // which recovery completes or rolls back, and flushes once at the end.
    // A folder that does not exist is passed over.
    virtual FsResult FlushFolders(const std::vector<std::u16string>& folders) = 0;
    // Fails with InUse when deleting or replacing the file would fail: it is
    // read-only, or held open by a process (on Windows also a running
    // program's image). Changes nothing.
    virtual FsResult CheckReplaceable(const std::u16string& path) = 0;
    // Renames an installed file out of the way: CheckReplaceable, then Rename.
    virtual FsResult MoveAside(const std::u16string& from, const std::u16string& to);
    // The names in `folder` that start with `prefix` (compared as the platform
    // compares names), without "." and "..".
    virtual FsResult ListFolder(const std::u16string& folder, const std::u16string& prefix,
                                std::vector<std::u16string>& names) = 0;
    // Asks for the file to be deleted when the system next starts, for a file
    // that cannot be deleted now (on Windows a running program's image).
    // Unsupported elsewhere.
    virtual FsResult RemoveAtRestart(const std::u16string& path);
};

// The file system of the platform the program runs on. A process-wide object
// without state; safe to use from any thread.
FileSystem& PlatformFileSystem();

// dir + separator + name, without doubling a separator that ends dir.
std::u16string JoinPath(const FileSystem& fs, const std::u16string& dir, const std::u16string& name);

// The folder part of a path, up to its last separator ('/' is one everywhere);
// empty when there is none.
std::u16string FolderOf(const FileSystem& fs, const std::u16string& path);

// Copies a file into a new file `to` and forces it to the disk; on failure
// removes what was written.
FsResult CopyToNewFile(FileSystem& fs, const std::u16string& from, const std::u16string& to);

// Writes `data` into a new file `to` and forces it to the disk; on failure
// removes what was written.
FsResult WriteNewFile(FileSystem& fs, const std::u16string& to, const std::string& data);

// Reads a whole file of at most `limit` bytes.
FsResult ReadWholeFile(FileSystem& fs, const std::u16string& path, std::string& data, std::uint64_t limit);
