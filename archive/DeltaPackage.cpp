#include "DeltaPackage.h"

#include <algorithm>

#include "CString.h"
#include "EntryName.h"

const char16_t kDeltaFolder[] = u".update-staging-delta";
const char16_t kDeltaDescription[] = u".update-staging-delta/delta.txt";
const char16_t kDeltaPatchFolder[] = u".update-staging-delta/patch/";

namespace {

const char kHeader[] = "qelda-update-delta 1";
const char kHeaderStart[] = "qelda-update-delta ";

bool StartsWith(const std::u16string& text, const char16_t* prefix) {
    return text.compare(0, std::char_traits<char16_t>::length(prefix), prefix) == 0;
}

// A file's path: an entry name of one or more segments, joined with '/'.
bool ParseFilePath(const std::u16string& name, std::u16string& path, std::u16string& why) {
    EntryPath parsed;
    if (!ParseEntryName(name, parsed, why)) return false;
    if (parsed.segments.empty() || parsed.directory) return why = u"not a file's path", false;
    path = JoinSegments(parsed.segments, parsed.segments.size(), u'/');
    return true;
}

bool ParseDigest(const std::u16string& hex, Sha256Digest& digest) {
    if (hex.size() != 2 * digest.size()) return false;
    for (std::size_t i = 0; i < hex.size(); ++i) {
        const char16_t c = hex[i];
        const int v = c >= u'0' && c <= u'9' ? c - u'0' : c >= u'a' && c <= u'f' ? c - u'a' + 10 : -1;
        if (v < 0) return false;
        digest[i / 2] = static_cast<std::uint8_t>((i % 2 ? digest[i / 2] << 4 : 0) | v);
    }
    return true;
}

}  // namespace

std::string DigestHex(const Sha256Digest& digest) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : digest) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

std::string DeltaDescription::Text() const {
    std::string text = std::string(kHeader) + "\n";
    for (const DeltaPatch& p : patches) {
        text += "patch " + std::to_string(p.size) + " " + DigestHex(p.baseDigest) + " " + DigestHex(p.digest) + " " +
                Utf16ToUtf8(p.path) + "\n";
        if (p.base != p.path) text += "from " + Utf16ToUtf8(p.base) + "\n";
    }
    for (const std::u16string& r : removals) text += "remove " + Utf16ToUtf8(r) + "\n";
    return text;
}

bool DeltaDescription::Parse(const std::string& text, std::u16string& why) {
    patches.clear();
    removals.clear();
    auto fail = [&](std::size_t line, const std::u16string& what) {
        why = FormatText(u"line %llu: ", {static_cast<unsigned long long>(line)}) + what;
        patches.clear();
        removals.clear();
        return false;
    };
    std::u16string all;
    std::size_t bad = 0;
    if (!DecodeUtf8Strict(text.data(), text.size(), all, &bad))
        return why = FormatText(u"not UTF-8 at byte %llu", {static_cast<unsigned long long>(bad)}), false;
    if (all.empty() || all.back() != u'\n') return fail(1, u"the last line does not end");
    std::vector<std::u16string> lines;
    for (std::size_t start = 0; start < all.size();) {
        const std::size_t end = all.find(u'\n', start);
        lines.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    if (lines[0] != Utf8ToUtf16(kHeader)) {
        if (StartsWith(lines[0], Utf8ToUtf16(kHeaderStart).c_str()))
            return fail(1, u"a delta of format \"" + lines[0].substr(sizeof kHeaderStart - 1) +
                               u"\", made for a later updater");
        return fail(1, u"not a delta description");
    }
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::u16string& line = lines[i];
        std::u16string path;
        if (StartsWith(line, u"remove ")) {
            if (!ParseFilePath(line.substr(7), path, why)) return fail(i + 1, u"remove: " + why);
            removals.push_back(std::move(path));
        } else if (StartsWith(line, u"from ")) {
            if (i == 1 || !StartsWith(lines[i - 1], u"patch ")) return fail(i + 1, u"from: not after a patch");
            if (!ParseFilePath(line.substr(5), path, why)) return fail(i + 1, u"from: " + why);
            patches.back().base = std::move(path);
        } else if (StartsWith(line, u"patch ")) {
            // patch SIZE OLD NEW PATH
            DeltaPatch p;
            const std::size_t sizeEnd = line.find(u' ', 6);
            const std::u16string size = line.substr(6, sizeEnd - 6);
            if (sizeEnd == std::u16string::npos || size.empty() || size.size() > 19 ||
                size.find_first_not_of(u"0123456789") != std::u16string::npos)
                return fail(i + 1, u"patch: bad size");
            p.size = std::stoull(Utf16ToUtf8(size));
            const std::size_t digests = sizeEnd + 1, name = digests + 2 * (2 * p.digest.size() + 1);
            if (line.size() <= name || line[digests + 2 * p.digest.size()] != u' ' || line[name - 1] != u' ' ||
                !ParseDigest(line.substr(digests, 2 * p.digest.size()), p.baseDigest) ||
                !ParseDigest(line.substr(digests + 2 * p.digest.size() + 1, 2 * p.digest.size()), p.digest))
                return fail(i + 1, u"patch: bad digest");
            if (!ParseFilePath(line.substr(name), p.path, why)) return fail(i + 1, u"patch: " + why);
            p.base = p.path;
            patches.push_back(std::move(p));
        } else {
            return fail(i + 1, u"unknown record");
        }
    }
    return true;
}

bool Sha256Sink::Write(const void* data, std::size_t size, std::u16string& why) {
    m_size += size;
    if (!m_hash.Update(data, size)) return why = u"cannot compute SHA-256", false;
    return !m_next || m_next->Write(data, size, why);
}

FsResult HashFile(FsReadFile& file, Sha256Digest& digest, std::size_t buffer, const std::function<bool()>& goOn) {
    constexpr std::uint64_t kStep = std::uint64_t{4} << 20;
    std::vector<char> bytes(std::max<std::size_t>(buffer, 4096));
    Sha256 hash;
    for (std::uint64_t at = 0, size = file.Size(), sinceAsked = 0; at < size;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), size - at));
        if (FsResult r = file.ReadAt(at, bytes.data(), n); !r) return r;
        if (!hash.Update(bytes.data(), n)) return FsResult::Fail(FsCode::Other, u"cannot compute SHA-256");
        at += n;
        if ((sinceAsked += n) >= kStep && goOn) {
            sinceAsked = 0;
            if (!goOn()) return FsResult::Fail(FsCode::Other, u"cancelled");
        }
    }
    return hash.Finish(digest) ? FsResult::Success() : FsResult::Fail(FsCode::Other, u"cannot compute SHA-256");
}

bool PatchWithinLimits(std::uint64_t size, std::uint64_t baseSize, std::uint64_t patchSize, const ZipLimits& limits) {
    const std::uint64_t ratio = limits.maxTotalRatio;
    if (ratio != 0 && patchSize > (UINT64_MAX - baseSize) / ratio) return true;
    return size <= baseSize + patchSize * ratio;
}
