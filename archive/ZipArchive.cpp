#include "ZipArchive.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>

#include "ZipFormat.h"

using namespace zipformat;

namespace {

constexpr std::size_t kMinBuffer = 64 * 1024;
// Deflate spends at least two bits on 258 bytes of output, so no stream
// expands beyond 1032:1; the eight extra bytes cover the smallest streams.
constexpr std::uint64_t kDeflateMaxRatio = 1032;

std::u16string Num(std::uint64_t v) { return FormatText(u"%llu", {static_cast<unsigned long long>(v)}); }

// Archive bytes that stay the caller's.
class MemorySource : public ZipSource {
public:
    MemorySource(const void* data, std::size_t size) : m_data(static_cast<const unsigned char*>(data)), m_size(size) {}
    std::uint64_t Size() const override { return m_size; }
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override {
        if (offset > m_size || size > m_size - offset) return false;
        if (size != 0) std::memcpy(buffer, m_data + offset, size);
        return true;
    }

private:
    const unsigned char* m_data;
    std::size_t m_size;
};

class FileSource : public ZipSource {
public:
    explicit FileSource(std::unique_ptr<FsReadFile> file) : m_file(std::move(file)), m_size(m_file->Size()) {}
    std::uint64_t Size() const override { return m_size; }
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override {
        if (offset > m_size || size > m_size - offset) return false;
        return m_file->ReadAt(offset, buffer, size).ok();
    }

private:
    std::unique_ptr<FsReadFile> m_file;
    std::uint64_t m_size;
};

class FileSink : public ZipSink {
public:
    explicit FileSink(FsWriteFile& file) : m_file(file) {}
    bool Write(const void* data, std::size_t size, std::u16string& why) override {
        FsResult r = m_file.Write(data, size);
        if (!r) why = r.message;
        return r.ok();
    }

private:
    FsWriteFile& m_file;
};

// Where the end record is and what it says.
struct EndRecord {
    std::uint64_t position = 0;
    std::uint16_t disk = 0;
    std::uint16_t centralDisk = 0;
    std::uint16_t entriesOnDisk = 0;
    std::uint16_t entries = 0;
    std::uint32_t centralSize = 0;
    std::uint32_t centralOffset = 0;
    std::uint16_t commentSize = 0;
};

// Looks for the end record in the last 64 KiB + 22 bytes (FindZipEndRecord
// has the rule). The tail read is twice that, so that the records that could
// end the bytes before a signature block are in it too.
ZipResult FindEndRecord(ZipSource& source, EndRecord& end, ZipEndRecord& found) {
    constexpr std::size_t kSpan = kEndSize + kMaxComment;
    const std::uint64_t size = source.Size();
    const char16_t* const notZip = u"no end-of-central-directory record: not a ZIP archive";
    if (size < kEndSize) return ZipResult::Fail(ZipStatus::NotZip, size, notZip);
    const std::size_t tailSize = static_cast<std::size_t>(std::min<std::uint64_t>(size, 2 * kSpan));
    std::vector<unsigned char> tail(tailSize);
    const std::uint64_t tailStart = size - tailSize;
    if (!source.ReadAt(tailStart, tail.data(), tailSize))
        return ZipResult::Fail(ZipStatus::FileError, tailStart, u"the archive's last bytes cannot be read");
    // The record at i whose comment ends exactly at `reach`, other than `skip`.
    auto reaching = [&](std::size_t reach, std::size_t skip) {
        for (std::size_t i = reach - kEndSize + 1; i-- > (reach > kSpan ? reach - kSpan : 0);)
            if (i != skip && Get32(&tail[i]) == kEndSignature && i + kEndSize + Get16(&tail[i + 20]) == reach) return i;
        return SIZE_MAX;
    };

    std::size_t at = reaching(tailSize, SIZE_MAX);
    if (at != SIZE_MAX && reaching(tailSize, at) != SIZE_MAX)
        return ZipResult::Fail(ZipStatus::Damaged, tailStart + at,
                               u"two end records reach the end of the file, this one and the one at offset " +
                                   Num(tailStart + reaching(tailSize, at)));
    // Bytes follow the archive: the last record whose comment fits.
    for (std::size_t i = tailSize - kEndSize + 1; at == SIZE_MAX && i-- > (tailSize > kSpan ? tailSize - kSpan : 0);)
        if (Get32(&tail[i]) == kEndSignature && i + kEndSize + Get16(&tail[i + 20]) <= tailSize) at = i;
    if (at == SIZE_MAX) return ZipResult::Fail(ZipStatus::NotZip, size, notZip);
    const unsigned char* p = &tail[at];
    end.disk = Get16(p + 4);
    end.centralDisk = Get16(p + 6);
    end.entriesOnDisk = Get16(p + 8);
    end.entries = Get16(p + 10);
    end.centralSize = Get32(p + 12);
    end.centralOffset = Get32(p + 16);
    end.commentSize = Get16(p + 20);
    end.position = found.position = tailStart + at;
    found.comment.assign(p + kEndSize, p + kEndSize + end.commentSize);
    found.signatureBlock = found.comment.rfind(kSignatureBlockBegin);
    if (found.signatureBlock != std::string::npos) {
        const std::size_t block = at + kEndSize + found.signatureBlock;
        const std::size_t other = reaching(block, at);
        if (other != SIZE_MAX)
            return ZipResult::Fail(ZipStatus::Damaged, tailStart + other,
                                   u"an end record ends where the signature block at offset " +
                                       Num(tailStart + block) + u" starts");
    }
    return ZipResult::Success();
}

bool SignatureAt(ZipSource& source, std::uint64_t offset, std::uint32_t signature) {
    unsigned char b[4];
    return source.ReadAt(offset, b, 4) && Get32(b) == signature;
}

// Walks an extra-field block; stops quietly at a field that does not fit,
// which some tools leave as padding.
template <class F>
void ForEachExtra(const unsigned char* extra, std::size_t size, F&& visit) {
    std::size_t i = 0;
    while (i + 4 <= size) {
        const std::uint16_t id = Get16(extra + i);
        const std::size_t length = Get16(extra + i + 2);
        if (i + 4 + length > size) return;
        if (!visit(id, extra + i + 4, length)) return;
        i += 4 + length;
    }
}

}  // namespace

