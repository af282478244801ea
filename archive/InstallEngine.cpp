#include "InstallEngine.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <set>
#include <unordered_set>
#include <utility>

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

enum class Kind : char16_t { Normal = u'n', Last = u'l', Self = u's' };

// One file entry on its way into the destination.
struct FileStep {
    ZIP_INDEX_TYPE index = 0;
    std::u16string relative;  // the entry's path, '/' between segments
    std::u16string target;
    std::u16string staged;    // the new file while it waits in the work folder
    std::u16string backup;    // the old file once moved aside
    Kind kind = Kind::Normal;
    bool skip = false;        // the target is an existing folder: left alone
    bool hadOld = false;      // a file was at the target when the commit began
    bool movedAside = false;  // the old file is at `backup`
    bool placed = false;      // the new file is at `target`
};

const char kJournalHeader[] = "qelda-update-journal 1";
const char16_t kJournalName[] = u"journal";

std::u16string Escape(const std::u16string& text) {
    std::u16string out;
    for (char16_t c : text) {
        if (c == u'\\') out += u"\\\\";
        else if (c == u'\n') out += u"\\n";
        else if (c == u'\r') out += u"\\r";
        else out += c;
    }
    return out;
}

bool Unescape(const std::u16string& text, std::u16string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != u'\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        if (text[i] == u'n') out += u'\n';
        else if (text[i] == u'r') out += u'\r';
        else if (text[i] == u'\\') out += u'\\';
        else return false;
    }
    return true;
}

// The folder part of a path, up to its last separator.
std::u16string FolderOf(const FileSystem& fs, const std::u16string& path) {
    const std::size_t at = path.find_last_of(fs.Separator() == u'/' ? u"/" : u"\\/");
    return at == std::u16string::npos ? std::u16string() : path.substr(0, at);
}

}  // namespace

// What a commit is about to do, written before it changes anything, read by
// recovery after a crash. Paths in the text are relative to the destination.
class Journal {
public:
    Journal(FileSystem& fs, std::u16string destination, std::u16string work)
        : m_fs(fs), dest(std::move(destination)), work(std::move(work)) {}

    std::u16string Path() const { return JoinPath(m_fs, work, kJournalName); }
    std::u16string Full(const std::u16string& relative) const {
        std::u16string native = relative;
        for (char16_t& c : native)
            if (c == u'/') c = m_fs.Separator();
        return JoinPath(m_fs, dest, native);
    }
    void Resolve(FileStep& f) const {
        f.target = Full(f.relative);
        f.staged = JoinPath(m_fs, work, u"n" + Num(f.index));
        if (f.kind != Kind::Self) f.backup = JoinPath(m_fs, work, u"o" + Num(f.index));
    }
    std::u16string CopyPath(const FileStep& f) const { return JoinPath(m_fs, work, u"c" + Num(f.index)); }

    std::string Text() const {
        std::u16string t = u"tag " + Escape(tag) + u"\n";
        if (!package.empty()) t += u"package " + package + u"\n";
        for (const std::u16string& folder : folders) t += u"folder " + folder + u"\n";
        for (const FileStep& f : files) {
            if (f.skip) continue;
            const std::u16string aside =
                f.kind == Kind::Self ? f.backup.substr(FolderOf(m_fs, f.backup).size() + 1) : u"-";
            t += u"file " + Num(f.index) + u" " + static_cast<char16_t>(f.kind) + u" " + (f.hadOld ? u"1 " : u"0 ") +
                 aside + u" " + f.relative + u"\n";
        }
        return std::string(kJournalHeader) + "\n" + Utf16ToUtf8(t) + "end\n";
    }

