#include "InstallEngine.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "InstallFolders.h"
#include "InstallJournal.h"

namespace {

// Within a large entry the progress callback is called at least this often.
constexpr std::uint64_t kProgressStep = std::uint64_t{4} << 20;

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

// Writes an entry into its staged file and tells the progress callback at
// every kProgressStep bytes; the callback's false stops the extraction.
class StagingSink : public ZipSink {
public:
    using Progress = std::function<bool(std::uint64_t, std::uint64_t)>;
    StagingSink(FsWriteFile& file, const Progress& progress, std::uint64_t done, std::uint64_t total)
        : m_file(file), m_progress(progress), m_done(done), m_total(total) {}

    bool Write(const void* data, std::size_t size, std::u16string& why) override {
        const char* p = static_cast<const char*>(data);
        while (size != 0) {
            const std::size_t n =
                m_progress ? static_cast<std::size_t>(std::min<std::uint64_t>(size, kProgressStep - m_sinceReport))
                           : size;
            FsResult r = m_file.Write(p, n);
            if (!r) {
                why = r.message;
                return false;
            }
            p += n;
            size -= n;
            m_done += n;
            m_sinceReport += n;
            if (m_sinceReport == kProgressStep) {
                m_sinceReport = 0;
                if (!m_progress(m_done, m_total)) {
                    m_cancelled = true;
                    why = u"cancelled";
                    return false;
                }
            }
        }
        return true;
    }
    bool Cancelled() const { return m_cancelled; }

private:
    FsWriteFile& m_file;
    const Progress& m_progress;
    std::uint64_t m_done;
    std::uint64_t m_total;
    std::uint64_t m_sinceReport = 0;
    bool m_cancelled = false;
};

InstallStatus StatusOf(const FsResult& r) {
    return r.code == FsCode::InUse ? InstallStatus::InUse : InstallStatus::IoError;
}

}  // namespace

class Installer {
public:
    Installer(FileSystem& fs, const std::u16string& destination, const InstallOptions& options)
        : m_fs(fs), m_dest(destination), m_options(options) {}
    ~Installer() {
        // A commit that went through, or whose undo failed, is left to Finish or to recovery.
        if (m_state == State::Prepared) RemoveFolderTree(m_fs, m_work);
    }

    InstallResult Prepare(CZipArchive& archive);
    InstallResult PrepareFile(const std::u16string& packagePath) {
        CZipArchive archive;
        archive.SetFileSystem(&m_fs);
        archive.SetNameDecoder(m_options.nameDecoder);
        archive.SetLimits(m_options.limits);
        ZipResult opened = archive.Open(packagePath);
        if (!opened) return Refuse(archive, opened);
        return Prepare(archive);
    }
    InstallResult Commit();
    InstallResult Finish();

private:
    enum class State { Empty, Prepared, Committed, Broken, Done };

    InstallResult Survey();
    InstallResult Stage(CZipArchive& archive);
    InstallResult StageFile(CZipArchive& archive, const FileStep& f, std::uint64_t done);
    InstallResult MoveOldFilesAside();
    InstallResult PlaceNewFiles(FolderMaker& folders);
    InstallResult SwapLastFile(FolderMaker& folders);
    FsResult Place(FileStep& f, FolderMaker& folders);
    bool RestoreOldFiles();
    bool Undo(FolderMaker& folders);
    // After a failure: undoes what the commit did and removes the journal, or
    // keeps everything for recovery when the undo fails.
    InstallResult Abandon(InstallStatus status, const FsResult& why, FolderMaker* folders,
                          const std::u16string& path = {});

    FileSystem& m_fs;
    std::u16string m_dest;
    InstallOptions m_options;
    State m_state = State::Empty;
    PackagePlan m_plan;
    std::u16string m_work;
    std::unique_ptr<Journal> m_journal;
};