std::unique_ptr<ZipSource> MakeMemorySource(const void* data, std::size_t size) {
    return std::make_unique<MemorySource>(data, size);
}

ZipResult FindZipEndRecord(ZipSource& source, ZipEndRecord& found) {
    EndRecord end;
    return FindEndRecord(source, end, found);
}

// ---------------------------------------------------------------------------
// CZipFileHeader

CZipString& CZipFileHeader::GetFileName(bool) { return m_name; }
const CZipString& CZipFileHeader::GetFileName(bool) const { return m_name; }

bool CZipFileHeader::IsDirectory() const {
    // The decoded name decides: in GBK a name's last byte may be 0x5C (backslash) as
    // the second half of a character.
    if (m_nameDecoded) {
        if (!m_name.empty() && (m_name.back() == u'/' || m_name.back() == u'\\')) return true;
    } else if (!m_rawName.empty() && (m_rawName.back() == '/' || m_rawName.back() == '\\')) {
        return true;
    }
    if (m_uncompressedSize != 0) return false;
    const std::uint8_t host = GetSystemCompatibility();
    if ((host == hostUnix || host == hostOsx) && ((m_externalAttributes >> 16) & 0170000) == 0040000) return true;
    return (m_externalAttributes & 0x10) != 0 && (host == hostDos || host == hostNtfs);
}

bool CZipFileHeader::IsSpecialFile() const {
    const std::uint8_t host = GetSystemCompatibility();
    if (host == hostUnix || host == hostOsx) {
        const std::uint32_t type = (m_externalAttributes >> 16) & 0170000;
        if (type != 0 && type != 0100000 && type != 0040000) return true;
    }
    if (host == hostDos || host == hostNtfs) return (m_externalAttributes & 0x400) != 0;  // reparse point
    return false;
}

// ---------------------------------------------------------------------------
// CZipArchive

struct CZipArchive::Inflater {
    z_stream stream{};
    bool ready = false;
    ~Inflater() {
        if (ready) inflateEnd(&stream);
    }
};

CZipArchive::CZipArchive() = default;
CZipArchive::~CZipArchive() { Close(); }

bool CZipArchive::IsZipArchive(const CZipString& path) {
    std::unique_ptr<FsReadFile> file;
    if (!PlatformFileSystem().OpenForRead(path, file)) return false;
    FileSource source(std::move(file));
    ZipEndRecord end;
    return FindZipEndRecord(source, end).ok();
}

ZipResult CZipArchive::Open(const CZipString& path, int mode, ZIP_SIZE_TYPE volumeSize) {
    Close();
    if (mode != zipOpen && mode != zipOpenReadOnly)
        return ZipResult::Fail(ZipStatus::Unsupported, 0, u"archives are opened for reading only");
    if (volumeSize != 0) return ZipResult::Fail(ZipStatus::Unsupported, 0, u"spanned archives are not read");
    FileSystem& fs = m_fs ? *m_fs : PlatformFileSystem();
    std::unique_ptr<FsReadFile> file;
    FsResult opened = fs.OpenForRead(path, file);
    if (!opened) return ZipResult::Fail(ZipStatus::FileError, 0, opened.message);
    ZipResult r = Open(std::make_unique<FileSource>(std::move(file)));
    if (r) m_path = path;
    return r;
}

