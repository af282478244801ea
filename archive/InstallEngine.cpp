#include "InstallEngine.h"

#include <chrono>
#include <map>
#include <random>
#include <set>
#include <unordered_set>

namespace {

std::u16string Num(std::uint64_t v) { return FormatText(u"%llu", {static_cast<unsigned long long>(v)}); }

InstallResult Fail(InstallStatus status, std::u16string reason, std::u16string path = {}) {
    InstallResult r;
    r.status = status;
    r.reason = std::move(reason);
    r.path = std::move(path);
    return r;
}

std::u16string EntryLabel(const CZipArchive& archive, ZIP_INDEX_TYPE index) {
    std::u16string label = u"entry " + Num(index);
    if (const CZipFileHeader* h = archive.GetEntry(index)) {
        if (h->IsNameDecoded()) label += u" \"" + h->GetFileName() + u"\"";
    }
    return label;
}

InstallResult Refuse(const CZipArchive& archive, const ZipResult& zr) {
    InstallResult r;
    r.status = zr.status == ZipStatus::WriteError || zr.status == ZipStatus::FileError ? InstallStatus::IoError
                                                                                        : InstallStatus::Damaged;
    r.archive = zr;
    std::u16string text = zr.message.empty() ? zr.ToText() : zr.message;
    r.reason = zr.entry != ZipResult::kNoEntry ? EntryLabel(archive, static_cast<ZIP_INDEX_TYPE>(zr.entry)) + u": " + text
                                               : text;
    return r;
}

class NullSink : public ZipSink {
public:
    bool Write(const void*, std::size_t, std::u16string&) override { return true; }
};

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

// One file entry on its way into the destination.
struct FileStep {
    ZIP_INDEX_TYPE index = 0;
    std::u16string target;
    std::u16string staged;
    std::u16string backup;
    bool hasStaged = false;
    bool skip = false;       // the target is an existing folder: left alone
    bool movedAside = false;
    bool placed = false;
};

class Installer {
public:
    Installer(CZipArchive& archive, FileSystem& fs, const std::u16string& destination, const InstallOptions& options)
        : m_archive(archive), m_fs(fs), m_dest(destination), m_options(options) {}

    InstallResult Run();

private:
    std::u16string Target(const EntryPath& path, std::size_t count) const {
        return JoinPath(m_fs, m_dest, JoinSegments(path.segments, count, m_fs.Separator()));
    }
    FsResult MakeWorkFolder();
    InstallResult Stage();
    InstallResult MoveOldFilesAside();
    InstallResult PlaceNewFiles();
    FsResult EnsureFolders(const EntryPath& path, std::size_t count);
    // Puts every moved-aside file back; false when one could not be.
    bool RestoreOldFiles();
    bool Undo();
    // Removes what is left of the work folder; keeps old files when `keepBackups`.
    void RemoveWorkFolder(bool keepBackups);
    InstallResult Broken(std::u16string reason);