InstallResult Installer::Prepare(CZipArchive& archive) {
    if (m_state != State::Empty) return Fail(InstallStatus::IoError, u"the installation was prepared before");
    m_state = State::Done;  // until the staging is complete
    // "dir/" and "dir" are one folder; a root ("/", "C:\") keeps its separator.
    while (m_dest.size() > 1 && (m_dest.back() == m_fs.Separator() || m_dest.back() == u'/') &&
           !(m_dest.size() == 3 && m_dest[1] == u':'))
        m_dest.pop_back();
    if (m_dest.empty()) return Fail(InstallStatus::IoError, u"no destination folder");
    InstallResult checked = CheckPackage(archive, m_plan);
    if (!checked.ok()) return checked;
    FsResult r = MakeHiddenFolder(m_fs, m_dest, kWorkFolderPrefix, m_work);
    if (!r) return Fail(InstallStatus::IoError, r.message);

    m_journal = std::make_unique<Journal>(m_fs, m_dest, m_work);
    m_journal->tag = m_options.journalTag;
    const std::u16string last = FoldForComparison(m_options.lastFile);
    const std::u16string self = FoldForComparison(m_options.selfFile);
    for (const PackagePlan::Item& item : m_plan.items) {
        if (item.path.directory) continue;
        FileStep f;
        f.index = item.index;
        f.relative = JoinSegments(item.path.segments, item.path.segments.size(), u'/');
        m_journal->Resolve(f);
        const std::u16string folded = FoldForComparison(f.target);
        if (!self.empty() && folded == self) f.kind = StepKind::Self;
        else if (!last.empty() && folded == last) f.kind = StepKind::Last;
        m_journal->files.push_back(std::move(f));
    }
    // The product's executable goes last.
    std::stable_partition(m_journal->files.begin(), m_journal->files.end(),
                          [](const FileStep& f) { return f.kind != StepKind::Last; });
    // A link on a target's way is refused before anything is staged.
    InstallResult result = Survey();
    if (result.ok()) result = Stage(archive);
    if (result.ok()) m_state = State::Prepared;
    else RemoveFolderTree(m_fs, m_work);
    return result;
}

// What is at every target and on its way now: which files exist, which folders
// the commit creates. A link there is refused.
InstallResult Installer::Survey() {
    Journal& j = *m_journal;
    j.folders.clear();
    std::set<std::u16string> seen;
    for (const PackagePlan::Item& item : m_plan.items) {
        const std::size_t n = item.path.segments.size() - (item.path.directory ? 0 : 1);
        for (std::size_t k = 1; k <= n; ++k) {
            const std::u16string prefix = JoinSegments(item.path.segments, k, u'/');
            if (!seen.insert(prefix).second) continue;
            FsInfo info;
            FsResult r = StatNoLink(m_fs, j.Full(prefix), info);
            if (!r) return Fail(InstallStatus::IoError, r.message, j.Full(prefix));
            if (!info.exists) j.folders.push_back(prefix);
        }
    }
    for (FileStep& f : j.files) {
        FsInfo info;
        FsResult r = StatNoLink(m_fs, f.target, info);
        if (!r) return Fail(InstallStatus::IoError, r.message, f.target);
        f.skip = info.directory;
        f.hadOld = info.exists && !info.directory;
        f.movedAside = f.placed = false;
    }
    return InstallResult{};
}

InstallResult Installer::Stage(CZipArchive& archive) {
    // Folder entries have no data, but their local headers are compared too:
    // a damaged name in the directory must not create a folder.
    NullSink none;
    for (const PackagePlan::Item& item : m_plan.items) {
        if (!item.path.directory) continue;
        ZipResult zr = archive.ExtractFile(item.index, none, m_options.bufferSize);
        if (!zr) return Refuse(archive, zr);
    }
    std::uint64_t done = 0;
    std::vector<std::u16string> staged;
    for (const FileStep& f : m_journal->files) {
        InstallResult r = StageFile(archive, f, done);
        if (!r.ok()) return r;
        staged.push_back(f.staged);
        done += archive.GetEntry(f.index)->GetUncompressedSize();
        if (m_options.progress && !m_options.progress(done, m_plan.totalSize))
            return Fail(InstallStatus::Cancelled, u"cancelled");
    }
    if (m_options.flush) {
        FsResult r = m_fs.FlushFiles(staged);
        if (!r) return Fail(InstallStatus::IoError, r.message);
    }
    return InstallResult{};
}