ZipResult CZipArchive::Open(std::unique_ptr<ZipSource> source) {
    Close();
    m_source = std::move(source);
    m_activeDecoder = m_decoder ? m_decoder : DefaultNameDecoder();
    ZipResult r = ReadCentralDirectory();
    if (!r) Close();
    return r;
}

namespace {

// Archive bytes from a file that stays the caller's.
class BorrowedFileSource : public ZipSource {
public:
    explicit BorrowedFileSource(FsReadFile& file) : m_file(file), m_size(file.Size()) {}
    std::uint64_t Size() const override { return m_size; }
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override {
        if (offset > m_size || size > m_size - offset) return false;
        return m_file.ReadAt(offset, buffer, size).ok();
    }

private:
    FsReadFile& m_file;
    std::uint64_t m_size;
};

}  // namespace

ZipResult CZipArchive::Open(FsReadFile& file) { return Open(std::make_unique<BorrowedFileSource>(file)); }

bool CZipArchive::SetAutoFinalize(bool) { return true; }

CZipString CZipArchive::Close(int, bool) {
    CZipString path = m_path;
    m_source.reset();
    m_entries.clear();
    m_entries.shrink_to_fit();
    m_comment.clear();
    m_path.clear();
    m_start = 0;
    m_centralStart = 0;
    m_inflater.reset();
    m_activeDecoder.reset();
    m_inBuffer = {};
    m_outBuffer = {};
    return path;
}

bool CZipArchive::GetFileInfo(CZipFileHeader& header, ZIP_INDEX_TYPE index) const {
    if (index >= m_entries.size()) return false;
    header = m_entries[index];
    return true;
}

const CZipFileHeader* CZipArchive::GetEntry(ZIP_INDEX_TYPE index) const {
    return index < m_entries.size() ? &m_entries[index] : nullptr;
}

ZIP_SIZE_TYPE CZipArchive::GetArchiveSize() const { return m_source ? m_source->Size() : 0; }

