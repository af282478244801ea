// The file system of the native builds, over POSIX calls. Paths are UTF-16
// turned into UTF-8 at the call.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "CString.h"
#include "FileSystem.h"

namespace {

std::string Native(const std::u16string& path) { return Utf16ToUtf8(path); }

FsResult Errno(int error, const char16_t* what, const std::u16string& path) {
    FsCode code = FsCode::Other;
    switch (error) {
    case ENOENT: case ENOTDIR: code = FsCode::NotFound; break;
    case EEXIST: case ENOTEMPTY: code = FsCode::Exists; break;
    case EACCES: case EPERM: case EROFS: code = FsCode::AccessDenied; break;
    case ETXTBSY: case EBUSY: code = FsCode::InUse; break;
    case ENOSPC: case EDQUOT: code = FsCode::NoSpace; break;
    default: break;
    }
    return FsResult::Fail(code, std::u16string(what) + u" " + path + u": " + Utf8ToUtf16(strerror(error)));
}

class PosixReadFile : public FsReadFile {
public:
    PosixReadFile(int fd, std::uint64_t size) : m_fd(fd), m_size(size) {}
    ~PosixReadFile() override { close(m_fd); }
    PosixReadFile(const PosixReadFile&) = delete;
    PosixReadFile& operator=(const PosixReadFile&) = delete;

    std::uint64_t Size() const override { return m_size; }
    FsResult ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override {
        char* p = static_cast<char*>(buffer);
        while (size != 0) {
            const ssize_t n = pread(m_fd, p, size, static_cast<off_t>(offset));
            if (n < 0) {
                if (errno == EINTR) continue;
                return Errno(errno, u"cannot read", u"archive");
            }
            if (n == 0) return FsResult::Fail(FsCode::Other, u"file ends early");
            p += n;
            size -= static_cast<std::size_t>(n);
            offset += static_cast<std::uint64_t>(n);
        }
        return FsResult::Success();
    }

private:
    int m_fd;
    std::uint64_t m_size;
};

class PosixWriteFile : public FsWriteFile {
public:
    PosixWriteFile(int fd, std::u16string path) : m_fd(fd), m_path(std::move(path)) {}
    ~PosixWriteFile() override {
        if (m_fd >= 0) close(m_fd);
    }
    PosixWriteFile(const PosixWriteFile&) = delete;
    PosixWriteFile& operator=(const PosixWriteFile&) = delete;

    FsResult Write(const void* data, std::size_t size) override {
        const char* p = static_cast<const char*>(data);
        while (size != 0) {
            const ssize_t n = write(m_fd, p, size);
            if (n < 0) {
                if (errno == EINTR) continue;
                return Errno(errno, u"cannot write", m_path);
            }
            p += n;
            size -= static_cast<std::size_t>(n);
        }
        return FsResult::Success();
    }
    FsResult Finish(bool flush) override {
        if (flush && fsync(m_fd) != 0) return Errno(errno, u"cannot flush", m_path);
        const int fd = m_fd;
        m_fd = -1;
        if (close(fd) != 0) return Errno(errno, u"cannot close", m_path);
        return FsResult::Success();
    }

private:
    int m_fd;
    std::u16string m_path;
};

class PosixFileSystem : public FileSystem {
public:
    char16_t Separator() const override { return u'/'; }

    FsResult Stat(const std::u16string& path, FsInfo& info) override {
        info = FsInfo{};
        struct stat st;
        if (lstat(Native(path).c_str(), &st) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) return FsResult::Success();
            return Errno(errno, u"cannot examine", path);
        }
        info.exists = true;
        info.link = S_ISLNK(st.st_mode);
        info.directory = S_ISDIR(st.st_mode);
        info.readOnly = !info.link && (st.st_mode & 0222) == 0;
        info.size = static_cast<std::uint64_t>(st.st_size);
        return FsResult::Success();
    }

