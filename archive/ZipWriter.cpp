#include "ZipWriter.h"

#include <zlib.h>

#include <algorithm>
#include <new>
#include <vector>

#include "CString.h"

namespace {

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint16_t kUtf8Flag = 0x0800;
constexpr std::uint16_t kMadeByUnix = 0x031E;  // Unix, version 3.0
constexpr std::uint16_t kNeeded = 20;
constexpr std::uint16_t kDate1980 = 0x21;      // 1980-01-01, 00:00
constexpr std::uint32_t kFileAttributes = 0100644u << 16;
constexpr std::uint32_t kFolderAttributes = (040755u << 16) | 0x10;

void Put(std::string& out, int width, std::uint64_t value) {
    for (int i = 0; i < width; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint32_t Crc(const std::string& data) {
    uLong crc = crc32(0L, Z_NULL, 0);
    for (std::size_t at = 0; at < data.size();) {
        const std::size_t n = std::min<std::size_t>(data.size() - at, 1u << 30);
        crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data() + at), static_cast<uInt>(n));
        at += n;
    }
    return static_cast<std::uint32_t>(crc);
}

}  // namespace

std::string Deflate(const std::string& data, bool zlibFormat) {
    z_stream z{};
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, zlibFormat ? MAX_WBITS : -MAX_WBITS, 9, Z_DEFAULT_STRATEGY) !=
        Z_OK)
        throw std::bad_alloc();
    std::string out;
    std::vector<unsigned char> buffer(256 * 1024);
    std::size_t at = 0;
    for (int ret = Z_OK; ret != Z_STREAM_END;) {
        const std::size_t n = std::min<std::size_t>(data.size() - at, 1u << 30);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + at));
        z.avail_in = static_cast<uInt>(n);
        z.next_out = buffer.data();
        z.avail_out = static_cast<uInt>(buffer.size());
        ret = deflate(&z, at + n == data.size() ? Z_FINISH : Z_NO_FLUSH);
        at += n - z.avail_in;
        out.append(reinterpret_cast<const char*>(buffer.data()), buffer.size() - z.avail_out);
    }
    deflateEnd(&z);
    return out;
}

FsResult ZipWriter::AddFile(const std::u16string& name, const std::string& data, bool store) {
    return store ? Add(name, data, false, Crc(data), data.size(), kFileAttributes)
                 : AddPacked(name, data, Deflate(data));
}

FsResult ZipWriter::AddPacked(const std::u16string& name, const std::string& data, const std::string& deflated) {
    const bool smaller = deflated.size() < data.size();
    return Add(name, smaller ? deflated : data, smaller, Crc(data), data.size(), kFileAttributes);
}

FsResult ZipWriter::AddFolder(const std::u16string& name) { return Add(name, {}, false, 0, 0, kFolderAttributes); }

FsResult ZipWriter::Add(const std::u16string& name, const std::string& data, bool deflated, std::uint32_t crc,
                        std::uint64_t size, std::uint32_t attributes) {
    const std::string raw = Utf16ToUtf8(name);
    if (m_offset + 30 + raw.size() + data.size() > 0xFFFFFFFFu || size > 0xFFFFFFFFu || m_count >= 0xFFFF ||
        raw.size() > 0xFFFF)
        return FsResult::Fail(FsCode::Other, u"the archive would need ZIP64, which this writer does not write");
    const std::uint16_t method = deflated ? 8 : 0;
    // The local and the central header share these fields, from the version needed to the name's length.
    const auto putShared = [&](std::string& out) {
        Put(out, 2, kNeeded);
        Put(out, 2, kUtf8Flag);
        Put(out, 2, method);
        Put(out, 2, 0);
        Put(out, 2, kDate1980);
        Put(out, 4, crc);
        Put(out, 4, data.size());
        Put(out, 4, size);
        Put(out, 2, raw.size());
    };
    std::string header;
    Put(header, 4, kLocalSignature);
    putShared(header);
    Put(header, 2, 0);
    header += raw;

    Put(m_central, 4, kCentralSignature);
    Put(m_central, 2, kMadeByUnix);
    putShared(m_central);
    Put(m_central, 6, 0);  // extra and comment lengths, disk
    Put(m_central, 2, 0);  // internal attributes
    Put(m_central, 4, attributes);
    Put(m_central, 4, m_offset);
    m_central += raw;

    FsResult r = m_out.Write(header.data(), header.size());
    if (r && !data.empty()) r = m_out.Write(data.data(), data.size());
    m_offset += header.size() + data.size();
    ++m_count;
    return r;
}

FsResult ZipWriter::Finish() {
    if (m_offset + m_central.size() > 0xFFFFFFFFu)
        return FsResult::Fail(FsCode::Other, u"the archive would need ZIP64, which this writer does not write");
    std::string end = m_central;
    Put(end, 4, kEndSignature);
    Put(end, 4, 0);  // disk numbers
    Put(end, 2, m_count);
    Put(end, 2, m_count);
    Put(end, 4, m_central.size());
    Put(end, 4, m_offset);
    Put(end, 2, 0);  // comment length
    FsResult r = m_out.Write(end.data(), end.size());
    m_offset += end.size();
    return r;
}