ZipResult CZipArchive::ReadCentralDirectory() {
    ZipSource& src = *m_source;
    EndRecord end;
    ZipEndRecord found;
    if (ZipResult r = FindEndRecord(src, end, found); !r) return r;

    std::uint64_t entries = end.entries;
    std::uint64_t entriesOnDisk = end.entriesOnDisk;
    std::uint64_t centralSize = end.centralSize;
    std::uint64_t centralOffset = end.centralOffset;
    std::uint64_t disk = end.disk;
    std::uint64_t centralDisk = end.centralDisk;
    std::uint64_t centralEnd = end.position;  // the central directory ends before this
    bool zip64 = false;
    std::uint64_t bias = 0;
    bool biasKnown = false;

    // ZIP64: the locator sits right before the end record.
    if (end.position >= kEnd64LocatorSize && SignatureAt(src, end.position - kEnd64LocatorSize, kEnd64LocatorSignature)) {
        const std::uint64_t locatorAt = end.position - kEnd64LocatorSize;
        unsigned char loc[kEnd64LocatorSize];
        if (!src.ReadAt(locatorAt, loc, sizeof loc))
            return ZipResult::Fail(ZipStatus::Damaged, locatorAt, u"ZIP64 locator cut short");
        const std::uint64_t declared = Get64(loc + 8);
        const std::uint32_t totalDisks = Get32(loc + 16);
        if (Get32(loc + 4) != 0 || totalDisks > 1)
            return ZipResult::Fail(ZipStatus::Unsupported, locatorAt, u"spanned archives are not read");
        std::uint64_t recordAt = declared;
        if (declared > locatorAt || !SignatureAt(src, declared, kEnd64Signature)) {
            // Bytes were put in front of the archive: the record then usually
            // sits right before the locator.
            if (locatorAt >= kEnd64Size && SignatureAt(src, locatorAt - kEnd64Size, kEnd64Signature) &&
                locatorAt - kEnd64Size >= declared) {
                recordAt = locatorAt - kEnd64Size;
            } else {
                const bool saturated = end.entries == 0xFFFF || end.centralSize == 0xFFFFFFFF ||
                                       end.centralOffset == 0xFFFFFFFF || end.entriesOnDisk == 0xFFFF;
                if (saturated)
                    return ZipResult::Fail(ZipStatus::Damaged, locatorAt, u"ZIP64 end record not found where its locator points");
                recordAt = UINT64_MAX;  // a chance match: read the classic record alone
            }
        }
        if (recordAt != UINT64_MAX) {
            unsigned char rec[kEnd64Size];
            if (recordAt + kEnd64Size > locatorAt || !src.ReadAt(recordAt, rec, sizeof rec))
                return ZipResult::Fail(ZipStatus::Damaged, recordAt, u"ZIP64 end record cut short");
            const std::uint64_t recordSize = Get64(rec + 4);
            if (recordSize < kEnd64Size - 12 || recordSize > locatorAt - recordAt - 12)
                return ZipResult::Fail(ZipStatus::Damaged, recordAt, u"ZIP64 end record has an impossible size");
            disk = Get32(rec + 16);
            centralDisk = Get32(rec + 20);
            entriesOnDisk = Get64(rec + 24);
            entries = Get64(rec + 32);
            centralSize = Get64(rec + 40);
            centralOffset = Get64(rec + 48);
            centralEnd = recordAt;
            zip64 = true;
            bias = recordAt - declared;
            biasKnown = true;
        }
    }

    if (disk != 0 || centralDisk != 0 || entriesOnDisk != entries)
        return ZipResult::Fail(ZipStatus::Unsupported, end.position, u"spanned archives are not read");

    // Where does the central directory really start?
    if (!biasKnown) {
        if (centralOffset <= centralEnd && centralSize <= centralEnd - centralOffset &&
            (entries == 0 || SignatureAt(src, centralOffset, kCentralSignature))) {
            bias = 0;
        } else if (centralSize <= centralEnd && centralOffset <= centralEnd - centralSize) {
            bias = centralEnd - centralSize - centralOffset;
        } else {
            return ZipResult::Fail(ZipStatus::Damaged, end.position, u"central directory lies outside the archive");
        }
    }
    if (centralOffset > centralEnd || bias > centralEnd - centralOffset || centralSize > centralEnd - centralOffset - bias)
        return ZipResult::Fail(ZipStatus::Damaged, end.position, u"central directory lies outside the archive");
    m_start = bias;
    m_centralStart = centralOffset + bias;
    if (entries != 0 && !SignatureAt(src, m_centralStart, kCentralSignature))
        return ZipResult::Fail(ZipStatus::Damaged, m_centralStart, u"no central directory at its declared offset");

    // The whole directory in one read; it is parsed in place.
    if (centralSize > SIZE_MAX / 2)
        return ZipResult::Fail(ZipStatus::TooLarge, m_centralStart, u"central directory too large to read");
    std::vector<unsigned char> central(static_cast<std::size_t>(centralSize));
    if (centralSize != 0 && !src.ReadAt(m_centralStart, central.data(), central.size()))
        return ZipResult::Fail(ZipStatus::Damaged, m_centralStart, u"central directory cut short");
    m_entries.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(entries, centralSize / kCentralSize)));
    std::size_t at = 0;
    while (at < central.size()) {
        if (central.size() - at >= 4 && Get32(&central[at]) == kDigitalSignature) break;
        CZipFileHeader header;
        std::size_t used = 0;
        ZipResult r = ParseCentralHeader(&central[at], central.size() - at, m_centralStart + at, header, used);
        if (!r) {
            r.entry = m_entries.size();
            return r;
        }
        m_entries.push_back(std::move(header));
        at += used;
    }
    // Writers of old cut the count of a directory with more than 65535 entries
    // to 16 bits, or stopped it at 0xFFFF; the directory itself counts then.
    const bool wrapped = !zip64 && m_entries.size() > 0xFFFF &&
                         (entries == (m_entries.size() & 0xFFFF) || entries == 0xFFFF);
    if (m_entries.size() != entries && !wrapped)
        return ZipResult::Fail(ZipStatus::Damaged, m_centralStart,
                               u"central directory holds " + Num(m_entries.size()) + u" entries, the end record declares " +
                                   Num(entries));

    // Every entry owns the bytes from its local header up to the next local
    // header (or the central directory): sharing bytes is refused here, and
    // running past that bound is refused on extraction.
    std::vector<std::size_t> order(m_entries.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
        return m_entries[a].m_localOffset < m_entries[b].m_localOffset;
    });
    for (std::size_t k = 0; k < order.size(); ++k) {
        CZipFileHeader& h = m_entries[order[k]];
        if (h.m_localOffset >= centralOffset)
            return ZipResult::Fail(ZipStatus::Damaged, h.m_centralOffset,
                                   u"local header offset lies beyond the entries' area", order[k]);
        const std::uint64_t next = k + 1 < order.size() ? m_entries[order[k + 1]].m_localOffset : centralOffset;
        if (next == h.m_localOffset)
            return ZipResult::Fail(ZipStatus::Overlap, h.m_localOffset + m_start,
                                   u"two entries start at the same local header", order[k + 1]);
        h.m_limit = next + m_start;
    }

    std::u16string comment;
    if (m_activeDecoder && m_activeDecoder->Decode(found.comment, comment)) m_comment = comment;
    return ZipResult::Success();
}

