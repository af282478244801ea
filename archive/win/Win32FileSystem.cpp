// The file system of the program, over the Win32 file API.
//
// Every path is made absolute and given the \\?\ prefix, so that paths longer
// than MAX_PATH work and no further name rewriting happens (entry names have
// been checked before they get here).
#include <windows.h>

#include <utility>

#include "FileSystem.h"

namespace {

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

// Owns one kernel handle; closes it once.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(HANDLE h) : m_h(h) {}
    ~FileHandle() { Reset(); }
    FileHandle(FileHandle&& o) noexcept : m_h(std::exchange(o.m_h, INVALID_HANDLE_VALUE)) {}
    FileHandle& operator=(FileHandle&& o) noexcept {
        if (this != &o) {
            Reset();
            m_h = std::exchange(o.m_h, INVALID_HANDLE_VALUE);
        }
        return *this;
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    HANDLE Get() const { return m_h; }
    bool Valid() const { return m_h != INVALID_HANDLE_VALUE && m_h != nullptr; }
    // Closes now and reports whether the close succeeded.
    bool Close() {
        if (!Valid()) return true;
        const BOOL ok = CloseHandle(m_h);
        m_h = INVALID_HANDLE_VALUE;
        return ok != FALSE;
    }
    void Reset() {
        if (Valid()) CloseHandle(m_h);
        m_h = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE m_h = INVALID_HANDLE_VALUE;
};

std::u16string Long(const std::u16string& path) {
    if (path.compare(0, 4, u"\\\\?\\") == 0) return path;
    DWORD n = GetFullPathNameW(W(path), 0, nullptr, nullptr);
    if (n == 0) return path;
    std::u16string full(n, u'\0');
    n = GetFullPathNameW(W(path), n, reinterpret_cast<wchar_t*>(&full[0]), nullptr);
    if (n == 0 || n >= full.size()) return path;
    full.resize(n);
    if (full.compare(0, 2, u"\\\\") == 0) return u"\\\\?\\UNC\\" + full.substr(2);
    return u"\\\\?\\" + full;
}

std::u16string SystemText(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::u16string text;
    if (n != 0 && buffer) text.assign(reinterpret_cast<const char16_t*>(buffer), n);
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' ' || text.back() == u'.'))
        text.pop_back();
    std::u16string number;
    for (DWORD v = error;; v /= 10) {
        number.insert(number.begin(), static_cast<char16_t>(u'0' + v % 10));
        if (v < 10) break;
    }
    return text.empty() ? u"error " + number : text + u" (error " + number + u")";
}

FsCode CodeOf(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: case ERROR_BAD_NETPATH: return FsCode::NotFound;
    case ERROR_FILE_EXISTS: case ERROR_ALREADY_EXISTS: case ERROR_DIR_NOT_EMPTY: return FsCode::Exists;
    case ERROR_SHARING_VIOLATION: case ERROR_LOCK_VIOLATION: case ERROR_USER_MAPPED_FILE: return FsCode::InUse;
    case ERROR_ACCESS_DENIED: case ERROR_WRITE_PROTECT: return FsCode::AccessDenied;
    case ERROR_DISK_FULL: case ERROR_HANDLE_DISK_FULL: return FsCode::NoSpace;
    default: return FsCode::Other;
    }
}

FsResult LastError(const char16_t* what, const std::u16string& path) {
    const DWORD error = GetLastError();
    return FsResult::Fail(CodeOf(error), std::u16string(what) + u" " + path + u": " + SystemText(error));
}

// Whether a path with FILE_ATTRIBUTE_REPARSE_POINT leads elsewhere: symbolic
// links and junctions are name surrogates; other reparse points (compressed,
// deduplicated or cloud files) hold their data in place. Only the directory
// entry carries the tag; one that cannot be read counts as a link.
bool IsLinkReparsePoint(const std::u16string& longPath) {
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileExW(W(longPath), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (h == INVALID_HANDLE_VALUE) return true;
    FindClose(h);
    return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 || IsReparseTagNameSurrogate(found.dwReserved0);
}

class Win32ReadFile : public FsReadFile {
public:
    Win32ReadFile(FileHandle h, std::uint64_t size, std::u16string path)
        : m_h(std::move(h)), m_size(size), m_path(std::move(path)) {}
    std::uint64_t Size() const override { return m_size; }
    FsResult ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override {
        char* p = static_cast<char*>(buffer);
        while (size != 0) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(offset);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            const DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
            DWORD got = 0;
            if (!ReadFile(m_h.Get(), p, want, &got, &at)) return LastError(u"cannot read", m_path);
            if (got == 0) return FsResult::Fail(FsCode::Other, m_path + u": file ends early");
            p += got;
            size -= got;
            offset += got;
        }
        return FsResult::Success();
    }

private:
    FileHandle m_h;
    std::uint64_t m_size;
    std::u16string m_path;
};