// A partial file stays for the work folder's removal.
InstallResult Installer::StageFile(CZipArchive& archive, const FileStep& f, std::uint64_t done) {
    auto writeError = [&](const char16_t* what, const FsResult& r) {
        return Refuse(archive, ZipResult::Fail(ZipStatus::WriteError, 0, what + f.staged + u": " + r.message, f.index));
    };
    std::unique_ptr<FsWriteFile> file;
    FsResult r = m_fs.CreateNewFile(f.staged, file);
    if (!r) return writeError(u"cannot create ", r);
    StagingSink sink(*file, m_options.progress, done, m_plan.totalSize);
    ZipResult zr = archive.ExtractFile(f.index, sink, m_options.bufferSize);
    if (sink.Cancelled()) return Fail(InstallStatus::Cancelled, u"cancelled");
    if (!zr) return Refuse(archive, zr);
    r = file->Finish(false);
    return r ? InstallResult{} : writeError(u"cannot write ", r);
}

InstallResult Installer::Commit() {
    if (m_state != State::Prepared) return Fail(InstallStatus::IoError, u"nothing prepared to commit");
    Journal& j = *m_journal;
    // What is there now decides what the commit does: the user may have
    // changed the folder while asked to close the product.
    InstallResult surveyed = Survey();
    if (!surveyed.ok()) return surveyed;
    for (FileStep& f : j.files)
        if (f.kind == StepKind::Self)
            f.backup = JoinPath(m_fs, FolderOf(m_fs, f.target), kOldProgramPrefix + RandomSuffix());
    // One an earlier attempt could not remove; then written whole and flushed
    // before it is published by a rename.
    m_fs.RemoveFile(j.Path());
    m_fs.RemoveFile(j.DraftPath());
    FsResult r = WriteNewFile(m_fs, j.DraftPath(), j.Text());
    if (r) r = m_fs.Rename(j.DraftPath(), j.Path());
    if (!r) {
        m_fs.RemoveFile(j.DraftPath());
        return Fail(InstallStatus::IoError, r.message);
    }
    m_state = State::Broken;  // until the commit has either gone through or been undone

    FolderMaker folders(m_fs, j);
    for (const FileStep& f : j.files) {
        if (f.kind != StepKind::Last || !f.hadOld || f.skip) continue;
        r = m_fs.CheckReplaceable(f.target);
        if (!r) return Abandon(StatusOf(r), r, nullptr, f.target);
    }
    InstallResult result = MoveOldFilesAside();
    if (result.ok()) result = PlaceNewFiles(folders);
    if (result.ok()) result = SwapLastFile(folders);
    // Every move on the disk before the caller records the version and Finish
    // deletes the journal; a failure here leaves the journal to recovery.
    if (result.ok()) {
        r = m_fs.FlushFolders(j.TouchedFolders());
        if (!r) return Fail(InstallStatus::IoError, r.message + u"; the installation will be checked at the next start");
        m_state = State::Committed;
    }
    return result;
}

InstallResult Installer::MoveOldFilesAside() {
    for (FileStep& f : m_journal->files) {
        if (!f.hadOld || f.kind == StepKind::Last || f.skip) continue;
        // A running updater's file can be renamed, not deleted.
        FsResult r = f.kind == StepKind::Self ? m_fs.Rename(f.target, f.backup) : m_fs.MoveAside(f.target, f.backup);
        if (!r) return Abandon(StatusOf(r), r, nullptr, f.target);
        f.movedAside = true;
    }
    return InstallResult{};
}

FsResult Installer::Place(FileStep& f, FolderMaker& folders) {
    FsResult r = folders.Ensure(f.relative, false);
    if (r) r = m_fs.Rename(f.staged, f.target);
    if (r) f.placed = true;
    return r;
}

InstallResult Installer::PlaceNewFiles(FolderMaker& folders) {
    for (const PackagePlan::Item& item : m_plan.items) {
        if (!item.path.directory) continue;
        FsResult r = folders.Ensure(JoinSegments(item.path.segments, item.path.segments.size(), u'/'), true);
        if (!r) return Abandon(InstallStatus::IoError, r, &folders);
    }
    for (FileStep& f : m_journal->files) {
        if (f.kind == StepKind::Last || f.skip) continue;
        FsResult r = Place(f, folders);
        if (!r) return Abandon(InstallStatus::IoError, r, &folders);
    }
    return InstallResult{};
}