ZipResult CZipArchive::ParseCentralHeader(const unsigned char* p, std::size_t available, std::uint64_t at,
                                          CZipFileHeader& h, std::size_t& used) {
    if (available < kCentralSize)
        return ZipResult::Fail(ZipStatus::Damaged, at, u"central directory entry cut short");
    if (Get32(p) != kCentralSignature)
        return ZipResult::Fail(ZipStatus::Damaged, at, u"central directory entry has no signature");
    const std::size_t nameSize = Get16(p + 28);
    const std::size_t extraSize = Get16(p + 30);
    const std::size_t commentSize = Get16(p + 32);
    used = kCentralSize + nameSize + extraSize + commentSize;
    if (used > available) return ZipResult::Fail(ZipStatus::Damaged, at, u"central directory entry cut short");

    h.m_centralOffset = at;
    h.m_versionMadeBy = Get16(p + 4);
    h.m_versionNeeded = Get16(p + 6);
    h.m_flags = Get16(p + 8);
    h.m_method = Get16(p + 10);
    h.m_time = Get16(p + 12);
    h.m_date = Get16(p + 14);
    h.m_crc = Get32(p + 16);
    h.m_compressedSize = Get32(p + 20);
    h.m_uncompressedSize = Get32(p + 24);
    std::uint32_t diskStart = Get16(p + 34);
    h.m_externalAttributes = Get32(p + 38);
    h.m_localOffset = Get32(p + 42);
    h.m_rawName.assign(reinterpret_cast<const char*>(p + kCentralSize), nameSize);
    const unsigned char* extra = p + kCentralSize + nameSize;

    const bool needUncompressed = h.m_uncompressedSize == 0xFFFFFFFF;
    const bool needCompressed = h.m_compressedSize == 0xFFFFFFFF;
    const bool needOffset = h.m_localOffset == 0xFFFFFFFF;
    const bool needDisk = diskStart == 0xFFFF;
    if (needUncompressed || needCompressed || needOffset || needDisk) {
        bool found = false;
        bool complete = false;
        ForEachExtra(extra, extraSize, [&](std::uint16_t id, const unsigned char* d, std::size_t n) {
            if (id != kZip64ExtraId) return true;
            found = true;
            std::size_t i = 0;
            auto take64 = [&](std::uint64_t& v) {
                if (i + 8 > n) return false;
                v = Get64(d + i);
                i += 8;
                return true;
            };
            complete = (!needUncompressed || take64(h.m_uncompressedSize)) &&
                       (!needCompressed || take64(h.m_compressedSize)) && (!needOffset || take64(h.m_localOffset));
            if (complete && needDisk) {
                if (i + 4 > n) complete = false;
                else diskStart = Get32(d + i);
            }
            return false;
        });
        if (!found || !complete)
            return ZipResult::Fail(ZipStatus::Damaged, at, u"ZIP64 sizes or offset missing from a central directory entry");
        h.m_zip64 = true;
    }
    if (diskStart != 0) return ZipResult::Fail(ZipStatus::Unsupported, at, u"spanned archives are not read");
    DecodeName(h, extra, extraSize);
    return ZipResult::Success();
}

void CZipArchive::DecodeName(CZipFileHeader& h, const unsigned char* extra, std::size_t extraSize) const {
    std::u16string text;
    bool ok = false;
    if (h.m_flags & kFlagUtf8) {
        ok = DecodeUtf8Strict(h.m_rawName, text);
    } else {
        // Info-ZIP's Unicode path field holds the UTF-8 name of a name stored in
        // the OEM code page, valid while its CRC matches the stored bytes.
        ForEachExtra(extra, extraSize, [&](std::uint16_t id, const unsigned char* d, std::size_t n) {
            if (id != kUnicodePathExtraId) return true;
            if (n >= 5 && d[0] == 1) {
                const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(h.m_rawName.data()),
                                        static_cast<uInt>(h.m_rawName.size()));
                if (Get32(d + 1) == static_cast<std::uint32_t>(crc))
                    ok = DecodeUtf8Strict(std::string(reinterpret_cast<const char*>(d + 5), n - 5), text);
            }
            return false;
        });
        if (!ok) {
            const bool ascii = std::all_of(h.m_rawName.begin(), h.m_rawName.end(),
                                           [](char c) { return static_cast<unsigned char>(c) < 0x80; });
            if (ascii) {
                text.assign(h.m_rawName.begin(), h.m_rawName.end());
                ok = true;
            } else {
                ok = m_activeDecoder && m_activeDecoder->Decode(h.m_rawName, text);
            }
        }
    }
    h.m_nameDecoded = ok;
    h.m_name = ok ? CZipString(std::move(text)) : CZipString();
}

