// Writes a new ZIP archive front to back into a file (update-tool delta makes
// its packages with it):
// file and folder entries with UTF-8 names (flagged so), each stored or
// deflated, whichever is smaller, with its sizes and CRC-32 in its local
// header, then the central directory and the end record. Times are fixed
// (1980-01-01), so that the same input makes the same archive.
//
// No ZIP64: an archive past 4 GiB or 65535 entries is refused (Finish or Add
// fails with a reason). Failures come back as FsResult; nothing throws but
// std::bad_alloc.
#pragma once

#include <cstdint>
#include <string>

#include "FileSystem.h"

class ZipWriter {
public:
    explicit ZipWriter(FsWriteFile& out) : m_out(out) {}

    // A file entry. `store` keeps the data as it is (already compressed data);
    // otherwise it is deflated when that makes it smaller.
    FsResult AddFile(const std::u16string& name, const std::string& data, bool store);
    // The same with the data's DeflateRaw at hand.
    FsResult AddPacked(const std::u16string& name, const std::string& data, const std::string& deflated);
    // A folder entry; `name` ends in '/'.
    FsResult AddFolder(const std::u16string& name);
    // The central directory and the end record; the file is then complete.
    FsResult Finish();

    std::uint64_t Size() const { return m_offset; }

private:
    FsResult Add(const std::u16string& name, const std::string& data, bool deflated, std::uint32_t crc,
                 std::uint64_t size, std::uint32_t attributes);

    FsWriteFile& m_out;
    std::string m_central;
    std::uint64_t m_offset = 0;
    std::uint64_t m_count = 0;
};

// Deflate at zlib's best compression: raw, as ZIP entries hold it, or in the
// zlib format (with its header and Adler-32 check).
std::string Deflate(const std::string& data, bool zlibFormat = false);