    CZipArchive& m_archive;
    FileSystem& m_fs;
    std::u16string m_dest;
    const InstallOptions& m_options;
    PackagePlan m_plan;
    std::u16string m_work;
    std::vector<FileStep> m_files;
    std::vector<std::u16string> m_createdFolders;
    std::unordered_set<std::u16string> m_knownFolders;
    bool m_broken = false;  // an undo failed: the work folder keeps the old files
};

FsResult Installer::MakeWorkFolder() {
    FsResult r;
    for (int attempt = 0; attempt < 16; ++attempt) {
        m_work = JoinPath(m_fs, m_dest, std::u16string(kWorkFolderPrefix) + RandomSuffix());
        r = m_fs.MakeDirectory(m_work, true);
        if (r.code != FsCode::Exists) return r;
    }
    return r;
}

InstallResult Installer::Stage() {
    // Folder entries have no data, but their local headers are compared too:
    // a damaged name in the directory must not create a folder.
    NullSink none;
    for (const PackagePlan::Item& item : m_plan.items) {
        if (!item.path.directory) continue;
        ZipResult zr = m_archive.ExtractFile(item.index, none, m_options.bufferSize);
        if (!zr) return Refuse(m_archive, zr);
    }
    std::uint64_t done = 0;
    std::vector<std::u16string> staged;
    staged.reserve(m_files.size());
    for (FileStep& f : m_files) {
        ZipResult zr = m_archive.ExtractFile(f.index, m_fs, f.staged, false, m_options.bufferSize);
        if (!zr) return Refuse(m_archive, zr);
        f.hasStaged = true;
        staged.push_back(f.staged);
        done += m_archive.GetEntry(f.index)->GetUncompressedSize();
        if (m_options.progress) m_options.progress(done, m_plan.totalSize);
    }
    if (m_options.flush) {
        FsResult r = m_fs.FlushFiles(staged);
        if (!r) return Fail(InstallStatus::IoError, r.message);
    }
    return InstallResult{};
}

InstallResult Installer::MoveOldFilesAside() {
    for (FileStep& f : m_files) {
        FsInfo info;
        FsResult r = m_fs.Stat(f.target, info);
        if (!r) {
            if (!RestoreOldFiles()) return Broken(r.message);
            return Fail(InstallStatus::IoError, r.message, f.target);
        }
        if (!info.exists) continue;
        if (info.directory) {
            f.skip = true;
            continue;
        }
        r = info.readOnly ? FsResult::Fail(FsCode::InUse, f.target + u" is read-only") : m_fs.MoveAside(f.target, f.backup);
        if (!r) {
            if (!RestoreOldFiles()) return Broken(r.message);
            if (r.code == FsCode::InUse) return Fail(InstallStatus::InUse, u"file in use: " + f.target, f.target);
            return Fail(InstallStatus::IoError, r.message, f.target);
        }
        f.movedAside = true;
    }
    return InstallResult{};
}

FsResult Installer::EnsureFolders(const EntryPath& path, std::size_t count) {
    for (std::size_t i = 1; i <= count; ++i) {
        const std::u16string folder = Target(path, i);
        if (m_knownFolders.count(folder)) continue;
        FsInfo info;
        FsResult r = m_fs.Stat(folder, info);
        if (!r) return r;
        if (info.exists && !info.directory)
            return FsResult::Fail(FsCode::Exists, u"cannot create folder " + folder + u": a file has that name");
        if (!info.exists) {
            r = m_fs.MakeDirectory(folder, false);
            if (!r) return r;
            m_createdFolders.push_back(folder);
        }
        m_knownFolders.insert(folder);
    }
    return FsResult::Success();
}

InstallResult Installer::PlaceNewFiles() {
    std::size_t next = 0;
    for (const PackagePlan::Item& item : m_plan.items) {
        FsResult r;
        if (item.path.directory) {
            r = EnsureFolders(item.path, item.path.segments.size());
        } else {
            FileStep& f = m_files[next++];
            if (f.skip) continue;
            r = EnsureFolders(item.path, item.path.segments.size() - 1);
            if (r) r = m_fs.Rename(f.staged, f.target);
            if (r) f.placed = true;
        }
        if (!r) {
            if (!Undo()) return Broken(r.message);
            return Fail(InstallStatus::IoError, r.message);
        }
    }
    return InstallResult{};
}

bool Installer::RestoreOldFiles() {
    bool ok = true;
    for (auto f = m_files.rbegin(); f != m_files.rend(); ++f) {
        if (!f->movedAside) continue;
        if (m_fs.Rename(f->backup, f->target)) f->movedAside = false;
        else ok = false;
    }
    return ok;
}

bool Installer::Undo() {
    bool ok = true;
    for (auto f = m_files.rbegin(); f != m_files.rend(); ++f) {
        if (!f->placed) continue;
        // Back into the work folder, where the clean-up removes it.
        if (m_fs.Rename(f->target, f->staged)) f->placed = false;
        else if (m_fs.RemoveFile(f->target)) { f->placed = false; f->hasStaged = false; }
        else ok = false;
    }
    if (!ok) return false;
    for (auto d = m_createdFolders.rbegin(); d != m_createdFolders.rend(); ++d)
        if (!m_fs.RemoveEmptyDirectory(*d)) ok = false;
    m_createdFolders.clear();
    return RestoreOldFiles() && ok;
}

void Installer::RemoveWorkFolder(bool keepBackups) {
    bool empty = true;
    for (FileStep& f : m_files) {
        if (f.hasStaged && !f.placed) {
            if (m_fs.RemoveFile(f.staged)) f.hasStaged = false;
            else empty = false;
        }
        if (f.movedAside) {
            if (!keepBackups && m_fs.RemoveFile(f.backup)) f.movedAside = false;
            else empty = false;
        }
    }
    if (empty) m_fs.RemoveEmptyDirectory(m_work);
}

InstallResult Installer::Broken(std::u16string reason) {
    m_broken = true;
    RemoveWorkFolder(true);
    return Fail(InstallStatus::IoError,
                reason + u"; the change could not be fully undone, the old files are kept in " + m_work);
}

InstallResult Installer::Run() {
    // "dir/" and "dir" are one folder; a root ("/", "C:\") keeps its separator.
    while (m_dest.size() > 1 && (m_dest.back() == m_fs.Separator() || m_dest.back() == u'/') &&
           !(m_dest.size() == 3 && m_dest[1] == u':'))
        m_dest.pop_back();
    if (m_dest.empty()) return Fail(InstallStatus::IoError, u"no destination folder");
    InstallResult checked = CheckPackage(m_archive, m_plan);
    if (!checked.ok()) return checked;

    FsInfo info;
    FsResult r = m_fs.Stat(m_dest, info);
    if (!r) return Fail(InstallStatus::IoError, r.message);
    if (!info.exists || !info.directory)
        return Fail(InstallStatus::IoError, u"destination folder " + m_dest + u" does not exist");
    m_knownFolders.insert(m_dest);

    r = MakeWorkFolder();
    if (!r) return Fail(InstallStatus::IoError, r.message);
    const char16_t sep = m_fs.Separator();
    for (const PackagePlan::Item& item : m_plan.items) {
        if (item.path.directory) continue;
        FileStep f;
        f.index = item.index;
        f.target = Target(item.path, item.path.segments.size());
        f.staged = m_work + sep + u"n" + Num(item.index);
        f.backup = m_work + sep + u"o" + Num(item.index);
        m_files.push_back(std::move(f));
    }

    InstallResult result = Stage();
    if (result.ok()) result = MoveOldFilesAside();
    if (result.ok()) result = PlaceNewFiles();
    if (!m_broken) RemoveWorkFolder(false);
    if (result.ok()) {
        FsInfo left;
        if (m_fs.Stat(m_work, left).ok() && left.exists)
            result.reason = u"installed; some old files could not be deleted and stay in " + m_work;
    }
    return result;
}

}  // namespace