ZipResult CZipArchive::CheckEntry(ZIP_INDEX_TYPE index) const {
    if (index >= m_entries.size()) return ZipResult::Fail(ZipStatus::BadIndex, 0, u"no such entry", index);
    const CZipFileHeader& h = m_entries[index];
    const std::uint64_t at = h.m_centralOffset;
    if (!h.m_nameDecoded)
        return ZipResult::Fail(ZipStatus::UnsafeName, at, u"entry name is not valid in its character set", index);
    if (h.IsEncrypted() || (h.m_flags & kFlagMaskedHeaders))
        return ZipResult::Fail(ZipStatus::Encrypted, at, u"entry is encrypted", index);
    if (h.m_flags & kFlagPatched)
        return ZipResult::Fail(ZipStatus::Unsupported, at, u"entry holds patch data", index);
    if (h.m_method != CZipFileHeader::stored && h.m_method != CZipFileHeader::deflated)
        return ZipResult::Fail(ZipStatus::Unsupported, at, u"compression method " + Num(h.m_method) + u" is not supported",
                               index);
    if (h.IsSpecialFile())
        return ZipResult::Fail(ZipStatus::UnsafeType, at, u"entry is a link or special file", index);
    if (h.m_method == CZipFileHeader::stored && h.m_compressedSize != h.m_uncompressedSize)
        return ZipResult::Fail(ZipStatus::SizeMismatch, at, u"stored entry declares two different sizes", index);
    if (h.m_method == CZipFileHeader::deflated &&
        h.m_uncompressedSize / kDeflateMaxRatio > h.m_compressedSize + 8)
        return ZipResult::Fail(ZipStatus::TooLarge, at,
                               u"declared size " + Num(h.m_uncompressedSize) + u" cannot come from " +
                                   Num(h.m_compressedSize) + u" compressed bytes",
                               index);
    if (h.IsDirectory() && h.m_uncompressedSize != 0)
        return ZipResult::Fail(ZipStatus::Damaged, at, u"folder entry carries data", index);
    return ZipResult::Success();
}

ZipResult CZipArchive::ReadLocalHeader(ZIP_INDEX_TYPE index, std::uint64_t& dataStart, bool& localZip64) {
    const CZipFileHeader& h = m_entries[index];
    const std::uint64_t at = h.m_localOffset + m_start;
    if (h.m_limit - at < kLocalSize)
        return ZipResult::Fail(ZipStatus::Overlap, at, u"local header runs into the next entry", index);
    unsigned char p[kLocalSize];
    if (!m_source->ReadAt(at, p, sizeof p)) return ZipResult::Fail(ZipStatus::Damaged, at, u"local header cut short", index);
    if (Get32(p) != kLocalSignature)
        return ZipResult::Fail(ZipStatus::Damaged, at, u"no local header where the central directory points", index);
    const std::uint16_t flags = Get16(p + 6);
    const std::uint16_t method = Get16(p + 8);
    const std::uint32_t crc = Get32(p + 14);
    std::uint64_t compressed = Get32(p + 18);
    std::uint64_t uncompressed = Get32(p + 22);
    const std::size_t nameSize = Get16(p + 26);
    const std::size_t extraSize = Get16(p + 28);
    if (h.m_limit - at - kLocalSize < nameSize + extraSize)
        return ZipResult::Fail(ZipStatus::Overlap, at, u"local header runs into the next entry", index);
    std::vector<unsigned char> rest(nameSize + extraSize);
    if (!rest.empty() && !m_source->ReadAt(at + kLocalSize, rest.data(), rest.size()))
        return ZipResult::Fail(ZipStatus::Damaged, at, u"local header cut short", index);

    auto mismatch = [&](const char16_t* what) {
        return ZipResult::Fail(ZipStatus::HeaderMismatch, at,
                               std::u16string(u"local header disagrees with the central directory: ") + what, index);
    };
    if (method != h.m_method) return mismatch(u"method");
    if ((flags & (kFlagEncrypted | kFlagDescriptor)) != (h.m_flags & (kFlagEncrypted | kFlagDescriptor)))
        return mismatch(u"flags");
    if (nameSize != h.m_rawName.size() || std::memcmp(rest.data(), h.m_rawName.data(), nameSize) != 0)
        return mismatch(u"name");

    localZip64 = false;
    const bool saturated = compressed == 0xFFFFFFFF || uncompressed == 0xFFFFFFFF;
    bool haveZip64 = false;
    ForEachExtra(rest.data() + nameSize, extraSize, [&](std::uint16_t id, const unsigned char* d, std::size_t n) {
        if (id != kZip64ExtraId) return true;
        localZip64 = true;
        // In a local header the field holds both sizes, uncompressed first.
        if (n >= 16 && saturated) {
            uncompressed = Get64(d);
            compressed = Get64(d + 8);
            haveZip64 = true;
        }
        return false;
    });
    if (flags & kFlagDescriptor) {
        // The values follow the data. Writers leave each field 0 or fill in
        // what they knew at the start (Info-ZIP: the uncompressed size).
        auto zeroOr = [](std::uint64_t local, std::uint64_t central) { return local == 0 || local == central; };
        if (!zeroOr(crc, h.m_crc)) return mismatch(u"CRC");
        if (!(saturated && !haveZip64) &&
            (!zeroOr(compressed, h.m_compressedSize) || !zeroOr(uncompressed, h.m_uncompressedSize)))
            return mismatch(u"sizes");
    } else {
        if (saturated && !haveZip64) return mismatch(u"ZIP64 sizes missing");
        if (crc != h.m_crc) return mismatch(u"CRC");
        if (compressed != h.m_compressedSize || uncompressed != h.m_uncompressedSize) return mismatch(u"sizes");
    }
    dataStart = at + kLocalSize + nameSize + extraSize;
    if (h.m_limit - dataStart < h.m_compressedSize)
        return ZipResult::Fail(ZipStatus::Overlap, dataStart, u"entry data runs into the next entry", index);
    return ZipResult::Success();
}

