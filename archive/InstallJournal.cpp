#include "InstallJournal.h"

#include <algorithm>

#include <cstdint>
#include <set>

#include "EntryName.h"

namespace {

const char kHeader[] = "qelda-update-journal 1";
const char kHeaderWithRemovals[] = "qelda-update-journal 2";
const char kHeaderBuckets[] = "qelda-update-journal 3";
const char kHeaderStart[] = "qelda-update-journal ";
const char kEndLine[] = "end\n";
const char16_t kJournalName[] = u"journal";
const char16_t kHex[] = u"0123456789ABCDEF";

std::u16string Num(std::uint64_t v) { return FormatText(u"%llu", {static_cast<unsigned long long>(v)}); }

// A file of the work folder: a letter for its role, then the entry's index.
std::u16string WorkName(char16_t role, ZIP_INDEX_TYPE index) {
    std::u16string name(1, role);
    name += Num(index);
    return name;
}

bool IsSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

std::u16string Escape(const std::u16string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (IsHigh(c) && i + 1 < text.size() && IsLow(text[i + 1])) {
            out += c;
            out += text[++i];
        } else if (c == u'\\') {
            out += u"\\\\";
        } else if (c == u'\n') {
            out += u"\\n";
        } else if (c == u'\r') {
            out += u"\\r";
        } else if (c < 0x20 || c == 0x7F || IsSurrogate(c)) {
            out += u"\\u";
            for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

int HexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    return -1;
}

bool Unescape(const std::u16string& text, std::u16string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != u'\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        if (text[i] == u'n') {
            out += u'\n';
        } else if (text[i] == u'r') {
            out += u'\r';
        } else if (text[i] == u'\\') {
            out += u'\\';
        } else if (text[i] == u'u' && i + 4 < text.size()) {
            unsigned value = 0;
            for (int k = 0; k < 4; ++k) {
                const int digit = HexValue(text[++i]);
                if (digit < 0) return false;
                value = value * 16 + static_cast<unsigned>(digit);
            }
            out += static_cast<char16_t>(value);
        } else {
            return false;
        }
    }
    return true;
}

bool StartsWith(const std::u16string& text, const char16_t* prefix) {
    return text.compare(0, std::char_traits<char16_t>::length(prefix), prefix) == 0;
}

// A relative path of the journal: escaped, then an entry name of one or more
// segments, joined again with '/'.
bool ParsePath(const std::u16string& field, bool folder, std::u16string& relative, std::u16string& why) {
    std::u16string name;
    if (!Unescape(field, name)) {
        why = u"bad escape";
        return false;
    }
    EntryPath path;
    if (!ParseEntryName(name, path, why)) return false;
    if (path.segments.empty() || (path.directory && !folder)) {
        why = u"not a file's path";
        return false;
    }
    relative = JoinSegments(path.segments, path.segments.size(), u'/');
    return true;
}

}  // namespace

Journal::Journal(FileSystem& fs, std::u16string destination, std::u16string work)
    : dest(std::move(destination)), work(std::move(work)), m_fs(fs) {}

std::u16string Journal::Path() const { return JoinPath(m_fs, work, kJournalName); }
std::u16string Journal::DraftPath() const { return JoinPath(m_fs, work, std::u16string(kJournalName) + u".new"); }

std::u16string Journal::Full(const std::u16string& relative) const {
    std::u16string native = relative;
    for (char16_t& c : native)
        if (c == u'/') c = m_fs.Separator();
    return JoinPath(m_fs, dest, native);
}

std::u16string Journal::WorkPath(char16_t role, ZIP_INDEX_TYPE index) const {
    if (!buckets) return JoinPath(m_fs, work, WorkName(role, index));
    return JoinPath(m_fs, JoinPath(m_fs, work, Bucket(index)), WorkName(role, index));
}

std::u16string Journal::Bucket(ZIP_INDEX_TYPE index) {
    return std::u16string(1, kHex[(index / 16) % 4]) + kHex[index % 16];
}

