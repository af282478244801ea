#include "InstallEngine.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "BinaryPatch.h"
#include "InstallFolders.h"
#include "InstallJournal.h"

namespace {

// Within a large entry the progress callback is called at least this often.
constexpr std::uint64_t kProgressStep = std::uint64_t{4} << 20;
// A delta's description is a line per file; anything larger is not one.
constexpr std::uint64_t kDescriptionLimit = std::uint64_t{64} << 20;

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
            if (m_progress && m_sinceReport == kProgressStep) {
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

// A patch's header, from its first bytes, and its size.
class HeaderSink : public ZipSink {
public:
    bool Write(const void* data, std::size_t size, std::u16string&) override {
        const std::size_t n = std::min(size, kPatchHeaderSize - std::min(head.size(), kPatchHeaderSize));
        head.append(static_cast<const char*>(data), n);
        total += size;
        return true;
    }
    std::string head;
    std::uint64_t total = 0;
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
    InstallResult CheckBases(CZipArchive& archive);
    InstallResult Stage(CZipArchive& archive);
    InstallResult StageFile(CZipArchive& archive, const FileStep& f, std::uint64_t done);
    InstallResult StagePatch(CZipArchive& archive, const FileStep& f, const DeltaPatch& patch, std::uint64_t done);
    InstallResult MoveOldFilesAside();
    bool HardLinksWork();
    // The step's old file is kept by a second name (and replaced in one step).
    bool Linked(const FileStep& f) const;
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
    std::map<ZIP_INDEX_TYPE, std::size_t> m_patchOf;  // a patch entry's place in m_plan.delta.patches
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
    m_journal->buckets = true;
    const std::u16string last = FoldForComparison(m_options.lastFile);
    const std::u16string self = FoldForComparison(m_options.selfFile);
    InstallResult result;
    auto addStep = [&](FileStep& f) {
        m_journal->Resolve(f);
        const std::u16string folded = FoldForComparison(f.target);
        if (!self.empty() && folded == self) f.kind = StepKind::Self;
        else if (!last.empty() && folded == last) f.kind = StepKind::Last;
        if (f.remove && f.kind == StepKind::Last)
            result = Fail(InstallStatus::Damaged, u"the delta removes the product's executable " + f.target);
        m_journal->files.push_back(std::move(f));
    };
    for (const PackagePlan::Item& item : m_plan.items) {
        if (item.path.directory) continue;
        FileStep f;
        f.index = item.index;
        f.relative = JoinSegments(item.path.segments, item.path.segments.size(), u'/');
        if (item.patch != PackagePlan::kWhole) m_patchOf[item.index] = item.patch;
        addStep(f);
    }
    for (std::size_t k = 0; k < m_plan.delta.removals.size(); ++k) {
        FileStep f;
        f.index = k;
        f.remove = true;
        f.relative = m_plan.delta.removals[k];
        addStep(f);
    }
    // The product's executable goes last.
    std::stable_partition(m_journal->files.begin(), m_journal->files.end(),
                          [](const FileStep& f) { return f.kind != StepKind::Last; });
    // A link on a target's way is refused before anything is staged.
    if (result.ok()) result = Survey();
    for (const std::u16string& bucket : m_journal->Buckets()) {
        if (!result.ok()) break;
        if (FsResult r = m_fs.MakeDirectory(bucket, false); !r) result = Fail(InstallStatus::IoError, r.message);
    }
    if (result.ok() && m_plan.isDelta) result = CheckBases(archive);
    if (result.ok()) result = Stage(archive);
    if (result.ok()) m_journal->linkBackups = HardLinksWork();
    // The old files get their second names now, while the product may still
    // run: the commit, with the product stopped, then only replaces them.
    for (FileStep& f : m_journal->files)
        if (result.ok() && Linked(f)) f.linked = m_fs.HardLink(f.target, f.backup).ok();
    if (result.ok()) m_state = State::Prepared;
    else RemoveFolderTree(m_fs, m_work);
    return result;
}

// What is at every target and on its way now: which files exist, which folders
// the commit creates. A link there is refused.
InstallResult Installer::Survey() {
    Journal& j = *m_journal;
    j.folders.clear();
    FolderMaker way(m_fs, j);
    for (const FileStep& f : j.files) {
        if (!f.remove) continue;
        FsResult r = way.CheckWay(f.relative);
        if (!r) return Fail(InstallStatus::IoError, r.message, f.target);
    }
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
        f.readOnly = info.readOnly;
        f.movedAside = f.placed = false;
    }
    return InstallResult{};
}

// Whether the destination's volume gives a file a second name: tried on a
// staged file, whose second name is removed at once.
bool Installer::HardLinksWork() {
    for (const FileStep& f : m_journal->files) {
        if (f.remove) continue;
        const std::u16string probe = JoinPath(m_fs, FolderOf(m_fs, f.staged), u"probe");
        const bool linked = m_fs.HardLink(f.staged, probe).ok();
        if (linked) m_fs.RemoveFile(probe);
        return linked;
    }
    return false;
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
        if (f.remove) continue;
        auto patch = m_patchOf.find(f.index);
        const DeltaPatch* p = patch == m_patchOf.end() ? nullptr : &m_plan.delta.patches[patch->second];
        InstallResult r = p ? StagePatch(archive, f, *p, done) : StageFile(archive, f, done);
        if (!r.ok()) return r;
        staged.push_back(f.staged);
        done += p ? p->size : archive.GetEntry(f.index)->GetUncompressedSize();
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

// A delta applies only to the files it was made from: every file a patch
// reads must be there with its SHA-256, and no folder may stand where the
// delta puts or removes a file.
InstallResult Installer::CheckBases(CZipArchive& archive) {
    auto mismatch = [](const std::u16string& path, const char16_t* what) {
        return Fail(InstallStatus::BaseMismatch, path + what, path);
    };
    for (const FileStep& f : m_journal->files)
        if (f.skip) return mismatch(f.target, u" is a folder, not the file the delta expects");
    FolderMaker way(m_fs, *m_journal);
    bool cancelled = false;
    auto goOn = [&] { return !(cancelled = m_options.progress && !m_options.progress(0, m_plan.totalSize)); };
    // Each base once, though several patches may read it (copies of a file).
    std::map<std::u16string, std::pair<Sha256Digest, std::uint64_t>> bases;  // folded path -> digest, size
    for (const auto& [index, place] : m_patchOf) {
        const DeltaPatch& p = m_plan.delta.patches[place];
        const std::u16string base = m_journal->Full(p.base);
        auto known = bases.find(FoldForComparison(p.base));
        if (known == bases.end()) {
            FsInfo info;
            FsResult r = way.CheckWay(p.base);
            if (r) r = StatNoLink(m_fs, base, info);
            if (!r) return Fail(InstallStatus::IoError, r.message, base);
            if (!info.exists || info.directory) return mismatch(base, u" is missing: the delta patches it");
            std::unique_ptr<FsReadFile> file;
            Sha256Digest digest;
            r = m_fs.OpenForRead(base, file);
            if (r) r = HashFile(*file, digest, m_options.bufferSize, goOn);
            if (cancelled) return Fail(InstallStatus::Cancelled, u"cancelled");
            if (!r) return Fail(InstallStatus::IoError, r.message, base);
            known = bases.emplace(FoldForComparison(p.base), std::pair{digest, file->Size()}).first;
        }
        if (known->second.first != p.baseDigest)
            return mismatch(base, u" differs from the file the delta was made for");
        const std::uint64_t patchSize = archive.GetEntry(index)->GetUncompressedSize();
        if (!PatchWithinLimits(p.size, known->second.second, patchSize, archive.GetLimits()))
            return Refuse(archive, ZipResult::Fail(ZipStatus::TooLarge, 0,
                                                   u"a patch of " + Num(patchSize) + u" bytes cannot make the " +
                                                       Num(p.size) + u" bytes of " + p.path + u" from " +
                                                       Num(known->second.second),
                                                   index));
    }
    return InstallResult{};
}

// The patch is extracted into the work folder, applied to the installed file,
// and the result checked against the description's SHA-256.
InstallResult Installer::StagePatch(CZipArchive& archive, const FileStep& f, const DeltaPatch& p, std::uint64_t done) {
    auto refuse = [&](ZipStatus status, std::u16string why) {
        return Refuse(archive, ZipResult::Fail(status, 0, std::move(why), f.index));
    };
    const std::u16string patchPath = JoinPath(m_fs, m_work, u"d" + Num(f.index));
    ZipResult zr = archive.ExtractFile(f.index, m_fs, patchPath, false, m_options.bufferSize);
    if (!zr) return Refuse(archive, zr);
    std::unique_ptr<FsReadFile> patch, base;
    std::unique_ptr<FsWriteFile> file;
    FsResult r = m_fs.OpenForRead(patchPath, patch);
    if (r) r = m_fs.OpenForRead(m_journal->Full(p.base), base);
    if (!r) return Fail(InstallStatus::IoError, r.message);
    r = m_fs.CreateNewFile(f.staged, file);
    if (!r) return refuse(ZipStatus::WriteError, u"cannot create " + f.staged + u": " + r.message);
    StagingSink staging(*file, m_options.progress, done, m_plan.totalSize);
    Sha256Sink sink(&staging);
    zr = ApplyPatch(*patch, *base, p.size, sink, m_options.bufferSize);
    if (staging.Cancelled()) return Fail(InstallStatus::Cancelled, u"cancelled");
    if (!zr) return refuse(zr.status, u"patch of " + p.path + u": " + (zr.message.empty() ? zr.ToText() : zr.message));
    Sha256Digest digest;
    r = file->Finish(false);
    if (!r) return refuse(ZipStatus::WriteError, u"cannot write " + f.staged + u": " + r.message);
    if (!sink.Finish(digest)) return Fail(InstallStatus::IoError, u"cannot compute SHA-256");
    if (digest != p.digest) return refuse(ZipStatus::Damaged, u"the patch of " + p.path + u" makes another file");
    patch.reset();
    m_fs.RemoveFile(patchPath);
    return InstallResult{};
}

InstallResult Installer::Commit() {
    if (m_state != State::Prepared) return Fail(InstallStatus::IoError, u"nothing prepared to commit");
    Journal& j = *m_journal;
    // What is there now decides what the commit does: the user may have
    // changed the folder while asked to close the product.
    InstallResult surveyed = Survey();
    if (!surveyed.ok()) return surveyed;
    for (FileStep& f : j.files) {
        if (f.kind == StepKind::Self)
            f.backup = JoinPath(m_fs, FolderOf(m_fs, f.target), kOldProgramPrefix + RandomSuffix());
        // A file that can be replaced only once it is writable (on every system).
        if (Linked(f) && f.readOnly) return Fail(InstallStatus::InUse, u"file in use: " + f.target, f.target);
    }
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

// Keeps every old file: by a second name in the work folder (the installed
// name stays until the new file replaces it), or by renaming it there. A
// running updater's file can be renamed, not replaced or deleted; the files
// a delta removes are renamed too.
InstallResult Installer::MoveOldFilesAside() {
    for (FileStep& f : m_journal->files) {
        // A second name made while staging for a file gone since has nothing to keep.
        if (f.linked && !f.hadOld && m_fs.RemoveFile(f.backup)) f.linked = false;
        if (!f.hadOld || f.skip) continue;
        FsResult r;
        if (Linked(f)) {
            // Linked while staging, unless the file came since. A file in use
            // shows when the new one is to replace it; the commit is then
            // undone, as here.
            if (!f.linked) r = m_fs.HardLink(f.target, f.backup);
            if (r) f.linked = true;
        } else if (f.kind == StepKind::Last) {
            continue;  // copied aside when it is swapped
        } else {
            r = f.kind == StepKind::Self ? m_fs.Rename(f.target, f.backup) : m_fs.MoveAside(f.target, f.backup);
            if (r) f.movedAside = true;
        }
        if (!r) return Abandon(StatusOf(r), r, nullptr, f.target);
    }
    return InstallResult{};
}

bool Installer::Linked(const FileStep& f) const {
    return m_journal->linkBackups && f.hadOld && !f.remove && f.kind != StepKind::Self;
}

FsResult Installer::Place(FileStep& f, FolderMaker& folders) {
    FsResult r = folders.Ensure(f.relative, false);
    // Over the old file in one step when it is kept by a second name.
    if (r) r = Linked(f) ? m_fs.Replace(f.staged, f.target) : m_fs.Rename(f.staged, f.target);
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
        if (f.kind == StepKind::Last || f.skip || f.remove) continue;
        FsResult r = Place(f, folders);
        if (!r) return Abandon(StatusOf(r), r, &folders, f.target);
    }
    return InstallResult{};
}

// The old executable is copied aside (through a temporary name, so that a
// backup is always whole) and the new one renamed over it in one step.
InstallResult Installer::SwapLastFile(FolderMaker& folders) {
    for (FileStep& f : m_journal->files) {
        if (f.kind != StepKind::Last || f.skip) continue;
        FsResult r;
        if (!f.hadOld || Linked(f)) {
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
        // An old file kept by a second name is still in place; the name stays for another attempt.
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
        // A replaced file comes back from its second name, which it keeps
        // for another attempt.
        if (r && f->linked && f->kind != StepKind::Last) r = m_fs.Rename(f->backup, f->target);
        if (r && f->linked) f->linked = m_fs.HardLink(f->target, f->backup).ok();
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
    case InstallStatus::BaseMismatch: return "base-mismatch";
    }
    return "unknown";
}

namespace {

// Which entry each file and folder of a package comes from, by folded full
// path (a folder named, or implied by a file's path): no two may name one
// file, and no file may also be a folder.
class Claims {
public:
    explicit Claims(const CZipArchive& archive) : m_archive(archive) {}

    InstallResult Claim(const EntryPath& path, ZIP_INDEX_TYPE i) {
        const std::uint64_t at = m_archive.GetEntry(i)->GetCentralHeaderOffset();
        const std::size_t n = path.segments.size();
        for (std::size_t k = 1; k <= (path.directory ? n : n - 1); ++k) {
            const std::u16string key = FoldForComparison(JoinSegments(path.segments, k, u'/'));
            auto clash = m_files.find(key);
            if (clash != m_files.end())
                return Fault(at, u"a folder of this path is a file in " + EntryLabel(m_archive, clash->second), i);
            m_folders.emplace(key, i);
        }
        if (path.directory) return InstallResult{};
        const std::u16string key = FoldForComparison(JoinSegments(path.segments, n, u'/'));
        auto asFolder = m_folders.find(key);
        if (asFolder != m_folders.end())
            return Fault(at, u"names a folder of " + EntryLabel(m_archive, asFolder->second), i);
        auto same = m_files.emplace(key, i);
        if (!same.second) return Fault(at, u"names the same file as " + EntryLabel(m_archive, same.first->second), i);
        return InstallResult{};
    }
    bool Claimed(const std::u16string& path) const {
        const std::u16string key = FoldForComparison(path);
        return m_files.count(key) != 0 || m_folders.count(key) != 0;
    }
    InstallResult Fault(std::uint64_t at, std::u16string why, ZIP_INDEX_TYPE i) const {
        return Refuse(m_archive, ZipResult::Fail(ZipStatus::Damaged, at, std::move(why), i));
    }

private:
    const CZipArchive& m_archive;
    std::map<std::u16string, ZIP_INDEX_TYPE> m_files, m_folders;
};

bool StartsWith(const std::u16string& text, const char16_t* prefix) {
    return text.compare(0, std::char_traits<char16_t>::length(prefix), prefix) == 0;
}

// A delta's description, and its patches matched with their entries.
InstallResult PlanDelta(CZipArchive& archive, ZIP_INDEX_TYPE description,
                        std::map<std::u16string, ZIP_INDEX_TYPE>& patchEntries, Claims& claims, PackagePlan& plan) {
    const CZipFileHeader& h = *archive.GetEntry(description);
    if (h.GetUncompressedSize() > kDescriptionLimit)
        return claims.Fault(h.GetCentralHeaderOffset(), u"the delta's description is too large", description);
    ZipStringSink text;
    ZipResult zr = archive.ExtractFile(description, text);
    if (!zr) return Refuse(archive, zr);
    std::u16string why;
    if (!plan.delta.Parse(text.text, why)) return claims.Fault(h.GetCentralHeaderOffset(), why, description);
    for (std::size_t k = 0; k < plan.delta.patches.size(); ++k) {
        const DeltaPatch& p = plan.delta.patches[k];
        auto entry = patchEntries.find(FoldForComparison(p.path));
        if (entry == patchEntries.end())
            return claims.Fault(h.GetCentralHeaderOffset(), u"no patch for " + p.path, description);
        PackagePlan::Item item;
        item.index = entry->second;
        item.patch = k;
        ParseEntryName(p.path, item.path, why);
        patchEntries.erase(entry);
        InstallResult r = claims.Claim(item.path, item.index);
        if (!r.ok()) return r;
        plan.items.push_back(std::move(item));
        plan.totalSize += p.size;
    }
    if (!patchEntries.empty())
        return claims.Fault(0, u"the description does not name this patch", patchEntries.begin()->second);
    std::set<std::u16string> removed;
    for (const std::u16string& path : plan.delta.removals)
        if (claims.Claimed(path) || !removed.insert(FoldForComparison(path)).second)
            return claims.Fault(h.GetCentralHeaderOffset(), u"removes " + path + u", which the package names too",
                                description);
    std::sort(plan.items.begin(), plan.items.end(), [](const auto& a, const auto& b) { return a.index < b.index; });
    return InstallResult{};
}

}  // namespace

InstallResult CheckPackage(CZipArchive& archive, PackagePlan& plan) {
    plan = PackagePlan{};
    Claims claims(archive);
    const ZIP_INDEX_TYPE count = archive.GetCount();
    const std::u16string deltaFolder = kDeltaFolder + std::u16string(u"/");
    ZIP_INDEX_TYPE description = count;
    std::map<std::u16string, ZIP_INDEX_TYPE> patchEntries;  // folded path of the file rebuilt -> entry
    std::uint64_t declared = 0;                             // what the entries declare
    plan.items.reserve(count);
    for (ZIP_INDEX_TYPE i = 0; i < count; ++i) {
        ZipResult zr = archive.CheckEntry(i);
        if (!zr) return Refuse(archive, zr);
        const CZipFileHeader& h = *archive.GetEntry(i);
        const std::u16string& name = h.GetFileName();
        if (!h.IsDirectory()) declared += h.GetUncompressedSize();
        PackagePlan::Item item;
        item.index = i;
        std::u16string why;
        if (StartsWith(name, deltaFolder.c_str())) {
            // A delta's own entries: its description and its patches.
            plan.isDelta = true;
            if (h.IsDirectory()) continue;
            if (name == kDeltaDescription && description == count) {
                description = i;
                continue;
            }
            if (!StartsWith(name, kDeltaPatchFolder))
                return claims.Fault(h.GetCentralHeaderOffset(), u"not a part of a delta package", i);
            if (!ParseEntryName(name.substr(std::char_traits<char16_t>::length(kDeltaPatchFolder)), item.path, why))
                return Refuse(archive, ZipResult::Fail(ZipStatus::UnsafeName, h.GetCentralHeaderOffset(), why, i));
            const std::u16string path = JoinSegments(item.path.segments, item.path.segments.size(), u'/');
            if (!patchEntries.emplace(FoldForComparison(path), i).second)
                return claims.Fault(h.GetCentralHeaderOffset(), u"a second patch for " + path, i);
            continue;
        }
        if (!ParseEntryName(name, item.path, why))
            return Refuse(archive, ZipResult::Fail(ZipStatus::UnsafeName, h.GetCentralHeaderOffset(), why, i));
        if (h.IsDirectory()) item.path.directory = true;
        if (item.path.segments.empty()) continue;  // "./": the destination itself
        InstallResult r = claims.Claim(item.path, i);
        if (!r.ok()) return r;
        if (!item.path.directory) plan.totalSize += h.GetUncompressedSize();
        plan.items.push_back(std::move(item));
    }
    if (plan.isDelta) {
        if (description == count)
            return Refuse(archive, ZipResult::Fail(ZipStatus::Damaged, 0, u"a delta package without its description"));
        InstallResult r = PlanDelta(archive, description, patchEntries, claims, plan);
        if (!r.ok()) return r;
    }
    const ZipLimits& limits = archive.GetLimits();
    const std::uint64_t size = archive.GetArchiveSize();
    const std::uint64_t byRatio =
        size > (UINT64_MAX - limits.totalSlack) / std::max<std::uint64_t>(limits.maxTotalRatio, 1)
            ? UINT64_MAX
            : size * limits.maxTotalRatio + limits.totalSlack;
    if (declared > byRatio || plan.totalSize > limits.maxTotalSize)
        return Refuse(archive, ZipResult::Fail(ZipStatus::TooLarge, 0,
                                               u"entries declare " + Num(std::max(declared, plan.totalSize)) +
                                                   u" bytes in all, more than " +
                                                   Num(std::min(byRatio, limits.maxTotalSize)) +
                                                   u" allowed for an archive of " + Num(size) + u" bytes"));
    return InstallResult{};
}

InstallResult VerifyPackage(CZipArchive& archive, const InstallOptions& options) {
    PackagePlan plan;
    InstallResult checked = CheckPackage(archive, plan);
    if (!checked.ok()) return checked;
    for (const PackagePlan::Item& item : plan.items) {
        NullSink none;
        HeaderSink patch;
        const bool isPatch = item.patch != PackagePlan::kWhole;
        ZipSink& sink = isPatch ? static_cast<ZipSink&>(patch) : none;
        ZipResult zr = archive.ExtractFile(item.index, sink, options.bufferSize);
        PatchHeader header;
        if (zr && isPatch) zr = ReadPatchHeader(patch.head.data(), patch.head.size(), patch.total, header);
        if (zr && isPatch && header.newSize != plan.delta.patches[item.patch].size)
            zr = ZipResult::Fail(ZipStatus::Damaged, 16, u"the patch makes another size than the description's");
        if (!zr) {
            zr.entry = item.index;
            return Refuse(archive, zr);
        }
    }
    return InstallResult{};
}
