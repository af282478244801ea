#include "EntryName.h"

#include <cstddef>

const char16_t kWorkFolderPrefix[] = u".update-staging-";
const char16_t kDownloadFolderPrefix[] = u".update-download-";
const char16_t kOldProgramPrefix[] = u".update-old-";

namespace {

char16_t FoldUnit(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
    if (c < 0x80) return c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);  // Latin-1
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x17F) {  // Latin Extended-A: pairs
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c : static_cast<char16_t>(c - 1);
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x178 || c == 0x17F) return c;
        return (c & 1) ? static_cast<char16_t>(c - 1) : c;
    }
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);  // Greek
    if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);                  // Cyrillic
    if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
    if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<char16_t>(c - 0x20);  // full-width Latin
    return c;
}

bool IsForbidden(char16_t c) {
    if (c < 0x20 || c == 0x7F) return true;
    switch (c) {
    case u'<': case u'>': case u':': case u'"': case u'|': case u'?': case u'*':
        return true;
    default:
        return false;
    }
}

// Windows opens a device for these base names whatever extension follows.
bool IsDeviceName(const std::u16string& segment) {
    std::size_t end = segment.find(u'.');
    if (end == std::u16string::npos) end = segment.size();
    while (end > 0 && segment[end - 1] == u' ') --end;
    std::u16string base;
    for (std::size_t i = 0; i < end; ++i) base += FoldUnit(segment[i]);
    if (base == u"CON" || base == u"PRN" || base == u"AUX" || base == u"NUL" || base == u"CONIN$" ||
        base == u"CONOUT$" || base == u"CLOCK$")
        return true;
    if (base.size() == 4 && (base.compare(0, 3, u"COM") == 0 || base.compare(0, 3, u"LPT") == 0)) {
        const char16_t d = base[3];
        return (d >= u'1' && d <= u'9') || d == 0xB9 || d == 0xB2 || d == 0xB3;
    }
    return false;
}

bool StartsWithFolded(const std::u16string& text, const char16_t* prefix) {
    std::size_t i = 0;
    for (; prefix[i] != 0; ++i)
        if (i >= text.size() || FoldUnit(text[i]) != FoldUnit(prefix[i])) return false;
    return true;
}

}  // namespace

std::u16string FoldForComparison(const std::u16string& text) {
    std::u16string folded(text);
    for (char16_t& c : folded) c = FoldUnit(c);
    return folded;
}

// Windows gives long names a short alias ("UPDATE~1", "QELDA~2.EXE") that
// opens the same file: a name of that shape could reach a file under another
// rule's name (the engine's own folders, the product's executable).
bool LooksLikeShortName(const std::u16string& name) {
    if (name.find(u'~') == std::u16string::npos) return false;
    const std::size_t dot = name.rfind(u'.');
    const std::size_t base = dot == std::u16string::npos ? name.size() : dot;
    const std::size_t extension = dot == std::u16string::npos ? 0 : name.size() - dot - 1;
    return base >= 1 && base <= 8 && extension <= 3;
}

bool CheckFileName(const std::u16string& name, std::u16string& why) {
    if (name.empty()) {
        why = u"empty name";
        return false;
    }
    if (name == u"." || name == u"..") {
        why = u"'" + name + u"' names a folder, not a file";
        return false;
    }
    for (char16_t c : name) {
        if (c == u'/' || c == u'\\') {
            why = u"folder separator in a file name";
            return false;
        }
        if (c == u':') {
            why = u"':' (drive letter or alternate data stream)";
            return false;
        }
        if (IsForbidden(c)) {
            why = u"character not allowed in Windows file names";
            return false;
        }
    }
    if (name.back() == u'.' || name.back() == u' ') {
        why = u"name ends in a dot or a space";
        return false;
    }
    if (name.size() > 255) {
        why = u"name longer than 255 characters";
        return false;
    }
    if (IsDeviceName(name)) {
        why = u"Windows device name";
        return false;
    }
    if (LooksLikeShortName(name)) {
        why = u"a short (8.3) name with '~', which may stand for another file's long name";
        return false;
    }
    for (const char16_t* prefix : {kWorkFolderPrefix, kDownloadFolderPrefix, kOldProgramPrefix}) {
        if (StartsWithFolded(name, prefix)) {
            why = u"name reserved for the updater's own files";
            return false;
        }
    }
    return true;
}

bool ParseEntryName(const std::u16string& name, EntryPath& path, std::u16string& why) {
    path.segments.clear();
    path.directory = false;
    if (name.empty()) {
        why = u"empty name";
        return false;
    }
    if (name[0] == u'/' || name[0] == u'\\') {
        why = u"absolute path";
        return false;
    }
    std::size_t start = 0;
    while (start < name.size()) {
        std::size_t end = start;
        while (end < name.size() && name[end] != u'/' && name[end] != u'\\') ++end;
        std::u16string segment = name.substr(start, end - start);
        const bool last = end >= name.size() - 1;
        if (end == name.size() - 1) path.directory = true;
        if (segment.empty()) {
            why = u"empty folder name";
            return false;
        }
        if (segment == u"..") {
            why = u"'..' leaves the destination folder";
            return false;
        }
        if (segment == u".") {
            // "./a" is "a" (bsdtar writes such names); a file cannot be ".".
            if (last && !path.directory) {
                why = u"'.' names a folder, not a file";
                return false;
            }
            if (last) break;
            start = end + 1;
            continue;
        }
        if (!CheckFileName(segment, why)) return false;
        path.segments.push_back(std::move(segment));
        if (last) break;
        start = end + 1;
    }
    return true;
}

std::u16string JoinSegments(const std::vector<std::u16string>& segments, std::size_t count, char16_t separator) {
    std::u16string out;
    for (std::size_t i = 0; i < count && i < segments.size(); ++i) {
        if (i) out += separator;
        out += segments[i];
    }
    return out;
}