std::vector<std::u16string> Journal::Buckets() const {
    std::vector<std::u16string> used;
    for (const FileStep& f : files) {
        const std::u16string folder = JoinPath(m_fs, work, Bucket(f.index));
        if (buckets && std::find(used.begin(), used.end(), folder) == used.end()) used.push_back(folder);
    }
    return used;
}

void Journal::Resolve(FileStep& f) const {
    f.target = Full(f.relative);
    f.staged = f.remove ? std::u16string() : WorkPath(u'n', f.index);
    if (f.kind != StepKind::Self) f.backup = WorkPath(f.remove ? u'r' : u'o', f.index);
}

std::u16string Journal::CopyPath(const FileStep& f) const { return WorkPath(u'c', f.index); }

std::string Journal::Text() const {
    std::u16string t = u"tag " + Escape(tag) + u"\n";
    if (buckets) t += linkBackups ? u"backups link\n" : u"backups move\n";
    if (!package.empty()) t += u"package " + Escape(package) + u"\n";
    for (const std::u16string& folder : folders) t += u"folder " + Escape(folder) + u"\n";
    bool removals = false;
    for (const FileStep& f : files) {
        if (f.skip) continue;
        removals = removals || f.remove;
        const std::u16string aside =
            f.kind == StepKind::Self ? f.backup.substr(FolderOf(m_fs, f.backup).size() + 1) : u"-";
        t += (f.remove ? u"remove " : u"file ") + Num(f.index) + u" " + static_cast<char16_t>(f.kind) +
             (f.hadOld ? u" 1 " : u" 0 ") + aside + u" " + Escape(f.relative) + u"\n";
    }
    return std::string(buckets ? kHeaderBuckets : removals ? kHeaderWithRemovals : kHeader) + "\n" + Utf16ToUtf8(t) +
           kEndLine;
}

