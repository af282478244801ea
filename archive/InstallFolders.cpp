#include "InstallFolders.h"

#include <chrono>
#include <random>

#include "EntryName.h"
#include "InstallEngine.h"

namespace {

// Deeper than any folder the engine makes; a hostile tree ends here.
constexpr int kMaxDepth = 32;

FsResult RemoveTree(FileSystem& fs, const std::u16string& folder, int depth) {
    FsInfo info;
    FsResult r = StatNoLink(fs, folder, info);
    if (!r || !info.exists) return r;
    if (!info.directory) return FsResult::Fail(FsCode::Other, folder + u" is not a folder");
    std::vector<std::u16string> names;
    if (fs.ListFolder(folder, u"", names)) {
        for (const std::u16string& name : names) {
            const std::u16string path = JoinPath(fs, folder, name);
            FsInfo entry;
            if (!fs.Stat(path, entry) || !entry.exists) continue;
            if (entry.link) {
                // A link to a folder is removed as a folder on Windows.
                if (!fs.RemoveFile(path)) fs.RemoveEmptyDirectory(path);
            } else if (entry.directory) {
                if (depth < kMaxDepth) RemoveTree(fs, path, depth + 1);
            } else {
                fs.RemoveFile(path);
            }
        }
    }
    return fs.RemoveEmptyDirectory(folder);
}

}  // namespace

FsResult StatNoLink(FileSystem& fs, const std::u16string& path, FsInfo& info) {
    FsResult r = fs.Stat(path, info);
    if (r && info.link)
        return FsResult::Fail(FsCode::Other, path + u" is a symbolic link or junction; the updater follows no links");
    return r;
}

std::u16string RandomSuffix() {
    std::uint64_t x = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    x ^= static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) << 17;
    try {
        std::random_device rd;
        x ^= (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
    } catch (...) {
        // No entropy source: the clocks above must do; a clash is retried.
    }
    std::mt19937_64 mix(x);
    const std::uint64_t v = mix();
    std::u16string s;
    for (int i = 0; i < 12; ++i) s += u"0123456789abcdef"[(v >> (i * 4)) & 0xF];
    return s;
}

FsResult MakeHiddenFolder(FileSystem& fs, const std::u16string& destination, const char16_t* prefix,
                          std::u16string& folder) {
    folder.clear();
    FsInfo info;
    FsResult r = StatNoLink(fs, destination, info);
    if (!r) return r;
    if (!info.exists || !info.directory)
        return FsResult::Fail(FsCode::NotFound, u"destination folder " + destination + u" does not exist");
    std::u16string path;
    for (int attempt = 0; attempt < 16; ++attempt) {
        path = JoinPath(fs, destination, prefix + RandomSuffix());
        r = fs.MakeDirectory(path, true);
        if (r.code != FsCode::Exists) break;
    }
    if (r) folder = path;
    return r;
}

FsResult RemoveFolderTree(FileSystem& fs, const std::u16string& folder) { return RemoveTree(fs, folder, 0); }

void RemoveOldProgram(FileSystem& fs, const std::u16string& path) {
    FsInfo info;
    if (!fs.Stat(path, info) || !info.exists) return;
    if (!fs.RemoveFile(path)) fs.RemoveAtRestart(path);
}

FsResult MakeDownloadFolder(FileSystem& fs, const std::u16string& destination, std::u16string& folder) {
    return MakeHiddenFolder(fs, destination, kDownloadFolderPrefix, folder);
}

void RemoveDownloadFolder(FileSystem& fs, const std::u16string& folder) { RemoveFolderTree(fs, folder); }

FsResult FolderMaker::Ensure(const std::u16string& relative, bool includeLast) {
    std::size_t end = 0;
    for (;;) {
        end = relative.find(u'/', end ? end + 1 : 0);
        if (end == std::u16string::npos && !includeLast) return FsResult::Success();
        const std::u16string prefix = relative.substr(0, end);
        if (!m_known.count(prefix)) {
            const std::u16string folder = m_journal.Full(prefix);
            FsInfo info;
            FsResult r = StatNoLink(m_fs, folder, info);
            if (!r) return r;
            if (info.exists && !info.directory)
                return FsResult::Fail(FsCode::Exists, u"cannot create folder " + folder + u": a file has that name");
            if (!info.exists) {
                r = m_fs.MakeDirectory(folder, false);
                if (!r) return r;
                created.push_back(prefix);
            }
            m_known.insert(prefix);
        }
        if (end == std::u16string::npos) return FsResult::Success();
    }
}

FsResult FolderMaker::CheckWay(const std::u16string& relative) {
    for (std::size_t end = relative.find(u'/'); end != std::u16string::npos; end = relative.find(u'/', end + 1)) {
        const std::u16string prefix = relative.substr(0, end);
        if (m_known.count(prefix)) continue;
        FsInfo info;
        FsResult r = StatNoLink(m_fs, m_journal.Full(prefix), info);
        if (!r) return r;
        if (!info.exists || !info.directory) break;
        m_known.insert(prefix);
    }
    return FsResult::Success();
}

bool FolderMaker::RemoveEmpty(const std::vector<std::u16string>& folders) {
    bool ok = true;
    for (auto d = folders.rbegin(); d != folders.rend(); ++d) {
        FsInfo info;
        if (StatNoLink(m_fs, m_journal.Full(*d), info) && info.exists &&
            !m_fs.RemoveEmptyDirectory(m_journal.Full(*d)))
            ok = false;
    }
    return ok;
}
