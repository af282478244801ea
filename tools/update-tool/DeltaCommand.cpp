#include "DeltaCommand.h"

#include <algorithm>
#include <map>
#include <set>

#include "CString.h"
#include "DeltaPackage.h"
#include "EntryName.h"
#include "InstallEngine.h"
#include "PatchEncoder.h"
#include "ZipWriter.h"

namespace {

const char kDeltaDescriptionText[] =
    "      Writes OUT, a package that, installed over an installation of OLD,\n"
    "      leaves exactly the files of NEW: changed files as binary patches\n"
    "      where that is smaller, new files whole, removed files named. OLD\n"
    "      and NEW are full packages or folders. Sign OUT like any package; an\n"
    "      updater that finds other files than OLD's refuses it and changes\n"
    "      nothing.\n"
    "      exit status: 0 written, 3 refused (OLD or NEW no installable package,\n"
    "      a name no package may hold, a file that is a folder in the other),\n"
    "      1 unreadable input or OUT unwritable (OUT then unchanged), 2 usage\n";

// Every folder on the way to each file, and the named ones.
void AddFolders(ReleaseTree& tree) {
    std::set<std::u16string> seen(tree.folders.begin(), tree.folders.end());
    for (const ReleaseTree::File& f : tree.files)
        for (std::size_t slash = f.path.find(u'/'); slash != std::u16string::npos; slash = f.path.find(u'/', slash + 1))
            if (seen.insert(f.path.substr(0, slash)).second) tree.folders.push_back(f.path.substr(0, slash));
}

class PackageTree : public ReleaseTree {
public:
    bool Open(FileSystem& fs, const std::u16string& path, std::u16string& why, bool& refused) {
        m_archive.SetFileSystem(&fs);
        ZipResult opened = m_archive.Open(path);
        if (!opened) return refused = opened.status != ZipStatus::FileError, why = opened.ToText(), false;
        PackagePlan plan;
        InstallResult checked = CheckPackage(m_archive, plan);
        if (!checked.ok()) return refused = checked.status == InstallStatus::Damaged, why = checked.reason, false;
        if (plan.isDelta) return refused = true, why = u"a delta package, not a release", false;
        for (const PackagePlan::Item& item : plan.items) {
            const std::u16string name = JoinSegments(item.path.segments, item.path.segments.size(), u'/');
            if (item.path.directory) {
                folders.push_back(name);
                continue;
            }
            Sha256Sink sink;
            ZipResult zr = m_archive.ExtractFile(item.index, sink);
            File f;
            if (!zr || !sink.Finish(f.digest))
                return refused = zr.status != ZipStatus::FileError, why = zr.ToText(), false;
            f.path = name;
            f.size = sink.Size();
            m_index[name] = item.index;
            files.push_back(std::move(f));
        }
        return true;
    }
    bool Read(const File& file, std::string& data, std::u16string& why) override {
        ZipStringSink sink;
        ZipResult zr = m_archive.ExtractFile(m_index[file.path], sink);
        if (!zr) why = zr.ToText();
        data = std::move(sink.text);
        return zr.ok();
    }

private:
    CZipArchive m_archive;
    std::map<std::u16string, ZIP_INDEX_TYPE> m_index;
};

class FolderTree : public ReleaseTree {
public:
    explicit FolderTree(FileSystem& fs) : m_fs(fs) {}

    bool Open(const std::u16string& root, std::u16string& why, bool& refused) {
        m_root = root;
        return Walk(u"", 0, why, refused);
    }
    bool Read(const File& file, std::string& data, std::u16string& why) override {
        FsResult r = ReadWholeFile(m_fs, Native(file.path), data, UINT64_MAX);
        if (!r) why = r.message;
        return r.ok();
    }

private:
    std::u16string Native(const std::u16string& relative) const {
        std::u16string path = relative;
        for (char16_t& c : path)
            if (c == u'/') c = m_fs.Separator();
        return relative.empty() ? m_root : JoinPath(m_fs, m_root, path);
    }

