#include "FileSystem.h"

#include <algorithm>

std::u16string JoinPath(const FileSystem& fs, const std::u16string& dir, const std::u16string& name) {
    const char16_t sep = fs.Separator();
    if (dir.empty()) return name;
    if (dir.back() == sep || dir.back() == u'/') return dir + name;
    std::u16string path = dir;
    path += sep;
    path += name;
    return path;
}

std::u16string FolderOf(const FileSystem& fs, const std::u16string& path) {
    const std::size_t at = path.find_last_of(fs.Separator() == u'/' ? u"/" : u"\\/");
    return at == std::u16string::npos ? std::u16string() : path.substr(0, at);
}

FsResult FileSystem::MoveAside(const std::u16string& from, const std::u16string& to) {
    FsResult r = CheckReplaceable(from);
    return r ? Rename(from, to) : r;
}

FsResult FileSystem::RemoveAtRestart(const std::u16string& path) {
    return FsResult::Fail(FsCode::Other, u"cannot delete " + path + u" later on this system");
}

namespace {

// Writes what `fill` produces into a new file and flushes it; removes the file
// on any failure.
template <typename Fill>
FsResult WriteFlushed(FileSystem& fs, const std::u16string& to, Fill fill) {
    std::unique_ptr<FsWriteFile> out;
    FsResult r = fs.CreateNewFile(to, out);
    if (!r) return r;
    r = fill(*out);
    if (r) r = out->Finish(true);
    out.reset();
    if (!r) fs.RemoveFile(to);
    return r;
}

}  // namespace

FsResult CopyToNewFile(FileSystem& fs, const std::u16string& from, const std::u16string& to) {
    std::unique_ptr<FsReadFile> in;
    FsResult r = fs.OpenForRead(from, in);
    if (!r) return r;
    return WriteFlushed(fs, to, [&](FsWriteFile& out) {
        std::vector<char> buffer(256 * 1024);
        for (std::uint64_t at = 0, size = in->Size(); at < size;) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - at));
            FsResult step = in->ReadAt(at, buffer.data(), n);
            if (step) step = out.Write(buffer.data(), n);
            if (!step) return step;
            at += n;
        }
        return FsResult::Success();
    });
}

FsResult WriteNewFile(FileSystem& fs, const std::u16string& to, const std::string& data) {
    return WriteFlushed(fs, to, [&](FsWriteFile& out) { return out.Write(data.data(), data.size()); });
}

FsResult ReadWholeFile(FileSystem& fs, const std::u16string& path, std::string& data, std::uint64_t limit) {
    std::unique_ptr<FsReadFile> in;
    FsResult r = fs.OpenForRead(path, in);
    if (!r) return r;
    if (in->Size() > limit) return FsResult::Fail(FsCode::Other, path + u" is too large");
    data.resize(static_cast<std::size_t>(in->Size()));
    return data.empty() ? FsResult::Success() : in->ReadAt(0, &data[0], data.size());
}