ZipResult CZipArchive::CheckDescriptor(ZIP_INDEX_TYPE index, std::uint64_t dataEnd, bool localZip64) {
    const CZipFileHeader& h = m_entries[index];
    const std::uint64_t room = h.m_limit - dataEnd;
    unsigned char d[24] = {};
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(room, sizeof d));
    if (size < 12 || !m_source->ReadAt(dataEnd, d, size))
        return ZipResult::Fail(ZipStatus::Damaged, dataEnd, u"data descriptor missing", index);
    // Four layouts are in use: with or without the signature, sizes of 4 or 8
    // bytes. The one whose values agree with the central directory is taken.
    auto fits = [&](std::size_t skip, bool wide) {
        const std::size_t need = skip + (wide ? 20 : 12);
        if (need > size) return false;
        if (skip && Get32(d) != kDescriptorSignature) return false;
        const unsigned char* v = d + skip;
        if (Get32(v) != h.m_crc) return false;
        if (wide) return Get64(v + 4) == h.m_compressedSize && Get64(v + 12) == h.m_uncompressedSize;
        return Get32(v + 4) == h.m_compressedSize && Get32(v + 8) == h.m_uncompressedSize;
    };
    const bool wideFirst = localZip64;
    if (fits(4, wideFirst) || fits(0, wideFirst) || fits(4, !wideFirst) || fits(0, !wideFirst)) return ZipResult::Success();
    return ZipResult::Fail(ZipStatus::HeaderMismatch, dataEnd, u"data descriptor disagrees with the central directory", index);
}

ZipResult CZipArchive::CopyStored(ZIP_INDEX_TYPE index, std::uint64_t dataStart, ZipSink& sink, std::size_t bufferSize) {
    const CZipFileHeader& h = m_entries[index];
    std::uint64_t remaining = h.m_compressedSize;
    std::uint64_t at = dataStart;
    uLong crc = crc32(0L, Z_NULL, 0);
    m_inBuffer.resize(bufferSize);
    while (remaining != 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, bufferSize));
        if (!m_source->ReadAt(at, m_inBuffer.data(), n))
            return ZipResult::Fail(ZipStatus::Damaged, at, u"entry data cut short", index);
        crc = crc32(crc, m_inBuffer.data(), static_cast<uInt>(n));
        std::u16string why;
        if (!sink.Write(m_inBuffer.data(), n, why)) return ZipResult::Fail(ZipStatus::WriteError, at, why, index);
        at += n;
        remaining -= n;
    }
    if (static_cast<std::uint32_t>(crc) != h.m_crc)
        return ZipResult::Fail(ZipStatus::CrcMismatch, dataStart, u"CRC-32 of the data differs from the declared one", index);
    return ZipResult::Success();
}