    bool Walk(const std::u16string& relative, int depth, std::u16string& why, bool& refused) {
        std::vector<std::u16string> names;
        FsResult r = m_fs.ListFolder(Native(relative), u"", names);
        if (!r) return why = r.message, false;
        std::sort(names.begin(), names.end());
        for (const std::u16string& name : names) {
            const std::u16string path = relative.empty() ? name : relative + u"/" + name;
            FsInfo info;
            if (!(r = m_fs.Stat(Native(path), info))) return why = r.message, false;
            if (info.link) return refused = true, why = Native(path) + u" is a link; a package holds none", false;
            if (!CheckFileName(name, why)) return refused = true, why = Native(path) + u": " + why, false;
            if (info.directory) {
                folders.push_back(path);
                if (depth >= 64) return refused = true, why = Native(path) + u": folders nested too deep", false;
                if (!Walk(path, depth + 1, why, refused)) return false;
                continue;
            }
            std::unique_ptr<FsReadFile> in;
            File f;
            f.path = path;
            if (!(r = m_fs.OpenForRead(Native(path), in)) || !(r = HashFile(*in, f.digest)))
                return why = r.message, false;
            f.size = in->Size();
            files.push_back(std::move(f));
        }
        return true;
    }

    FileSystem& m_fs;
    std::u16string m_root;
};

std::u16string LastSegment(const std::u16string& path) { return path.substr(path.rfind(u'/') + 1); }

}  // namespace

bool ReleaseTree::Open(FileSystem& fs, const std::u16string& path, std::unique_ptr<ReleaseTree>& tree,
                       std::u16string& why, bool& refused) {
    refused = false;
    FsInfo info;
    FsResult r = fs.Stat(path, info);
    if (!r || !info.exists) return why = r ? path + u" does not exist" : r.message, false;
    bool ok = false;
    if (info.directory) {
        auto folder = std::make_unique<FolderTree>(fs);
        ok = folder->Open(path, why, refused);
        tree = std::move(folder);
    } else {
        auto package = std::make_unique<PackageTree>();
        ok = package->Open(fs, path, why, refused);
        tree = std::move(package);
    }
    if (!ok) return false;
    AddFolders(*tree);
    std::sort(tree->files.begin(), tree->files.end(), [](const File& a, const File& b) { return a.path < b.path; });
    // Two names Windows takes for one file cannot both be installed.
    std::set<std::u16string> seen;
    for (const File& f : tree->files)
        if (!seen.insert(FoldForComparison(f.path)).second)
            return refused = true, why = u"two files named as one on Windows: " + f.path, false;
    return true;
}

DeltaStatus BuildDelta(ReleaseTree& old, ReleaseTree& now, FsWriteFile& out, DeltaCounts& counts, std::u16string& why) {
    counts = DeltaCounts{};
    auto fold = [](const std::u16string& path) { return FoldForComparison(path); };
    std::map<std::u16string, const ReleaseTree::File*> oldFiles, newFiles;
    std::set<std::u16string> oldFolders, newFolders;
    for (const auto& f : old.files) oldFiles[fold(f.path)] = &f;
    for (const auto& f : now.files) newFiles[fold(f.path)] = &f;
    for (const auto& d : old.folders) oldFolders.insert(fold(d));
    for (const auto& d : now.folders) newFolders.insert(fold(d));
    for (const auto& f : now.files)
        if (oldFolders.count(fold(f.path)))
            return why = f.path + u" is a folder in OLD and a file in NEW", DeltaStatus::Refused;
    for (const auto& f : old.files)
        if (newFolders.count(fold(f.path)))
            return why = f.path + u" is a file in OLD and a folder in NEW", DeltaStatus::Refused;

    // Bases for files NEW adds: an old file with the same content, else one
    // NEW lacks with the same name.
    std::map<Sha256Digest, const ReleaseTree::File*> byContent;
    std::map<std::u16string, const ReleaseTree::File*> goneByName;
    for (const auto& f : old.files) {
        byContent.emplace(f.digest, &f);
        if (!newFiles.count(fold(f.path))) goneByName.emplace(fold(LastSegment(f.path)), &f);
    }

    ZipWriter writer(out);
    DeltaDescription description;
    FsResult written;
    std::string data, oldData, patch;
    for (const auto& f : now.files) {
        const ReleaseTree::File* base = nullptr;
        if (auto same = oldFiles.find(fold(f.path)); same != oldFiles.end()) {
            if (same->second->digest == f.digest) {
                ++counts.unchanged;
                continue;
            }
            base = same->second;
        } else if (auto copy = byContent.find(f.digest); copy != byContent.end()) {
            base = copy->second;
        } else if (auto moved = goneByName.find(fold(LastSegment(f.path))); moved != goneByName.end()) {
            base = moved->second;
        }
        if (!now.Read(f, data, why)) return DeltaStatus::IoError;
        const std::string deflated = Deflate(data);
        const std::uint64_t whole = std::min(deflated.size(), data.size());
        if (base && !old.Read(*base, oldData, why)) return DeltaStatus::IoError;
        if (base && MakePatch(oldData, data, patch) && patch.size() < whole &&
            PatchWithinLimits(f.size, base->size, patch.size(), ZipLimits{})) {
            written = writer.AddFile(kDeltaPatchFolder + f.path, patch, true);
            description.patches.push_back({f.path, base->path, f.size, base->digest, f.digest});
            ++counts.patched;
        } else {
            written = writer.AddPacked(f.path, data, deflated);
            ++counts.whole;
        }
        if (!written) return why = written.message, DeltaStatus::IoError;
    }
    for (const auto& f : old.files) {
        if (newFiles.count(fold(f.path))) continue;
        description.removals.push_back(f.path);
        ++counts.removed;
    }
    // Folders NEW adds with nothing in them.
    std::set<std::u16string> filled;
    for (const auto& f : now.files) filled.insert(fold(f.path.substr(0, f.path.rfind(u'/') + 1)));
    for (const auto& d : now.folders) filled.insert(fold(d.substr(0, d.rfind(u'/') + 1)));
    for (const auto& d : now.folders) {
        if (oldFolders.count(fold(d)) || filled.count(fold(d + u"/"))) continue;
        if (!(written = writer.AddFolder(d + u"/"))) return why = written.message, DeltaStatus::IoError;
    }
    written = writer.AddFile(kDeltaDescription, description.Text(), false);
    if (written) written = writer.Finish();
    if (!written) return why = written.message, DeltaStatus::IoError;
    counts.size = writer.Size();
    return DeltaStatus::Built;
}

