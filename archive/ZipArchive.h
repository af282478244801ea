// The ZIP archive component: reads an existing archive and extracts its
// entries, verifying each.
//
// CZipArchive reads the end record (ZIP64 too) and the whole central directory
// when it is opened, and keeps the parsed headers; entry data is read only on
// extraction, in one pass per entry, bounded by the declared sizes, and checked
// against the local header, the CRC-32 and both sizes. What real tools write is
// read: stored and deflated entries, data descriptors with or without their
// signature, ZIP64 sizes, offsets and counts (entry counts and indexes are
// 64-bit wide), folder entries, names flagged UTF-8, names in the OEM code
// page, and Info-ZIP's Unicode path field.
//
// Failures are results (ZipResult), never exceptions; memory exhaustion still
// throws std::bad_alloc. An object is used from one thread at a time.
//
// Ownership: the archive owns its source (the open file or a memory view's
// bookkeeping - the memory itself stays the caller's) and its inflate state,
// released by Close or the destructor. Headers handed out are copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CString.h"
#include "FileSystem.h"
#include "NameDecoder.h"
#include "ZipResult.h"

using ZIP_INDEX_TYPE = std::size_t;
using ZIP_SIZE_TYPE = std::uint64_t;

// The component's text type: UTF-16 with the framework string's operations.
class CZipString : public CString {
public:
    using CString::CString;
    CZipString() = default;
    CZipString(const std::u16string& s) : CString(s) {}
    CZipString(std::u16string&& s) noexcept : CString(std::move(s)) {}
};

// Where archive bytes come from.
class ZipSource {
public:
    virtual ~ZipSource() = default;
    virtual std::uint64_t Size() const = 0;
    // Reads exactly `size` bytes at `offset`; false on any shortfall.
    virtual bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) = 0;
};

// Archive bytes in memory that the caller keeps alive while the archive is open.
std::unique_ptr<ZipSource> MakeMemorySource(const void* data, std::size_t size);

// The end record an archive is read by, found by one rule for Open and for
// the package signature, so that both see one archive: in the last 64 KiB +
// 22 bytes, the record whose comment reaches exactly to the end of the source,
// else (bytes follow the archive) the last one whose comment fits. An archive
// that more than one record could end is refused as Damaged, naming the
// offsets: a second record reaching the end of the source too, or one reaching
// exactly the start of a signature block at the end of the comment, which
// would end the signed bytes. NotZip when there is no record, FileError when
// the last bytes cannot be read.
struct ZipEndRecord {
    std::uint64_t position = 0;  // offset of the record
    std::string comment;         // the comment's bytes as stored
    std::size_t signatureBlock = std::string::npos;  // where the comment's last signature block starts
};
ZipResult FindZipEndRecord(ZipSource& source, ZipEndRecord& end);

// Receives an entry's data as it is inflated.
class ZipSink {
public:
    virtual ~ZipSink() = default;
    // False stops the extraction with WriteError; `why` then says what failed.
    virtual bool Write(const void* data, std::size_t size, std::u16string& why) = 0;
};

// Collects an entry's data in a string, whose size the caller bounds first.
class ZipStringSink : public ZipSink {
public:
    bool Write(const void* data, std::size_t size, std::u16string&) override {
        text.append(static_cast<const char*>(data), size);
        return true;
    }
    std::string text;
};

// Limits against archives built to exhaust the disk or the time of the
// extraction. A deflated entry's declared size must be reachable from its
// compressed size (deflate cannot expand more than 1032:1), a stored entry's two
// sizes must be equal, and the declared sizes of all entries together must not
// exceed maxTotalRatio times the archive's size plus totalSlack, nor
// maxTotalSize. Data is never written beyond the declared size.
struct ZipLimits {
    std::uint64_t maxTotalRatio = 100;
    std::uint64_t totalSlack = 1u << 20;
    std::uint64_t maxTotalSize = std::uint64_t{1} << 36;  // 64 GiB
};

