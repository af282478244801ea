// The outcome of reading a ZIP archive: a status, the archive offset where the
// problem was found, the entry it concerns, and a sentence for people.
//
// Every reading and extraction call of the archive layer returns one of these;
// nothing in this layer throws on bad input (memory exhaustion still
// propagates as std::bad_alloc). The message is plain English meant for the
// publisher's tool and for logs; the program turns the status into its own
// Chinese message box text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class ZipStatus {
    Ok,
    FileError,          // the archive could not be opened or read
    NotZip,             // no end-of-central-directory record
    Damaged,            // a structure is cut short or contradicts itself
    Unsupported,        // a feature this reader does not implement (spanning, methods)
    Encrypted,          // an entry is encrypted
    UnsafeName,         // an entry's target would fall outside the destination folder, or cannot be a Windows file name
    UnsafeType,         // an entry is a link or another special file
    HeaderMismatch,     // a local header disagrees with the central directory
    Overlap,            // entries share bytes, or data runs into the next header
    SizeMismatch,       // data does not have its declared size
    CrcMismatch,        // data does not have its declared CRC-32
    TooLarge,           // declared sizes beyond what the data can hold, or beyond the limits
    WriteError,         // the output refused the data
    BadIndex,           // an entry index outside 0 .. count-1, or no archive open
};

struct ZipResult {
    // The entry value of results that concern the whole archive.
    static constexpr std::uint64_t kNoEntry = ~std::uint64_t{0};

    ZipStatus status = ZipStatus::Ok;
    std::uint64_t offset = 0;
    std::uint64_t entry = kNoEntry;
    std::u16string message;

    static ZipResult Success() { return ZipResult{}; }
    static ZipResult Fail(ZipStatus s, std::uint64_t offset, std::u16string message,
                          std::uint64_t entry = kNoEntry) {
        ZipResult r;
        r.status = s;
        r.offset = offset;
        r.entry = entry;
        r.message = std::move(message);
        return r;
    }

    bool ok() const { return status == ZipStatus::Ok; }
    explicit operator bool() const { return ok(); }

    // A fixed English sentence for the status alone.
    const char* description() const;
    // description(), the entry, the offset and the message in one line.
    std::u16string ToText() const;
};

const char* ZipStatusName(ZipStatus status);