ZipResult CZipArchive::Inflate(ZIP_INDEX_TYPE index, std::uint64_t dataStart, ZipSink& sink, std::size_t bufferSize) {
    const CZipFileHeader& h = m_entries[index];
    if (!m_inflater) m_inflater = std::make_unique<Inflater>();
    z_stream& z = m_inflater->stream;
    if (!m_inflater->ready) {
        z = z_stream{};
        if (inflateInit2(&z, -MAX_WBITS) != Z_OK) throw std::bad_alloc();
        m_inflater->ready = true;
    } else if (inflateReset(&z) != Z_OK) {
        return ZipResult::Fail(ZipStatus::Damaged, dataStart, u"inflate state could not be reset", index);
    }
    m_inBuffer.resize(bufferSize);
    m_outBuffer.resize(bufferSize);

    std::uint64_t remainingIn = h.m_compressedSize;
    std::uint64_t readAt = dataStart;
    std::uint64_t produced = 0;
    uLong crc = crc32(0L, Z_NULL, 0);
    z.avail_in = 0;
    // Some writers store an empty file as a deflated entry of no bytes at all.
    for (bool more = h.m_compressedSize != 0; more;) {
        if (z.avail_in == 0 && remainingIn != 0) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(remainingIn, bufferSize));
            if (!m_source->ReadAt(readAt, m_inBuffer.data(), n))
                return ZipResult::Fail(ZipStatus::Damaged, readAt, u"entry data cut short", index);
            readAt += n;
            remainingIn -= n;
            z.next_in = m_inBuffer.data();
            z.avail_in = static_cast<uInt>(n);
        }
        z.next_out = m_outBuffer.data();
        z.avail_out = static_cast<uInt>(bufferSize);
        const int ret = inflate(&z, Z_NO_FLUSH);
        const std::size_t got = bufferSize - z.avail_out;
        const std::uint64_t consumed = h.m_compressedSize - remainingIn - z.avail_in;
        if (got != 0) {
            if (got > h.m_uncompressedSize - produced)
                return ZipResult::Fail(ZipStatus::SizeMismatch, dataStart + consumed,
                                       u"data inflates beyond its declared size " + Num(h.m_uncompressedSize), index);
            crc = crc32(crc, m_outBuffer.data(), static_cast<uInt>(got));
            std::u16string why;
            if (!sink.Write(m_outBuffer.data(), got, why))
                return ZipResult::Fail(ZipStatus::WriteError, dataStart + consumed, why, index);
            produced += got;
        }
        if (ret == Z_STREAM_END) {
            if (z.avail_in != 0 || remainingIn != 0)
                return ZipResult::Fail(ZipStatus::SizeMismatch, dataStart + consumed,
                                       u"deflate stream ends before the declared compressed size", index);
            more = false;
            continue;
        }
        if (ret == Z_BUF_ERROR && z.avail_in != 0)
            return ZipResult::Fail(ZipStatus::Damaged, dataStart + consumed, u"deflate data is corrupt", index);
        if (ret == Z_BUF_ERROR && z.avail_in == 0 && remainingIn == 0)
            return ZipResult::Fail(ZipStatus::Damaged, dataStart + consumed,
                                   u"deflate stream goes on past the declared compressed size", index);
        if (ret != Z_OK && ret != Z_BUF_ERROR) {
            if (ret == Z_MEM_ERROR) throw std::bad_alloc();
            std::u16string what = u"deflate data is corrupt";
            if (z.msg) what += u": " + std::u16string(z.msg, z.msg + std::strlen(z.msg));
            return ZipResult::Fail(ZipStatus::Damaged, dataStart + consumed, what, index);
        }
    }
    if (produced != h.m_uncompressedSize)
        return ZipResult::Fail(ZipStatus::SizeMismatch, dataStart,
                               u"data inflates to " + Num(produced) + u" bytes, " + Num(h.m_uncompressedSize) + u" declared",
                               index);
    if (static_cast<std::uint32_t>(crc) != h.m_crc)
        return ZipResult::Fail(ZipStatus::CrcMismatch, dataStart, u"CRC-32 of the data differs from the declared one", index);
    return ZipResult::Success();
}

ZipResult CZipArchive::ExtractFile(ZIP_INDEX_TYPE index, ZipSink& sink, std::size_t bufferSize) {
    if (!m_source) return ZipResult::Fail(ZipStatus::BadIndex, 0, u"no archive is open");
    ZipResult r = CheckEntry(index);
    if (!r) return r;
    bufferSize = std::max(bufferSize, kMinBuffer);
    bufferSize = std::min<std::size_t>(bufferSize, std::numeric_limits<uInt>::max() / 2);
    std::uint64_t dataStart = 0;
    bool localZip64 = false;
    r = ReadLocalHeader(index, dataStart, localZip64);
    if (!r) return r;
    const CZipFileHeader& h = m_entries[index];
    r = h.m_method == CZipFileHeader::stored ? CopyStored(index, dataStart, sink, bufferSize)
                                             : Inflate(index, dataStart, sink, bufferSize);
    if (!r) return r;
    if (h.HasDataDescriptor()) return CheckDescriptor(index, dataStart + h.m_compressedSize, localZip64);
    return ZipResult::Success();
}

ZipResult CZipArchive::ExtractFile(ZIP_INDEX_TYPE index, FileSystem& fs, const std::u16string& path, bool flush,
                                   std::size_t bufferSize) {
    if (!m_source) return ZipResult::Fail(ZipStatus::BadIndex, 0, u"no archive is open");
    ZipResult r = CheckEntry(index);
    if (!r) return r;
    std::unique_ptr<FsWriteFile> file;
    FsResult created = fs.CreateNewFile(path, file);
    if (!created) return ZipResult::Fail(ZipStatus::WriteError, 0, u"cannot create " + path + u": " + created.message, index);
    FileSink sink(*file);
    r = ExtractFile(index, sink, bufferSize);
    if (r) {
        FsResult finished = file->Finish(flush);
        if (!finished) r = ZipResult::Fail(ZipStatus::WriteError, 0, u"cannot write " + path + u": " + finished.message, index);
    }
    if (!r) {
        file.reset();
        fs.RemoveFile(path);
    }
    return r;
}