// One entry as the central directory declares it; the local header is compared
// with it when the entry is extracted.
class CZipFileHeader {
public:
    enum Method : std::uint16_t { stored = 0, deflated = 8 };
    enum HostSystem : std::uint8_t { hostDos = 0, hostUnix = 3, hostNtfs = 10, hostOsx = 19 };

    CZipFileHeader() = default;
    virtual ~CZipFileHeader() = default;

    // The decoded name, '\' and '/' kept as stored. Empty when the stored bytes
    // could not be decoded (see IsNameDecoded). The flag is kept for the call
    // sites of the component; there is no buffer to clear.
    CZipString& GetFileName(bool clearBuffer = true);
    const CZipString& GetFileName(bool clearBuffer = true) const;
    bool IsNameDecoded() const { return m_nameDecoded; }
    const std::string& GetRawFileName() const { return m_rawName; }
    bool IsUtf8Name() const { return (m_flags & 0x0800) != 0; }

    ZIP_SIZE_TYPE GetUncompressedSize() const { return m_uncompressedSize; }
    ZIP_SIZE_TYPE GetCompressedSize() const { return m_compressedSize; }
    std::uint16_t GetMethod() const { return m_method; }
    std::uint16_t GetFlags() const { return m_flags; }
    std::uint32_t GetCrc() const { return m_crc; }
    std::uint32_t GetExternalAttributes() const { return m_externalAttributes; }
    std::uint8_t GetSystemCompatibility() const { return static_cast<std::uint8_t>(m_versionMadeBy >> 8); }
    ZIP_SIZE_TYPE GetLocalHeaderOffset() const { return m_localOffset; }
    ZIP_SIZE_TYPE GetCentralHeaderOffset() const { return m_centralOffset; }
    std::uint16_t GetModificationTime() const { return m_time; }
    std::uint16_t GetModificationDate() const { return m_date; }

    bool IsDirectory() const;
    bool IsEncrypted() const { return (m_flags & 0x0041) != 0 || m_method == 99; }
    bool HasDataDescriptor() const { return (m_flags & 0x0008) != 0; }
    // Unix symbolic links, devices, pipes and sockets, and Windows reparse points.
    bool IsSpecialFile() const;

private:
    friend class CZipArchive;

    CZipString m_name;
    std::string m_rawName;
    bool m_nameDecoded = false;
    std::uint16_t m_versionMadeBy = 0;
    std::uint16_t m_versionNeeded = 0;
    std::uint16_t m_flags = 0;
    std::uint16_t m_method = 0;
    std::uint16_t m_time = 0;
    std::uint16_t m_date = 0;
    std::uint32_t m_crc = 0;
    std::uint64_t m_compressedSize = 0;
    std::uint64_t m_uncompressedSize = 0;
    std::uint32_t m_externalAttributes = 0;
    std::uint64_t m_localOffset = 0;   // as stored, before adding the archive's start
    std::uint64_t m_centralOffset = 0;  // where this header sits in the archive
    std::uint64_t m_limit = 0;          // first byte that belongs to another structure
    bool m_zip64 = false;               // the central header carried a ZIP64 field
};

class CZipArchive {
public:
    enum OpenMode { zipOpen = 1, zipOpenReadOnly = 2 };

    CZipArchive();
    virtual ~CZipArchive();
    CZipArchive(const CZipArchive&) = delete;
    CZipArchive& operator=(const CZipArchive&) = delete;

    // True when the file exists and ends in a ZIP end record (an empty archive
    // is one). Uses the platform's file system.
    static bool IsZipArchive(const CZipString& path);

    // Settings for the next Open. The file system is not owned and must outlive
    // the archive; null means PlatformFileSystem().
    void SetFileSystem(FileSystem* fs) { m_fs = fs; }
    void SetNameDecoder(std::shared_ptr<const ZipNameDecoder> decoder) { m_decoder = std::move(decoder); }
    void SetLimits(const ZipLimits& limits) { m_limits = limits; }
    const ZipLimits& GetLimits() const { return m_limits; }