Journal::Read Journal::Parse(const std::string& text, std::u16string& why) {
    tag.clear();
    package.clear();
    folders.clear();
    files.clear();
    const std::size_t endSize = sizeof kEndLine - 1;
    if (text.size() < endSize || text.compare(text.size() - endSize, endSize, kEndLine) != 0 ||
        (text.size() > endSize && text[text.size() - endSize - 1] != '\n'))
        return Read::Incomplete;
    auto malformed = [&](std::size_t line, const std::u16string& what) {
        why = line == 0 ? what : u"line " + Num(line) + u": " + what;
        tag.clear();
        package.clear();
        folders.clear();
        files.clear();
        return Read::Malformed;
    };
    const std::size_t headerEnd = text.find('\n');
    const std::string header = text.substr(0, headerEnd);
    buckets = header == kHeaderBuckets;
    linkBackups = false;
    const bool removals = header == kHeaderWithRemovals || buckets;
    if (header != kHeader && !removals) {
        if (header.compare(0, sizeof kHeaderStart - 1, kHeaderStart) == 0)
            return malformed(0, u"a journal of format \"" + Utf8ToUtf16(header.substr(sizeof kHeaderStart - 1)) +
                                    u"\", written by a later updater");
        return malformed(1, u"not an update journal");
    }
    std::u16string all;
    std::size_t bad = 0;
    if (!DecodeUtf8Strict(text.data(), text.size(), all, &bad)) return malformed(0, u"not UTF-8 at byte " + Num(bad));
    std::vector<std::u16string> lines;
    for (std::size_t start = 0; start < all.size();) {
        const std::size_t end = all.find(u'\n', start);
        lines.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    if (lines.size() < 3 || !StartsWith(lines[1], u"tag ") || !Unescape(lines[1].substr(4), tag))
        return malformed(2, u"no tag");
    std::size_t first = 2;
    if (buckets) {
        if (lines.size() < 4 || (lines[2] != u"backups link" && lines[2] != u"backups move"))
            return malformed(3, u"no backups line");
        linkBackups = lines[2] == u"backups link";
        first = 3;
    }
    std::set<ZIP_INDEX_TYPE> indexes, removalNumbers;
    std::set<std::u16string> targets;  // as Windows compares names
    for (std::size_t i = first; i + 1 < lines.size(); ++i) {
        const std::u16string& line = lines[i];
        std::u16string what;
        if (StartsWith(line, u"package ")) {
            // Only a name the file-name rule accepts is the journal's to delete.
            if (!Unescape(line.substr(8), package)) return malformed(i + 1, u"package: bad escape");
            if (!CheckFileName(package, what)) package.clear();
            continue;
        }
        if (StartsWith(line, u"folder ")) {
            std::u16string folder;
            if (!ParsePath(line.substr(7), true, folder, what)) return malformed(i + 1, u"folder: " + what);
            folders.push_back(std::move(folder));
            continue;
        }
        // file INDEX KIND OLD ASIDE PATH, remove NUMBER KIND OLD ASIDE PATH
        std::vector<std::u16string> fields;
        std::size_t start = 0;
        for (int k = 0; k < 5; ++k) {
            const std::size_t space = line.find(u' ', start);
            if (space == std::u16string::npos) return malformed(i + 1, u"unknown record");
            fields.push_back(line.substr(start, space - start));
            start = space + 1;
        }
        FileStep f;
        f.remove = removals && fields[0] == u"remove";
        if (fields[0] != u"file" && !f.remove) return malformed(i + 1, u"unknown record");
        const std::u16string& index = fields[1];
        if (index.empty() || index.size() > 19 || index.find_first_not_of(u"0123456789") != std::u16string::npos ||
            std::stoull(Utf16ToUtf8(index)) > SIZE_MAX)
            return malformed(i + 1, u"bad index");
        f.index = static_cast<ZIP_INDEX_TYPE>(std::stoull(Utf16ToUtf8(index)));
        f.kind = static_cast<StepKind>(fields[2].size() == 1 ? fields[2][0] : 0);
        if (f.kind != StepKind::Normal && f.kind != StepKind::Self && (f.kind != StepKind::Last || f.remove))
            return malformed(i + 1, u"bad kind");
        if (fields[3] != u"0" && fields[3] != u"1") return malformed(i + 1, u"bad old-file flag");
        f.hadOld = fields[3] == u"1";
        if (!ParsePath(line.substr(start), false, f.relative, what)) return malformed(i + 1, u"file: " + what);
        if (!(f.remove ? removalNumbers : indexes).insert(f.index).second ||
            !targets.insert(FoldForComparison(f.relative)).second)
            return malformed(i + 1, u"a second step for one entry or file");
        Resolve(f);
        if (f.kind == StepKind::Self) {
            const std::u16string& aside = fields[4];
            const std::size_t prefix = std::char_traits<char16_t>::length(kOldProgramPrefix);
            if (!StartsWith(aside, kOldProgramPrefix) || !CheckFileName(aside.substr(prefix), what))
                return malformed(i + 1, u"bad name for the old updater");
            f.backup = JoinPath(m_fs, FolderOf(m_fs, f.target), aside);
        }
        files.push_back(std::move(f));
    }
    return Read::Parsed;
}

bool Journal::SameContent(const Journal& other) const {
    if (tag != other.tag || package != other.package || folders != other.folders || buckets != other.buckets ||
        linkBackups != other.linkBackups || files.size() != other.files.size())
        return false;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const FileStep &a = files[i], &b = other.files[i];
        if (a.index != b.index || a.remove != b.remove || a.kind != b.kind || a.hadOld != b.hadOld ||
            a.relative != b.relative || a.backup != b.backup)
            return false;
    }
    return true;
}

std::vector<std::u16string> Journal::TouchedFolders() const {
    std::vector<std::u16string> touched{work};
    auto add = [&](const std::u16string& folder) {
        if (!folder.empty() && std::find(touched.begin(), touched.end(), folder) == touched.end())
            touched.push_back(folder);
    };
    for (const FileStep& f : files) {
        // The target's folder and each above it, up to the destination: a
        // folder the commit made is a name in its parent.
        for (std::u16string folder = FolderOf(m_fs, f.target); folder.size() >= dest.size();
             folder = FolderOf(m_fs, folder))
            add(folder);
        add(FolderOf(m_fs, f.backup));
        add(FolderOf(m_fs, f.staged));
    }
    return touched;
}
