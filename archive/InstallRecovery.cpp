// Recovery after a crash: see InstallEngine.h for what it decides and why.
#include <utility>

#include "EntryName.h"
#include "InstallEngine.h"
#include "InstallFolders.h"
#include "InstallJournal.h"

namespace {

// Journals are a few lines per file; anything larger is not one of ours.
constexpr std::uint64_t kJournalLimit = std::uint64_t{64} << 20;

}  // namespace

InstallRecovery::InstallRecovery(FileSystem& fs, const std::u16string& folder) : m_fs(fs), m_folder(folder) {}
InstallRecovery::~InstallRecovery() = default;

bool InstallRecovery::Report(const std::u16string& path, std::u16string reason) {
    m_reportPath = path;
    m_reportReason = std::move(reason);
    m_undecided = true;
    return true;
}

// True when the work folder holds a journal to resolve, or something to report.
bool InstallRecovery::HoldsBackups(const std::u16string& work) {
    // Old files moved aside are "o<index>", files a delta removed "r<index>",
    // the product's executable's copy "c<index>"; in the work folder or in
    // its subfolders.
    std::vector<std::u16string> names;
    if (!m_fs.ListFolder(work, u"", names)) return true;
    for (const std::u16string& name : names) {
        const std::u16string path = JoinPath(m_fs, work, name);
        FsInfo info;
        if (!m_fs.Stat(path, info)) return true;
        if (!info.directory && (name[0] == u'o' || name[0] == u'r' || name[0] == u'c')) return true;
        if (info.directory && !info.link) {
            std::vector<std::u16string> inside;
            if (!m_fs.ListFolder(path, u"", inside)) return true;
            for (const std::u16string& n : inside)
                if (n[0] == u'o' || n[0] == u'r' || n[0] == u'c') return true;
        }
    }
    return false;
}

bool InstallRecovery::FindJournal(const std::u16string& work) {
    FsInfo info;
    FsResult r = StatNoLink(m_fs, work, info);
    if (!r) return Report(work, r.message);
    if (!info.exists || !info.directory) return false;
    auto journal = std::make_unique<Journal>(m_fs, m_folder, work);
    r = StatNoLink(m_fs, journal->Path(), info);
    std::string text;
    if (r && info.exists) r = ReadWholeFile(m_fs, journal->Path(), text, kJournalLimit);
    if (!r) return Report(work, u"cannot read the journal of an interrupted installation: " + r.message);
    std::u16string why;
    const Journal::Read read = info.exists ? journal->Parse(text, why) : Journal::Read::Incomplete;
    if (read == Journal::Read::Malformed)
        return Report(work, u"the journal " + journal->Path() + u" of an interrupted installation cannot be read (" +
                                why + u"); it and its work folder are kept");
    if (read == Journal::Read::Incomplete) {
        // No journal (only a draft, or none): its commit never began, or it
        // was finished. A journal cut short was published whole, so it was
        // damaged since (or an earlier updater wrote it in place): while the
        // folder holds old files moved aside, they may be the only copies.
        if (info.exists && HoldsBackups(work))
            return Report(work, u"the journal " + journal->Path() + u" of an interrupted installation is cut short; "
                                u"it and its work folder are kept");
        RemoveFolderTree(m_fs, work);
        return false;
    }
    for (const FileStep& f : journal->files)
        if (f.kind == StepKind::Self) m_kept.insert(f.backup);
    m_journal = std::move(journal);
    return true;
}

bool InstallRecovery::FindNext() {
    m_journal.reset();
    m_reportPath.clear();
    m_reportReason.clear();
    FsInfo info;
    if (FsResult r = StatNoLink(m_fs, m_folder, info); !r && m_seen.insert(m_folder).second)
        return Report(m_folder, r.message);
    if (!info.exists || info.link) return false;
    std::vector<std::u16string> names;
    // Each folder once per run, even when it could not be removed.
    if (m_fs.ListFolder(m_folder, kWorkFolderPrefix, names))
        for (const std::u16string& name : names)
            if (m_seen.insert(JoinPath(m_fs, m_folder, name)).second && FindJournal(JoinPath(m_fs, m_folder, name)))
                return true;
    if (m_fs.ListFolder(m_folder, kDownloadFolderPrefix, names)) {
        for (const std::u16string& name : names) {
            const std::u16string folder = JoinPath(m_fs, m_folder, name);
            if (!m_seen.insert(folder).second) continue;
            FsResult r = StatNoLink(m_fs, folder, info);
            if (!r) return Report(folder, r.message);
            if (info.directory) RemoveFolderTree(m_fs, folder);
        }
    }
    // Old updaters, but for those an unresolved journal may still put back.
    if (!m_undecided && m_fs.ListFolder(m_folder, kOldProgramPrefix, names))
        for (const std::u16string& name : names)
            if (!m_kept.count(JoinPath(m_fs, m_folder, name))) RemoveOldProgram(m_fs, JoinPath(m_fs, m_folder, name));
    return false;
}