class Win32WriteFile : public FsWriteFile {
public:
    Win32WriteFile(FileHandle h, std::u16string path) : m_h(std::move(h)), m_path(std::move(path)) {}
    FsResult Write(const void* data, std::size_t size) override {
        const char* p = static_cast<const char*>(data);
        while (size != 0) {
            const DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
            DWORD put = 0;
            if (!WriteFile(m_h.Get(), p, want, &put, nullptr)) return LastError(u"cannot write", m_path);
            if (put == 0) return FsResult::Fail(FsCode::Other, u"cannot write " + m_path);
            p += put;
            size -= put;
        }
        return FsResult::Success();
    }
    FsResult Finish(bool flush) override {
        if (flush && !FlushFileBuffers(m_h.Get())) return LastError(u"cannot flush", m_path);
        if (!m_h.Close()) return LastError(u"cannot close", m_path);
        return FsResult::Success();
    }

private:
    FileHandle m_h;
    std::u16string m_path;
};

class Win32FileSystem : public FileSystem {
public:
    char16_t Separator() const override { return u'\\'; }

    FsResult Stat(const std::u16string& path, FsInfo& info) override {
        info = FsInfo{};
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(W(Long(path)), GetFileExInfoStandard, &data)) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return FsResult::Success();
            SetLastError(error);
            return LastError(u"cannot examine", path);
        }
        info.exists = true;
        info.link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsLinkReparsePoint(Long(path));
        info.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        info.readOnly = !info.directory && (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
        info.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        return FsResult::Success();
    }

    FsResult OpenForRead(const std::u16string& path, std::unique_ptr<FsReadFile>& file) override {
        FileHandle h(CreateFileW(W(Long(path)), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!h.Valid()) return LastError(u"cannot open", path);
        LARGE_INTEGER size;
        if (!GetFileSizeEx(h.Get(), &size)) return LastError(u"cannot open", path);
        file = std::make_unique<Win32ReadFile>(std::move(h), static_cast<std::uint64_t>(size.QuadPart), path);
        return FsResult::Success();
    }

    // Read sharing only: no other process may write, delete or rename the file
    // while it is held. The reparse point itself is opened, and refused.
    FsResult OpenExclusive(const std::u16string& path, std::unique_ptr<FsReadFile>& file) override {
        FileHandle h(CreateFileW(W(Long(path)), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!h.Valid()) return LastError(u"cannot open", path);
        BY_HANDLE_FILE_INFORMATION about;
        if (!GetFileInformationByHandle(h.Get(), &about)) return LastError(u"cannot open", path);
        if ((about.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
            GetFileType(h.Get()) != FILE_TYPE_DISK)
            return FsResult::Fail(FsCode::AccessDenied, u"cannot open " + path + u": not a file");
        const std::uint64_t size = (static_cast<std::uint64_t>(about.nFileSizeHigh) << 32) | about.nFileSizeLow;
        file = std::make_unique<Win32ReadFile>(std::move(h), size, path);
        return FsResult::Success();
    }

    FsResult CreateNewFile(const std::u16string& path, std::unique_ptr<FsWriteFile>& file) override {
        FileHandle h(CreateFileW(W(Long(path)), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!h.Valid()) return LastError(u"cannot create", path);
        file = std::make_unique<Win32WriteFile>(std::move(h), path);
        return FsResult::Success();
    }

    FsResult MakeDirectory(const std::u16string& path, bool hidden) override {
        const std::u16string p = Long(path);
        if (!CreateDirectoryW(W(p), nullptr)) return LastError(u"cannot create folder", path);
        if (hidden) SetFileAttributesW(W(p), FILE_ATTRIBUTE_HIDDEN);
        return FsResult::Success();
    }

    // A link to a folder is removed as a link; the attributes of what it
    // leads to are left alone.
    FsResult RemoveEmptyDirectory(const std::u16string& path) override {
        const std::u16string p = Long(path);
        const DWORD attributes = GetFileAttributesW(W(p));
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
            SetFileAttributesW(W(p), FILE_ATTRIBUTE_NORMAL);
        if (!RemoveDirectoryW(W(p))) return LastError(u"cannot remove folder", path);
        return FsResult::Success();
    }

    FsResult RemoveFile(const std::u16string& path) override {
        if (!DeleteFileW(W(Long(path)))) return LastError(u"cannot delete", path);
        return FsResult::Success();
    }

    FsResult Rename(const std::u16string& from, const std::u16string& to) override {
        // Not written through: FlushFolders makes the names durable, all at once.
        if (!MoveFileExW(W(Long(from)), W(Long(to)), 0)) return LastError(u"cannot move", from);
        return FsResult::Success();
    }

    // The data was written through the cache while staging; by now most of it
    // is on the disk and each flush only waits for the rest.
    FsResult FlushFiles(const std::vector<std::u16string>& paths) override {
        for (const std::u16string& path : paths) {
            FileHandle h(CreateFileW(W(Long(path)), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                     nullptr));
            if (!h.Valid()) return LastError(u"cannot open", path);
            if (!FlushFileBuffers(h.Get())) return LastError(u"cannot flush", path);
        }
        return FsResult::Success();
    }

    FsResult HardLink(const std::u16string& existing, const std::u16string& link) override {
        if (!CreateHardLinkW(W(Long(link)), W(Long(existing)), nullptr)) return LastError(u"cannot link", existing);
        return FsResult::Success();
    }

    FsResult FlushFolders(const std::vector<std::u16string>& folders) override {
        for (const std::u16string& folder : folders) {
            FileHandle h(CreateFileW(W(Long(folder)), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr));
            if (h.Valid() && FlushFileBuffers(h.Get())) continue;
            const DWORD error = GetLastError();
            if (!h.Valid() && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) continue;
            // A file system that does not flush a folder: its whole volume is
            // flushed instead (which needs administrator rights; the updater has them).
            wchar_t volume[MAX_PATH] = {};
            if (!GetVolumePathNameW(W(folder), volume, MAX_PATH)) return LastError(u"cannot flush", folder);
            std::wstring device = L"\\\\.\\" + std::wstring(volume);
            while (!device.empty() && device.back() == L'\\') device.pop_back();
            FileHandle v(CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
            if (!v.Valid() || !FlushFileBuffers(v.Get())) return LastError(u"cannot flush", folder);
        }
        return FsResult::Success();
    }

    FsResult Replace(const std::u16string& from, const std::u16string& to) override {
        if (!MoveFileExW(W(Long(from)), W(Long(to)), MOVEFILE_REPLACE_EXISTING)) {
            FsResult r = LastError(u"cannot move", from);
            if (r.code == FsCode::AccessDenied) r.code = FsCode::InUse;
            return r;
        }
        return FsResult::Success();
    }

    // Deleting fails for a read-only file, for a file open in any process
    // (unless opened with delete sharing) and for a running program's image,
    // while renaming would succeed for some of these. An exclusive open for
    // reading, writing and deletion fails in all of them, so it stands in for
    // the deletion.
    FsResult CheckReplaceable(const std::u16string& path) override {
        const std::u16string p = Long(path);
        const DWORD attributes = GetFileAttributesW(W(p));
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
            return FsResult::Fail(FsCode::InUse, path + u" is read-only");
        FileHandle probe(CreateFileW(W(p), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!probe.Valid()) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND) return FsResult::Success();
            FsResult r = FsResult::Fail(CodeOf(error), u"cannot replace " + path + u": " + SystemText(error));
            if (r.code == FsCode::AccessDenied) r.code = FsCode::InUse;
            return r;
        }
        return FsResult::Success();
    }

    FsResult MoveAside(const std::u16string& from, const std::u16string& to) override {
        FsResult r = CheckReplaceable(from);
        if (r) r = Rename(from, to);
        if (r.code == FsCode::AccessDenied) r.code = FsCode::InUse;
        return r;
    }

    FsResult ListFolder(const std::u16string& folder, const std::u16string& prefix,
                        std::vector<std::u16string>& names) override {
        names.clear();
        WIN32_FIND_DATAW found;
        const std::u16string pattern = JoinPath(*this, Long(folder), prefix + u"*");
        HANDLE h = FindFirstFileExW(W(pattern), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_NOT_FOUND) return FsResult::Success();
            return LastError(u"cannot list", folder);
        }
        do {
            const std::u16string name(reinterpret_cast<const char16_t*>(found.cFileName));
            // The pattern also matches short 8.3 names: the long name decides.
            const bool match = name.size() >= prefix.size() &&
                               CompareStringOrdinal(W(name), static_cast<int>(prefix.size()), W(prefix),
                                                    static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
            if (match && name != u"." && name != u"..") names.push_back(name);
        } while (FindNextFileW(h, &found));
        FindClose(h);
        return FsResult::Success();
    }

    FsResult RemoveAtRestart(const std::u16string& path) override {
        if (!MoveFileExW(W(Long(path)), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
            return LastError(u"cannot schedule the deletion of", path);
        return FsResult::Success();
    }
};

}  // namespace

FileSystem& PlatformFileSystem() {
    static Win32FileSystem fs;
    return fs;
}