// The old executable is copied aside (through a temporary name, so that a
// backup is always whole) and the new one renamed over it in one step.
InstallResult Installer::SwapLastFile(FolderMaker& folders) {
    for (FileStep& f : m_journal->files) {
        if (f.kind != StepKind::Last || f.skip) continue;
        FsResult r;
        if (!f.hadOld) {
            r = Place(f, folders);
        } else {
            const std::u16string copy = m_journal->CopyPath(f);
            r = CopyToNewFile(m_fs, f.target, copy);
            if (r) r = m_fs.Rename(copy, f.backup);
            if (r) f.movedAside = true;
            if (r) r = m_fs.Replace(f.staged, f.target);
            if (r) f.placed = true;
        }
        if (!r) return Abandon(StatusOf(r), r, &folders, f.target);
    }
    return InstallResult{};
}

bool Installer::RestoreOldFiles() {
    bool ok = true;
    for (auto f = m_journal->files.rbegin(); f != m_journal->files.rend(); ++f) {
        if (!f->movedAside || f->kind == StepKind::Last) continue;
        if (m_fs.Rename(f->backup, f->target)) f->movedAside = false;
        else ok = false;
    }
    return ok;
}

bool Installer::Undo(FolderMaker& folders) {
    bool ok = true;
    for (auto f = m_journal->files.rbegin(); f != m_journal->files.rend(); ++f) {
        if (!f->placed) continue;
        // Back into the work folder, where the clean-up removes it; the old
        // executable comes back over the new one in one step.
        FsResult r = f->kind == StepKind::Last && f->hadOld ? m_fs.Replace(f->backup, f->target)
                                                         : m_fs.Rename(f->target, f->staged);
        if (!r && f->kind != StepKind::Last) r = m_fs.RemoveFile(f->target);
        if (r) f->placed = false;
        else ok = false;
    }
    if (!ok) return false;
    ok = folders.RemoveEmpty(folders.created);
    folders.created.clear();
    return RestoreOldFiles() && ok;
}

InstallResult Installer::Abandon(InstallStatus status, const FsResult& why, FolderMaker* folders,
                                 const std::u16string& path) {
    const bool undone = folders ? Undo(*folders) : RestoreOldFiles();
    if (!undone) {
        // The journal stays: the next recovery completes or rolls back.
        return Fail(InstallStatus::IoError,
                    why.message + u"; the change could not be undone and will be repaired at the next start", path);
    }
    m_fs.RemoveFile(m_journal->Path());
    m_state = State::Prepared;
    return Fail(status, status == InstallStatus::InUse ? u"file in use: " + path : why.message, path);
}

InstallResult Installer::Finish() {
    if (m_state != State::Committed) return Fail(InstallStatus::IoError, u"nothing committed to finish");
    m_state = State::Done;
    // Without the journal, what is left of the work folder is only old files.
    bool clean = m_fs.RemoveFile(m_journal->Path()).ok();
    for (const FileStep& f : m_journal->files)
        if (f.kind == StepKind::Self && f.hadOld && !f.skip) RemoveOldProgram(m_fs, f.backup);
    if (!RemoveFolderTree(m_fs, m_work)) clean = false;
    InstallResult result;
    if (!clean) result.reason = u"installed; some old files could not be deleted and stay in " + m_work;
    return result;
}

PackageInstaller::PackageInstaller(FileSystem& fs, const std::u16string& destination, const InstallOptions& options)
    : m_impl(std::make_unique<Installer>(fs, destination, options)) {}
PackageInstaller::~PackageInstaller() = default;

InstallResult PackageInstaller::Prepare(CZipArchive& archive) { return m_impl->Prepare(archive); }
InstallResult PackageInstaller::Commit() { return m_impl->Commit(); }
InstallResult PackageInstaller::Finish() { return m_impl->Finish(); }

InstallResult PackageInstaller::Prepare(const std::u16string& packagePath) { return m_impl->PrepareFile(packagePath); }

InstallResult InstallPackage(FileSystem& fs, const std::u16string& packagePath, const std::u16string& destination,
                             const InstallOptions& options) {
    PackageInstaller installer(fs, destination, options);
    InstallResult r = installer.Prepare(packagePath);
    if (r.ok()) r = installer.Commit();
    if (r.ok()) r = installer.Finish();
    return r;
}

const char* InstallStatusName(InstallStatus status) {
    switch (status) {
    case InstallStatus::Installed: return "installed";
    case InstallStatus::InUse: return "in-use";
    case InstallStatus::Damaged: return "damaged";
    case InstallStatus::IoError: return "io-error";
    case InstallStatus::Cancelled: return "cancelled";
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