const ToolCommand kDeltaCommand = {"delta", "OLD NEW OUT", kDeltaDescriptionText, RunDeltaCommand};

int RunDeltaCommand(const std::vector<std::string>& args, ToolContext& context) {
    std::vector<std::string> operands;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") return PrintCommandUsage(context.out, kDeltaCommand), kExitOk;
        if (args[i] == "--") {
            operands.insert(operands.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        }
        if (!args[i].empty() && args[i][0] == '-')
            return UsageError(context, kDeltaCommand, "unknown option " + QuoteText(args[i]));
        operands.push_back(args[i]);
    }
    if (operands.size() != 3) return UsageError(context, kDeltaCommand, "OLD, NEW and OUT needed");
    auto failed = [&](const std::u16string& why, int status) {
        WriteText(context.err, "update-tool delta: " + QuoteText(why) + "\n");
        return status;
    };
    FileSystem& fs = PlatformFileSystem();
    std::unique_ptr<ReleaseTree> trees[2];
    for (int k = 0; k < 2; ++k) {
        std::u16string why;
        bool refused = false;
        if (!ReleaseTree::Open(fs, Utf8ToUtf16(operands[k]), trees[k], why, refused))
            return failed((k ? u"NEW: " : u"OLD: ") + why, refused ? kExitStrict : kExitInput);
    }
    // Written beside OUT, and put in its place once complete.
    const std::u16string target = Utf8ToUtf16(operands[2]), partial = target + u".partial";
    fs.RemoveFile(partial);
    std::unique_ptr<FsWriteFile> out;
    FsResult r = fs.CreateNewFile(partial, out);
    if (!r) return failed(r.message, kExitInput);
    DeltaCounts counts;
    std::u16string why;
    const DeltaStatus built = BuildDelta(*trees[0], *trees[1], *out, counts, why);
    if (built == DeltaStatus::Built && !(r = out->Finish(true))) why = r.message;
    out.reset();
    if (built == DeltaStatus::Built && r) r = fs.Replace(partial, target);
    if (built != DeltaStatus::Built || !r) {
        fs.RemoveFile(partial);
        return failed(r ? why : r.message, built == DeltaStatus::Refused ? kExitStrict : kExitInput);
    }
    WriteText(context.out, "delta: " + QuoteText(operands[2]) + " (" + std::to_string(counts.size) + " bytes): " +
                               std::to_string(counts.patched) + " patched, " + std::to_string(counts.whole) +
                               " stored whole, " + std::to_string(counts.removed) + " removed, " +
                               std::to_string(counts.unchanged) + " unchanged\n");
    return kExitOk;
}