    // Opens an existing archive for reading. Modes zipOpen and zipOpenReadOnly
    // both read; volumeSize must be 0 (spanned archives are not read). Any
    // archive open before is closed first.
    ZipResult Open(const CZipString& path, int mode = zipOpen, ZIP_SIZE_TYPE volumeSize = 0);
    ZipResult Open(std::unique_ptr<ZipSource> source);
    // Reads from a file the caller keeps open (held against writers, say)
    // until the archive is closed; the file is not owned.
    ZipResult Open(FsReadFile& file);
    // Nothing is ever written back; kept for the component's call sequence.
    bool SetAutoFinalize(bool autoFinalize = true);
    // Releases the source and the inflate state. Returns the archive's path.
    CZipString Close(int afterException = 0, bool updateTimeStamp = false);
    bool IsClosed() const { return !m_source; }

    ZIP_INDEX_TYPE GetCount() const { return m_entries.size(); }
    // Copies entry `index`'s header; false for an index outside the count.
    bool GetFileInfo(CZipFileHeader& header, ZIP_INDEX_TYPE index) const;
    const CZipFileHeader* GetEntry(ZIP_INDEX_TYPE index) const;
    ZIP_SIZE_TYPE GetArchiveSize() const;
    const std::u16string& GetComment() const { return m_comment; }

    // Checks what can be known of an entry without reading its data: the name
    // decodes, the entry is not encrypted, its method is stored or deflated, it
    // is not a link or special file, and its sizes are possible for its method.
    // The name's safety as a path is the caller's concern (EntryName.h).
    ZipResult CheckEntry(ZIP_INDEX_TYPE index) const;

    // Extracts one entry into a sink: CheckEntry, then the local header is
    // compared with the central directory, the data is read once (never past
    // the next structure), inflated at most to the declared size, and checked
    // for its size and CRC-32, and the data descriptor when there is one. The
    // sink may have received data when the result is a failure.
    ZipResult ExtractFile(ZIP_INDEX_TYPE index, ZipSink& sink, std::size_t bufferSize = 65536);
    // The same into a new file at `path` of `fs`; a failure removes the file.
    ZipResult ExtractFile(ZIP_INDEX_TYPE index, FileSystem& fs, const std::u16string& path, bool flush,
                          std::size_t bufferSize = 65536);

private:
    ZipResult ReadCentralDirectory();
    ZipResult ParseCentralHeader(const unsigned char* p, std::size_t available, std::uint64_t at,
                                 CZipFileHeader& header, std::size_t& used);
    ZipResult ReadLocalHeader(ZIP_INDEX_TYPE index, std::uint64_t& dataStart, bool& localZip64);
    ZipResult CheckDescriptor(ZIP_INDEX_TYPE index, std::uint64_t dataEnd, bool localZip64);
    ZipResult CopyStored(ZIP_INDEX_TYPE index, std::uint64_t dataStart, ZipSink& sink, std::size_t bufferSize);
    ZipResult Inflate(ZIP_INDEX_TYPE index, std::uint64_t dataStart, ZipSink& sink, std::size_t bufferSize);
    void DecodeName(CZipFileHeader& header, const unsigned char* extra, std::size_t extraSize) const;

    FileSystem* m_fs = nullptr;
    std::shared_ptr<const ZipNameDecoder> m_decoder;
    std::shared_ptr<const ZipNameDecoder> m_activeDecoder;  // m_decoder, or the default, while open
    ZipLimits m_limits;

    std::unique_ptr<ZipSource> m_source;
    CZipString m_path;
    std::vector<CZipFileHeader> m_entries;
    std::u16string m_comment;
    std::uint64_t m_start = 0;           // bytes before the archive (self-extractor stubs)
    std::uint64_t m_centralStart = 0;    // absolute offset of the central directory

    struct Inflater;
    std::unique_ptr<Inflater> m_inflater;  // zlib state, reused between entries
    std::vector<unsigned char> m_inBuffer;
    std::vector<unsigned char> m_outBuffer;
};