    // False for a journal that is incomplete (its commit never began) or not
    // one of ours.
    bool Parse(const std::string& text) {
        std::u16string all;
        if (!DecodeUtf8Strict(text.data(), text.size(), all)) return false;
        std::vector<std::u16string> lines;
        for (std::size_t start = 0; start < all.size();) {
            const std::size_t end = all.find(u'\n', start);
            if (end == std::u16string::npos) return false;
            lines.push_back(all.substr(start, end - start));
            start = end + 1;
        }
        if (lines.size() < 3 || Utf16ToUtf8(lines.front()) != kJournalHeader || lines.back() != u"end") return false;
        if (lines[1].compare(0, 4, u"tag ") != 0 || !Unescape(lines[1].substr(4), tag)) return false;
        for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
            const std::u16string& line = lines[i];
            EntryPath path;
            std::u16string why;
            if (line.compare(0, 8, u"package ") == 0) {
                package = line.substr(8);
                if (!ParseEntryName(package, path, why) || path.segments.size() != 1 || path.directory) return false;
                continue;
            }
            if (line.compare(0, 7, u"folder ") == 0) {
                if (!ParseEntryName(line.substr(7), path, why) || path.segments.empty()) return false;
                folders.push_back(JoinSegments(path.segments, path.segments.size(), u'/'));
                continue;
            }
            // file INDEX KIND OLD ASIDE PATH
            std::vector<std::u16string> fields;
            std::size_t start = 0;
            for (int k = 0; k < 5; ++k) {
                const std::size_t space = line.find(u' ', start);
                if (space == std::u16string::npos) return false;
                fields.push_back(line.substr(start, space - start));
                start = space + 1;
            }
            FileStep f;
            if (fields[0] != u"file" || fields[1].empty() || fields[1].size() > 19 ||
                fields[1].find_first_not_of(u"0123456789") != std::u16string::npos || fields[2].size() != 1 ||
                (fields[3] != u"0" && fields[3] != u"1") || !ParseEntryName(line.substr(start), path, why) ||
                path.directory || path.segments.empty())
                return false;
            f.index = static_cast<ZIP_INDEX_TYPE>(std::stoull(Utf16ToUtf8(fields[1])));
            f.kind = static_cast<Kind>(fields[2][0]);
            f.hadOld = fields[3] == u"1";
            f.relative = JoinSegments(path.segments, path.segments.size(), u'/');
            Resolve(f);
            if (f.kind == Kind::Self) {
                const std::u16string& aside = fields[4];
                if (aside.compare(0, std::char_traits<char16_t>::length(kOldProgramPrefix), kOldProgramPrefix) != 0 ||
                    aside.find_first_of(u"/\\:") != std::u16string::npos)
                    return false;
                f.backup = JoinPath(m_fs, FolderOf(m_fs, f.target), aside);
            } else if (f.kind != Kind::Normal && f.kind != Kind::Last) {
                return false;
            }
            files.push_back(std::move(f));
        }
        return true;
    }

    FileSystem& m_fs;
    std::u16string dest;
    std::u16string work;
    std::u16string tag;
    std::u16string package;               // the package's file name in the destination, if it is there
    std::vector<std::u16string> folders;  // created by the commit, parents first
    std::vector<FileStep> files;          // in commit order; the last file comes last
};

namespace {

// Folders below the destination, created as needed; remembers which it made.
class FolderMaker {
public:
    FolderMaker(FileSystem& fs, const Journal& journal) : m_fs(fs), m_journal(journal) {}