RecoveryResult InstallRecovery::Resolve() {
    RecoveryResult result;
    if (!m_journal) {
        result.outcome = RecoveryOutcome::Failed;
        result.path = m_reportPath;
        result.reason = m_reportReason.empty() ? u"no interrupted installation" : m_reportReason;
        return result;
    }
    Journal& j = *m_journal;
    result.tag = j.tag;
    auto fail = [&](const FsResult& r, const std::u16string& path) {
        result.outcome = r.code == FsCode::InUse ? RecoveryOutcome::InUse : RecoveryOutcome::Failed;
        result.path = path;
        result.reason = r.message;
        return result;
    };
    // What the interrupted commit got to, file by file; a link anywhere on
    // the way stops the recovery before anything moves.
    struct Seen {
        bool staged = false, backup = false, target = false;
        bool placed() const { return !staged && target; }
    };
    std::vector<Seen> seen(j.files.size());
    FolderMaker folders(m_fs, j);
    bool passedCommitPoint = true;
    bool newFilesThere = true;
    for (std::size_t i = 0; i < j.files.size(); ++i) {
        const FileStep& f = j.files[i];
        Seen& s = seen[i];
        if (FsResult r = folders.CheckWay(f.relative); !r) return fail(r, f.target);
        for (auto [path, flag] : {std::pair{&f.staged, &s.staged}, {&f.backup, &s.backup}, {&f.target, &s.target}}) {
            FsInfo info;
            if (path->empty()) continue;  // a removal stages nothing
            if (FsResult r = StatNoLink(m_fs, *path, info); !r) return fail(r, *path);
            *flag = info.exists;
        }
        if (f.remove) {
            if (f.hadOld && !s.backup && s.target) passedCommitPoint = false;
            continue;
        }
        if (f.kind != StepKind::Last && f.hadOld && !s.backup && !s.placed()) passedCommitPoint = false;
        if (!s.staged && !s.target) newFilesThere = false;
    }

    if (passedCommitPoint && newFilesThere) {
        // Complete: the package's folders are made, and every new file not
        // yet in place goes to its place.
        for (const std::u16string& folder : j.folders)
            if (FsResult r = folders.Ensure(folder, true); !r) return fail(r, j.Full(folder));
        for (std::size_t i = 0; i < j.files.size(); ++i) {
            const FileStep& f = j.files[i];
            const Seen& s = seen[i];
            if (f.remove || s.placed()) continue;
            FsResult r = folders.Ensure(f.relative, false);
            if (r && f.kind == StepKind::Last && f.hadOld && !s.backup && s.target) {
                const std::u16string copy = j.CopyPath(f);
                m_fs.RemoveFile(copy);
                r = CopyToNewFile(m_fs, f.target, copy);
                if (r) r = m_fs.Rename(copy, f.backup);
            }
            if (r && s.target) r = m_fs.CheckReplaceable(f.target);
            if (r) r = m_fs.Replace(f.staged, f.target);
            if (!r) return fail(r, f.target);
        }
        if (FsResult r = m_fs.FlushFolders(j.TouchedFolders()); !r) return fail(r, j.work);
        result.outcome = RecoveryOutcome::Completed;
        return result;
    }
    // Roll back, last file first.
    for (std::size_t n = j.files.size(); n-- > 0;) {
        const FileStep& f = j.files[n];
        const Seen& s = seen[n];
        FsResult r;
        if (f.remove) {
            if (f.hadOld && s.backup) r = m_fs.Rename(f.backup, f.target);
            else if (f.hadOld && !s.target) r = FsResult::Fail(FsCode::NotFound, u"the old " + f.target + u" is lost");
        } else if (f.kind == StepKind::Last && f.hadOld) {
            if (s.placed() && !s.backup) r = FsResult::Fail(FsCode::NotFound, u"the old " + f.target + u" is lost");
            else if (s.placed()) r = m_fs.CheckReplaceable(f.target);
            if (r && s.placed()) r = m_fs.Replace(f.backup, f.target);
        } else {
            if (s.placed())
                r = f.kind == StepKind::Self ? m_fs.Rename(f.target, f.staged) : m_fs.MoveAside(f.target, f.staged);
            // An old file kept by a second name may still be in place too.
            if (r && f.hadOld && s.backup && (!s.target || s.placed())) r = m_fs.Rename(f.backup, f.target);
            if (r && f.hadOld && !s.backup && s.placed())
                r = FsResult::Fail(FsCode::NotFound, u"the old " + f.target + u" is lost");
        }
        if (!r) return fail(r, f.target);
    }
    folders.RemoveEmpty(j.folders);
    if (FsResult r = m_fs.FlushFolders(j.TouchedFolders()); !r) return fail(r, j.work);
    result.outcome = RecoveryOutcome::RolledBack;
    return result;
}

void InstallRecovery::Finish() {
    if (!m_journal) return;
    const Journal& j = *m_journal;
    if (m_fs.RemoveFile(j.Path())) {
        for (const FileStep& f : j.files) {
            if (f.kind != StepKind::Self) continue;
            m_kept.erase(f.backup);
            RemoveOldProgram(m_fs, f.backup);
        }
        RemoveFolderTree(m_fs, j.work);
        // An earlier updater saved its package in the destination, where its
        // name may be that of a file the package installed.
        bool target = false;
        for (const FileStep& f : j.files)
            if (FoldForComparison(f.relative) == FoldForComparison(j.package)) target = true;
        if (!j.package.empty() && !target) m_fs.RemoveFile(j.Full(j.package));
    }
    m_journal.reset();
}
