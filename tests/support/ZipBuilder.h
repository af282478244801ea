// Test helper: writes ZIP archives byte by byte, with every field open to
// change, so that tests can make the malformed archives that real tools never
// write (size lies, mismatched headers, overlapping entries, hostile names).
// Header-only; used by the tests and never by the program.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace ziptest {

// Appends little-endian fields, each given as {width in bytes, value}.
inline void Put(std::string& out, std::initializer_list<std::pair<int, std::uint64_t>> fields) {
    for (const auto& [width, value] : fields)
        for (int i = 0; i < width; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

inline std::uint32_t Crc(const std::string& data) {
    return static_cast<std::uint32_t>(
        crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// Raw deflate data: zlib's stream without its 2-byte header and 4-byte check.
inline std::string RawDeflate(const std::string& data, int level = 9) {
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(data.data()),
                  static_cast<uLong>(data.size()), level) != Z_OK)
        throw std::runtime_error("deflate");
    return out.substr(2, size - 6);
}

struct Entry {
    std::string name;  // raw bytes as stored
    std::string data;  // uncompressed content
    std::uint16_t method = 8;
    std::uint16_t flags = 0;
    std::uint16_t madeBy = 0x031E;  // Unix, version 3.0
    std::uint32_t externalAttributes = 0100644u << 16;
    bool descriptor = false;
    bool descriptorSignature = true;
    bool zip64 = false;  // saturated header fields with ZIP64 extra fields
    std::string centralExtra;

    // Lies, when set.
    std::optional<std::string> compressed;  // these bytes as the entry data
    std::optional<std::uint32_t> centralCrc, localCrc, descriptorCrc;
    std::optional<std::uint64_t> centralCompressed, centralUncompressed, localCompressed, localUncompressed;
    std::optional<std::uint64_t> localOffset;  // central directory's pointer
    std::optional<std::string> localName;
    std::optional<std::uint16_t> localMethod, localFlags;

    static Entry File(std::string name, std::string data, std::uint16_t method = 8) {
        Entry e;
        e.name = std::move(name), e.data = std::move(data), e.method = method;
        return e;
    }
    static Entry Folder(std::string name) {
        Entry e = File(std::move(name), "", 0);
        return e.externalAttributes = (040755u << 16) | 0x10, e;
    }
};

struct Archive {
    std::vector<Entry> entries;
    std::string comment;
    bool zip64End = false;  // write the ZIP64 end record and locator
    std::uint16_t disk = 0;  // the end record's disk numbers
    std::optional<std::uint64_t> declaredCount;  // classic end record's count
    std::optional<std::uint64_t> declaredCentralSize, declaredCentralOffset;

    std::string Build() const {
        std::string out;
        std::vector<std::string> packed;
        std::vector<std::size_t> local;
        for (const Entry& e : entries) {
            const std::string body = e.compressed ? *e.compressed : e.method == 8 ? RawDeflate(e.data) : e.data;
            packed.push_back(body);
            local.push_back(out.size());
            const std::uint64_t comp = e.localCompressed.value_or(body.size());
            const std::uint64_t uncomp = e.localUncompressed.value_or(e.data.size());
            const std::string name = e.localName.value_or(e.name);
            std::string extra;
            if (e.zip64) Put(extra, {{2, 1}, {2, 16}, {8, e.descriptor ? 0 : uncomp}, {8, e.descriptor ? 0 : comp}});
            const bool zeros = e.descriptor;  // the values follow the data
            Put(out, {{4, 0x04034b50}, {2, e.zip64 ? 45u : 20u}, {2, e.localFlags.value_or(e.flags | (e.descriptor ? 8 : 0))},
                      {2, e.localMethod.value_or(e.method)}, {2, 0x6000}, {2, 0x58A1},
                      {4, e.localCrc.value_or(zeros ? 0 : Crc(e.data))},
                      {4, e.zip64 ? 0xFFFFFFFF : zeros ? 0 : comp}, {4, e.zip64 ? 0xFFFFFFFF : zeros ? 0 : uncomp},
                      {2, name.size()}, {2, extra.size()}});
            out += name + extra + body;
            if (e.descriptor) {
                if (e.descriptorSignature) Put(out, {{4, 0x08074b50}});
                const int width = e.zip64 ? 8 : 4;
                Put(out, {{4, e.descriptorCrc.value_or(Crc(e.data))}, {width, body.size()}, {width, e.data.size()}});
            }
        }
        const std::size_t centralStart = out.size();
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const Entry& e = entries[i];
            const std::uint64_t comp = e.centralCompressed.value_or(packed[i].size());
            const std::uint64_t uncomp = e.centralUncompressed.value_or(e.data.size());
            const std::uint64_t offset = e.localOffset.value_or(local[i]);
            std::string extra;
            if (e.zip64) Put(extra, {{2, 1}, {2, 24}, {8, uncomp}, {8, comp}, {8, offset}});
            extra += e.centralExtra;
            const std::uint64_t saturated = 0xFFFFFFFF;
            Put(out, {{4, 0x02014b50}, {2, e.madeBy}, {2, e.zip64 ? 45u : 20u}, {2, e.flags | (e.descriptor ? 8 : 0)},
                      {2, e.method}, {2, 0x6000}, {2, 0x58A1}, {4, e.centralCrc.value_or(Crc(e.data))},
                      {4, e.zip64 ? saturated : comp}, {4, e.zip64 ? saturated : uncomp}, {2, e.name.size()},
                      {2, extra.size()}, {2, 0}, {2, 0}, {2, 0}, {4, e.externalAttributes},
                      {4, e.zip64 ? saturated : offset}});
            out += e.name + extra;
        }
        const std::uint64_t centralSize = declaredCentralSize.value_or(out.size() - centralStart);
        const std::uint64_t centralOffset = declaredCentralOffset.value_or(centralStart);
        const std::uint64_t count = entries.size();
        if (zip64End) {
            const std::uint64_t recordAt = out.size();
            Put(out, {{4, 0x06064b50}, {8, 44}, {2, 45}, {2, 45}, {4, 0}, {4, 0}, {8, count}, {8, count},
                      {8, centralSize}, {8, centralOffset}, {4, 0x07064b50}, {4, 0}, {8, recordAt}, {4, 1}});
        }
        const std::uint64_t shownCount = declaredCount.value_or(zip64End ? 0xFFFF : count) & 0xFFFF;
        Put(out, {{4, 0x06054b50}, {2, disk}, {2, disk}, {2, shownCount}, {2, shownCount},
                  {4, zip64End ? 0xFFFFFFFF : centralSize}, {4, zip64End ? 0xFFFFFFFF : centralOffset},
                  {2, comment.size()}});
        return out + comment;
    }
};

}  // namespace ziptest