    // Makes the first `count` segments of `relative` ('/'-separated) exist.
    FsResult Ensure(const std::u16string& relative, bool includeLast) {
        std::size_t end = 0;
        for (;;) {
            end = relative.find(u'/', end ? end + 1 : 0);
            if (end == std::u16string::npos && !includeLast) return FsResult::Success();
            const std::u16string prefix = relative.substr(0, end);
            if (!m_known.count(prefix)) {
                const std::u16string folder = m_journal.Full(prefix);
                FsInfo info;
                FsResult r = m_fs.Stat(folder, info);
                if (!r) return r;
                if (info.exists && !info.directory)
                    return FsResult::Fail(FsCode::Exists,
                                          u"cannot create folder " + folder + u": a file has that name");
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
    // Removes the given folders, deepest first, where they are empty.
    bool RemoveEmpty(const std::vector<std::u16string>& folders) {
        bool ok = true;
        for (auto d = folders.rbegin(); d != folders.rend(); ++d) {
            FsInfo info;
            if (m_fs.Stat(m_journal.Full(*d), info) && info.exists && !m_fs.RemoveEmptyDirectory(m_journal.Full(*d)))
                ok = false;
        }
        return ok;
    }

    std::vector<std::u16string> created;

private:
    FileSystem& m_fs;
    const Journal& m_journal;
    std::set<std::u16string> m_known;
};

// Empties and removes a work folder; what cannot be deleted stays.
void RemoveWorkFolder(FileSystem& fs, const std::u16string& work) {
    std::vector<std::u16string> names;
    if (fs.ListFolder(work, u"", names))
        for (const std::u16string& name : names) fs.RemoveFile(JoinPath(fs, work, name));
    fs.RemoveEmptyDirectory(work);
}

// Deletes an updater's old file, or has it deleted at the next restart while
// it still runs.
void RemoveOldProgram(FileSystem& fs, const std::u16string& path) {
    FsInfo info;
    if (!fs.Stat(path, info) || !info.exists) return;
    if (!fs.RemoveFile(path)) fs.RemoveAtRestart(path);
}

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
        if (m_state == State::Prepared) RemoveWorkFolder(m_fs, m_work);
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

    InstallResult Stage(CZipArchive& archive);
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
    // "dir/" and "dir" are one folder; a root ("/", "C:\") keeps its separator.
    while (m_dest.size() > 1 && (m_dest.back() == m_fs.Separator() || m_dest.back() == u'/') &&
           !(m_dest.size() == 3 && m_dest[1] == u':'))
        m_dest.pop_back();
    if (m_dest.empty()) return Fail(InstallStatus::IoError, u"no destination folder");
    InstallResult checked = CheckPackage(archive, m_plan);
    if (!checked.ok()) return checked;

    FsInfo info;
    FsResult r = m_fs.Stat(m_dest, info);
    if (!r) return Fail(InstallStatus::IoError, r.message);
    if (!info.exists || !info.directory)
        return Fail(InstallStatus::IoError, u"destination folder " + m_dest + u" does not exist");
    for (int attempt = 0; attempt < 16; ++attempt) {
        m_work = JoinPath(m_fs, m_dest, std::u16string(kWorkFolderPrefix) + RandomSuffix());
        r = m_fs.MakeDirectory(m_work, true);
        if (r.code != FsCode::Exists) break;
    }
    if (!r) return Fail(InstallStatus::IoError, r.message);
    m_state = State::Prepared;
    m_journal = std::make_unique<Journal>(m_fs, m_dest, m_work);
    m_journal->tag = m_options.journalTag;
    if (FolderOf(m_fs, m_options.packageFile) == m_dest)
        m_journal->package = m_options.packageFile.substr(m_dest.size() + 1);

    const std::u16string last = FoldForComparison(m_options.lastFile);
    const std::u16string self = FoldForComparison(m_options.selfFile);
    for (const PackagePlan::Item& item : m_plan.items) {
        if (item.path.directory) continue;
        FileStep f;
        f.index = item.index;
        f.relative = JoinSegments(item.path.segments, item.path.segments.size(), u'/');
        m_journal->Resolve(f);
        const std::u16string folded = FoldForComparison(f.target);
        if (!self.empty() && folded == self) f.kind = Kind::Self;
        else if (!last.empty() && folded == last) f.kind = Kind::Last;
        m_journal->files.push_back(std::move(f));
    }
    // The product's executable goes last.
    std::stable_partition(m_journal->files.begin(), m_journal->files.end(),
                          [](const FileStep& f) { return f.kind != Kind::Last; });
    return Stage(archive);
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
        ZipResult zr = archive.ExtractFile(f.index, m_fs, f.staged, false, m_options.bufferSize);
        if (!zr) return Refuse(archive, zr);
        staged.push_back(f.staged);
        done += archive.GetEntry(f.index)->GetUncompressedSize();
        if (m_options.progress) m_options.progress(done, m_plan.totalSize);
    }
    if (m_options.flush) {
        FsResult r = m_fs.FlushFiles(staged);
        if (!r) return Fail(InstallStatus::IoError, r.message);
    }
    return InstallResult{};
}

InstallResult Installer::Commit() {
    if (m_state != State::Prepared) return Fail(InstallStatus::IoError, u"nothing prepared to commit");
    Journal& j = *m_journal;
    // What is there now decides what the commit does: the user may have
    // changed the folder while asked to close the product.
    for (FileStep& f : j.files) {
        FsInfo info;
        FsResult r = m_fs.Stat(f.target, info);
        if (!r) return Fail(InstallStatus::IoError, r.message, f.target);
        f.skip = info.directory;
        f.hadOld = info.exists && !info.directory;
        f.movedAside = f.placed = false;
        if (f.kind == Kind::Self)
            f.backup = JoinPath(m_fs, FolderOf(m_fs, f.target), kOldProgramPrefix + RandomSuffix());
    }
    // The folders this commit will create, parents first.
    j.folders.clear();
    std::set<std::u16string> seen;
    for (const PackagePlan::Item& item : m_plan.items) {
        const std::size_t n = item.path.segments.size() - (item.path.directory ? 0 : 1);
        for (std::size_t k = 1; k <= n; ++k) {
            const std::u16string prefix = JoinSegments(item.path.segments, k, u'/');
            if (!seen.insert(prefix).second) continue;
            FsInfo info;
            FsResult r = m_fs.Stat(j.Full(prefix), info);
            if (!r) return Fail(InstallStatus::IoError, r.message);
            if (!info.exists) j.folders.push_back(prefix);
        }
    }
    m_fs.RemoveFile(j.Path());  // one an earlier attempt could not remove
    FsResult r = WriteNewFile(m_fs, j.Path(), j.Text());
    if (!r) return Fail(InstallStatus::IoError, r.message);
    m_state = State::Broken;  // until the commit has either gone through or been undone

    FolderMaker folders(m_fs, j);
    for (const FileStep& f : j.files) {
        if (f.kind != Kind::Last || !f.hadOld || f.skip) continue;
        r = m_fs.CheckReplaceable(f.target);
        if (!r) return Abandon(StatusOf(r), r, nullptr, f.target);
    }
    InstallResult result = MoveOldFilesAside();
    if (result.ok()) result = PlaceNewFiles(folders);
    if (result.ok()) result = SwapLastFile(folders);
    if (result.ok()) m_state = State::Committed;
    return result;
}

InstallResult Installer::MoveOldFilesAside() {
    for (FileStep& f : m_journal->files) {
        if (!f.hadOld || f.kind == Kind::Last || f.skip) continue;
        // A running updater's file can be renamed, not deleted.
        FsResult r = f.kind == Kind::Self ? m_fs.Rename(f.target, f.backup) : m_fs.MoveAside(f.target, f.backup);
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
        if (f.kind == Kind::Last || f.skip) continue;
        FsResult r = Place(f, folders);
        if (!r) return Abandon(InstallStatus::IoError, r, &folders);
    }
    return InstallResult{};
}

// The old executable is copied aside (through a temporary name, so that a
// backup is always whole) and the new one renamed over it in one step.
InstallResult Installer::SwapLastFile(FolderMaker& folders) {
    for (FileStep& f : m_journal->files) {
        if (f.kind != Kind::Last || f.skip) continue;
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
        if (!f->movedAside || f->kind == Kind::Last) continue;
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
        FsResult r = f->kind == Kind::Last && f->hadOld ? m_fs.Replace(f->backup, f->target)
                                                         : m_fs.Rename(f->target, f->staged);
        if (!r && f->kind != Kind::Last) r = m_fs.RemoveFile(f->target);
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
    FsResult r = m_fs.RemoveFile(m_journal->Path());
    bool clean = r.ok();
    for (const FileStep& f : m_journal->files)
        if (f.kind == Kind::Self && f.hadOld && !f.skip) RemoveOldProgram(m_fs, f.backup);
    RemoveWorkFolder(m_fs, m_work);
    FsInfo left;
    if (m_fs.Stat(m_work, left).ok() && left.exists) clean = false;
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

InstallRecovery::InstallRecovery(FileSystem& fs, const std::u16string& folder) : m_fs(fs), m_folder(folder) {}
InstallRecovery::~InstallRecovery() = default;

bool InstallRecovery::FindNext() {
    m_journal.reset();
    std::vector<std::u16string> names;
    if (m_fs.ListFolder(m_folder, kWorkFolderPrefix, names)) {
        for (const std::u16string& name : names) {
            const std::u16string work = JoinPath(m_fs, m_folder, name);
            FsInfo info;
            // Each work folder once per run, even when it could not be removed.
            if (!m_seen.insert(work).second || !m_fs.Stat(work, info) || !info.directory) continue;
            auto journal = std::make_unique<Journal>(m_fs, m_folder, work);
            std::string text;
            FsResult read = ReadWholeFile(m_fs, journal->Path(), text, std::uint64_t{64} << 20);
            if (read && journal->Parse(text)) {
                for (const FileStep& f : journal->files)
                    if (f.kind == Kind::Self) m_kept.insert(f.backup);
                m_journal = std::move(journal);
                return true;
            }
            // No finished journal: the commit never began, or it was finished.
            if (read || read.code == FsCode::NotFound) RemoveWorkFolder(m_fs, work);
        }
    }
    // Old updaters, but for those an unresolved journal may still put back.
    if (m_fs.ListFolder(m_folder, kOldProgramPrefix, names))
        for (const std::u16string& name : names)
            if (!m_kept.count(JoinPath(m_fs, m_folder, name))) RemoveOldProgram(m_fs, JoinPath(m_fs, m_folder, name));
    return false;
}

RecoveryResult InstallRecovery::Resolve() {
    RecoveryResult result;
    if (!m_journal) {
        result.outcome = RecoveryOutcome::Failed;
        result.reason = u"no interrupted installation";
        return result;
    }
    Journal& j = *m_journal;
    result.tag = j.tag;
    auto exists = [&](const std::u16string& path, bool& yes) {
        FsInfo info;
        FsResult r = m_fs.Stat(path, info);
        yes = info.exists;
        return r;
    };
    auto fail = [&](const FsResult& r, const std::u16string& path) {
        result.outcome = r.code == FsCode::InUse ? RecoveryOutcome::InUse : RecoveryOutcome::Failed;
        result.path = path;
        result.reason = r.message;
        return result;
    };
    // What the interrupted commit got to, file by file.
    struct Seen {
        bool staged = false, backup = false, target = false;
        bool placed() const { return !staged && target; }
    };
    std::vector<Seen> seen(j.files.size());
    bool passedCommitPoint = true;
    bool newFilesThere = true;
    for (std::size_t i = 0; i < j.files.size(); ++i) {
        const FileStep& f = j.files[i];
        Seen& s = seen[i];
        for (auto [path, flag] : {std::pair{&f.staged, &s.staged}, {&f.backup, &s.backup}, {&f.target, &s.target}})
            if (FsResult r = exists(*path, *flag); !r) return fail(r, *path);
        if (f.kind != Kind::Last && f.hadOld && !s.backup && !s.placed()) passedCommitPoint = false;
        if (!s.staged && !s.target) newFilesThere = false;
    }

    FolderMaker folders(m_fs, j);
    if (passedCommitPoint && newFilesThere) {
        // Complete: the package's folders are made, and every new file not
        // yet in place goes to its place.
        for (const std::u16string& folder : j.folders)
            if (FsResult r = folders.Ensure(folder, true); !r) return fail(r, j.Full(folder));
        for (std::size_t i = 0; i < j.files.size(); ++i) {
            const FileStep& f = j.files[i];
            const Seen& s = seen[i];
            if (s.placed()) continue;
            FsResult r = folders.Ensure(f.relative, false);
            if (r && f.kind == Kind::Last && f.hadOld && !s.backup && s.target) {
                const std::u16string copy = j.CopyPath(f);
                m_fs.RemoveFile(copy);
                r = CopyToNewFile(m_fs, f.target, copy);
                if (r) r = m_fs.Rename(copy, f.backup);
            }
            if (r && s.target) r = m_fs.CheckReplaceable(f.target);
            if (r) r = m_fs.Replace(f.staged, f.target);
            if (!r) return fail(r, f.target);
        }
        result.outcome = RecoveryOutcome::Completed;
        return result;
    }
    // Roll back, last file first.
    for (std::size_t n = j.files.size(); n-- > 0;) {
        const FileStep& f = j.files[n];
        const Seen& s = seen[n];
        FsResult r;
        if (f.kind == Kind::Last && f.hadOld) {
            if (s.placed() && !s.backup) r = FsResult::Fail(FsCode::NotFound, u"the old " + f.target + u" is lost");
            else if (s.placed()) r = m_fs.CheckReplaceable(f.target);
            if (r && s.placed()) r = m_fs.Replace(f.backup, f.target);
        } else {
            if (s.placed())
                r = f.kind == Kind::Self ? m_fs.Rename(f.target, f.staged) : m_fs.MoveAside(f.target, f.staged);
            if (r && f.hadOld && s.backup) r = m_fs.Rename(f.backup, f.target);
            if (r && f.hadOld && !s.backup && s.placed())
                r = FsResult::Fail(FsCode::NotFound, u"the old " + f.target + u" is lost");
        }
        if (!r) return fail(r, f.target);
    }
    folders.RemoveEmpty(j.folders);
    result.outcome = RecoveryOutcome::RolledBack;
    return result;
}

void InstallRecovery::Finish() {
    if (!m_journal) return;
    if (m_fs.RemoveFile(m_journal->Path())) {
        for (const FileStep& f : m_journal->files) {
            if (f.kind != Kind::Self) continue;
            m_kept.erase(f.backup);
            RemoveOldProgram(m_fs, f.backup);
        }
        RemoveWorkFolder(m_fs, m_journal->work);
        if (!m_journal->package.empty()) m_fs.RemoveFile(m_journal->Full(m_journal->package));
    }
    m_journal.reset();
}

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