const char* InstallStatusName(InstallStatus status) {
    switch (status) {
    case InstallStatus::Installed: return "installed";
    case InstallStatus::InUse: return "in-use";
    case InstallStatus::Damaged: return "damaged";
    case InstallStatus::IoError: return "io-error";
    }
    return "unknown";
}

InstallResult CheckPackage(const CZipArchive& archive, PackagePlan& plan) {
    plan = PackagePlan{};
    // Folded full paths: files, and folders (named or implied by a file's path).
    std::map<std::u16string, ZIP_INDEX_TYPE> files;
    std::map<std::u16string, ZIP_INDEX_TYPE> folders;
    const ZIP_INDEX_TYPE count = archive.GetCount();
    plan.items.reserve(count);
    for (ZIP_INDEX_TYPE i = 0; i < count; ++i) {
        ZipResult zr = archive.CheckEntry(i);
        if (!zr) return Refuse(archive, zr);
        const CZipFileHeader& h = *archive.GetEntry(i);
        PackagePlan::Item item;
        item.index = i;
        std::u16string why;
        if (!ParseEntryName(h.GetFileName(), item.path, why))
            return Refuse(archive, ZipResult::Fail(ZipStatus::UnsafeName, h.GetCentralHeaderOffset(), why, i));
        if (h.IsDirectory()) item.path.directory = true;
        if (item.path.segments.empty()) continue;  // "./": the destination itself

        const std::size_t n = item.path.segments.size();
        const std::size_t parents = item.path.directory ? n : n - 1;
        for (std::size_t k = 1; k <= parents; ++k) {
            const std::u16string key = FoldForComparison(JoinSegments(item.path.segments, k, u'/'));
            auto clash = files.find(key);
            if (clash != files.end())
                return Refuse(archive, ZipResult::Fail(ZipStatus::Damaged, h.GetCentralHeaderOffset(),
                                                       u"a folder of this path is a file in " +
                                                           EntryLabel(archive, clash->second),
                                                       i));
            folders.emplace(key, i);
        }
        if (!item.path.directory) {
            const std::u16string key = FoldForComparison(JoinSegments(item.path.segments, n, u'/'));
            auto asFolder = folders.find(key);
            if (asFolder != folders.end())
                return Refuse(archive, ZipResult::Fail(ZipStatus::Damaged, h.GetCentralHeaderOffset(),
                                                       u"names a folder of " + EntryLabel(archive, asFolder->second), i));
            auto same = files.emplace(key, i);
            if (!same.second)
                return Refuse(archive, ZipResult::Fail(ZipStatus::Damaged, h.GetCentralHeaderOffset(),
                                                       u"names the same file as " + EntryLabel(archive, same.first->second),
                                                       i));
            plan.totalSize += h.GetUncompressedSize();
        }
        plan.items.push_back(std::move(item));
    }
    const ZipLimits& limits = archive.GetLimits();
    const std::uint64_t size = archive.GetArchiveSize();
    const std::uint64_t byRatio =
        size > (UINT64_MAX - limits.totalSlack) / std::max<std::uint64_t>(limits.maxTotalRatio, 1)
            ? UINT64_MAX
            : size * limits.maxTotalRatio + limits.totalSlack;
    if (plan.totalSize > byRatio || plan.totalSize > limits.maxTotalSize)
        return Refuse(archive, ZipResult::Fail(ZipStatus::TooLarge, 0,
                                               u"entries declare " + Num(plan.totalSize) + u" bytes in all, more than " +
                                                   Num(std::min(byRatio, limits.maxTotalSize)) +
                                                   u" allowed for an archive of " + Num(size) + u" bytes"));
    return InstallResult{};
}

InstallResult VerifyPackage(CZipArchive& archive, const InstallOptions& options) {
    PackagePlan plan;
    InstallResult checked = CheckPackage(archive, plan);
    if (!checked.ok()) return checked;
    NullSink sink;
    for (const PackagePlan::Item& item : plan.items) {
        ZipResult zr = archive.ExtractFile(item.index, sink, options.bufferSize);
        if (!zr) return Refuse(archive, zr);
    }
    return InstallResult{};
}

InstallResult InstallArchive(CZipArchive& archive, FileSystem& fs, const std::u16string& destination,
                             const InstallOptions& options) {
    Installer installer(archive, fs, destination, options);
    return installer.Run();
}

InstallResult InstallPackage(FileSystem& fs, const std::u16string& packagePath, const std::u16string& destination,
                             const InstallOptions& options) {
    CZipArchive archive;
    archive.SetFileSystem(&fs);
    archive.SetNameDecoder(options.nameDecoder);
    archive.SetLimits(options.limits);
    ZipResult opened = archive.Open(packagePath);
    if (!opened) return Refuse(archive, opened);
    return InstallArchive(archive, fs, destination, options);
}