    FsResult OpenForRead(const std::u16string& path, std::unique_ptr<FsReadFile>& file) override {
        // Without waiting: a FIFO would hold the open until a writer came. Only
        // a regular file is kept, and read as usual.
        const int fd = open(Native(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return Errno(errno, u"cannot open", path);
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            return FsResult::Fail(FsCode::Other, u"cannot open " + path + u": not a file");
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        file = std::make_unique<PosixReadFile>(fd, static_cast<std::uint64_t>(st.st_size));
        return FsResult::Success();
    }

    // O_NONBLOCK: a FIFO put in the package's place must not block the open.
    FsResult OpenExclusive(const std::u16string& path, std::unique_ptr<FsReadFile>& file) override {
        const int fd = open(Native(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ELOOP) return FsResult::Fail(FsCode::AccessDenied, u"cannot open " + path + u": a link");
            return Errno(errno, u"cannot open", path);
        }
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            return FsResult::Fail(FsCode::AccessDenied, u"cannot open " + path + u": not a file");
        }
        file = std::make_unique<PosixReadFile>(fd, static_cast<std::uint64_t>(st.st_size));
        return FsResult::Success();
    }

    FsResult CreateNewFile(const std::u16string& path, std::unique_ptr<FsWriteFile>& file) override {
        const int fd = open(Native(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) return Errno(errno, u"cannot create", path);
        file = std::make_unique<PosixWriteFile>(fd, path);
        return FsResult::Success();
    }

    FsResult MakeDirectory(const std::u16string& path, bool) override {
        if (mkdir(Native(path).c_str(), 0777) != 0) return Errno(errno, u"cannot create folder", path);
        return FsResult::Success();
    }

    FsResult RemoveEmptyDirectory(const std::u16string& path) override {
        if (rmdir(Native(path).c_str()) != 0) return Errno(errno, u"cannot remove folder", path);
        return FsResult::Success();
    }

    FsResult RemoveFile(const std::u16string& path) override {
        if (unlink(Native(path).c_str()) != 0) return Errno(errno, u"cannot delete", path);
        return FsResult::Success();
    }

    FsResult Rename(const std::u16string& from, const std::u16string& to) override {
        const std::string target = Native(to);
        struct stat st;
        if (lstat(target.c_str(), &st) == 0) return FsResult::Fail(FsCode::Exists, to + u" exists");
        if (rename(Native(from).c_str(), target.c_str()) != 0) return Errno(errno, u"cannot move", from);
        return FsResult::Success();
    }

    FsResult HardLink(const std::u16string& existing, const std::u16string& link) override {
        if (::link(Native(existing).c_str(), Native(link).c_str()) != 0) {
            const int error = errno;
            if (error == EEXIST) return FsResult::Fail(FsCode::Exists, link + u" exists");
            return Errno(error, u"cannot link", existing);
        }
        return FsResult::Success();
    }

    FsResult FlushFolders(const std::vector<std::u16string>& folders) override {
        for (const std::u16string& folder : folders) {
            const int fd = open(Native(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0 && errno == ENOENT) continue;
            if (fd < 0) return Errno(errno, u"cannot open", folder);
            const int r = fsync(fd);
            const int error = errno;
            close(fd);
            if (r != 0) return Errno(error, u"cannot flush", folder);
        }
        return FsResult::Success();
    }

    FsResult FlushFiles(const std::vector<std::u16string>& paths) override {
        if (paths.empty()) return FsResult::Success();
#ifdef __linux__
        // One syncfs covers every file of the volume.
        const int fd = open(Native(paths.front()).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return Errno(errno, u"cannot open", paths.front());
        const int r = syncfs(fd);
        const int error = errno;
        close(fd);
        if (r != 0) return Errno(error, u"cannot flush", paths.front());
#else
        for (const std::u16string& path : paths) {
            const int fd = open(Native(path).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) return Errno(errno, u"cannot open", path);
            const int r = fsync(fd);
            const int error = errno;
            close(fd);
            if (r != 0) return Errno(error, u"cannot flush", path);
        }
#endif
        return FsResult::Success();
    }

    FsResult Replace(const std::u16string& from, const std::u16string& to) override {
        if (rename(Native(from).c_str(), Native(to).c_str()) != 0) return Errno(errno, u"cannot move", from);
        return FsResult::Success();
    }

    // POSIX has no share modes: only the read-only state stops a deletion here.
    FsResult CheckReplaceable(const std::u16string& path) override {
        FsInfo info;
        FsResult r = Stat(path, info);
        if (!r) return r;
        if (info.exists && info.readOnly) return FsResult::Fail(FsCode::InUse, path + u" is read-only");
        return FsResult::Success();
    }

    FsResult ListFolder(const std::u16string& folder, const std::u16string& prefix,
                        std::vector<std::u16string>& names) override {
        names.clear();
        DIR* dir = opendir(Native(folder).c_str());
        if (dir == nullptr) return Errno(errno, u"cannot list", folder);
        const std::string start = Native(prefix);
        while (const dirent* e = readdir(dir)) {
            const std::string name = e->d_name;
            if (name == "." || name == ".." || name.compare(0, start.size(), start) != 0) continue;
            names.push_back(Utf8ToUtf16(name));
        }
        closedir(dir);
        return FsResult::Success();
    }
};

}  // namespace

FileSystem& PlatformFileSystem() {
    static PosixFileSystem fs;
    return fs;
}
