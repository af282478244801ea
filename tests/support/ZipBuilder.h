// Test helper: writes ZIP archives byte by byte, every field open to change, so that tests can make what real tools
// never write (size lies, mismatched headers, overlapping entries, hostile names). Never used by the program.
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
    std::optional<std::uint64_t> localOffset;  // the central directory's pointer

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
    bool zip64End = false;   // write the ZIP64 end record and locator
    std::uint16_t disk = 0;  // the end record's disk numbers
    std::optional<std::uint64_t> declaredCount, declaredCentralSize, declaredCentralOffset;

    std::string Build() const {
        std::string out, central;
        const std::uint64_t saturated = 0xFFFFFFFF;
        for (const Entry& e : entries) {
            const std::string body = e.compressed ? *e.compressed : e.method == 8 ? RawDeflate(e.data) : e.data;
            const std::uint64_t offset = e.localOffset.value_or(out.size()), crc = Crc(e.data);
            const std::uint64_t comp = e.localCompressed.value_or(body.size());
            const std::uint64_t uncomp = e.localUncompressed.value_or(e.data.size());
            const std::uint64_t flags = e.flags | (e.descriptor ? 8 : 0), version = e.zip64 ? 45 : 20;
            std::string extra;
            // The local header: with a descriptor, sizes and CRC follow the data.
            if (e.zip64) Put(extra, {{2, 1}, {2, 16}, {8, e.descriptor ? 0 : uncomp}, {8, e.descriptor ? 0 : comp}});
            Put(out, {{4, 0x04034b50}, {2, version}, {2, flags}, {2, e.method}, {2, 0x6000}, {2, 0x58A1},
                      {4, e.localCrc.value_or(e.descriptor ? 0 : crc)}, {4, e.zip64 ? ~0u : e.descriptor ? 0 : comp},
                      {4, e.zip64 ? ~0u : e.descriptor ? 0 : uncomp}, {2, e.name.size()}, {2, extra.size()}});
            out += e.name + extra + body;
            if (e.descriptor && e.descriptorSignature) Put(out, {{4, 0x08074b50}});
            const int w = e.zip64 ? 8 : 4;
            if (e.descriptor) Put(out, {{4, e.descriptorCrc.value_or(crc)}, {w, body.size()}, {w, e.data.size()}});
            // The central header.
            const std::uint64_t centralComp = e.centralCompressed.value_or(body.size());
            const std::uint64_t centralUncomp = e.centralUncompressed.value_or(e.data.size());
            extra.clear();
            if (e.zip64) Put(extra, {{2, 1}, {2, 24}, {8, centralUncomp}, {8, centralComp}, {8, offset}});
            extra += e.centralExtra;
            Put(central, {{4, 0x02014b50}, {2, e.madeBy}, {2, version}, {2, flags}, {2, e.method}, {2, 0x6000},
                          {2, 0x58A1}, {4, e.centralCrc.value_or(crc)}, {4, e.zip64 ? saturated : centralComp},
                          {4, e.zip64 ? saturated : centralUncomp}, {2, e.name.size()}, {2, extra.size()}, {6, 0},
                          {4, e.externalAttributes}, {4, e.zip64 ? saturated : offset}});
            central += e.name + extra;
        }
        const std::uint64_t size = declaredCentralSize.value_or(central.size());
        const std::uint64_t at = declaredCentralOffset.value_or(out.size()), count = entries.size();
        out += central;
        if (zip64End)
            Put(out, {{4, 0x06064b50}, {8, 44}, {2, 45}, {2, 45}, {4, 0}, {4, 0}, {8, count}, {8, count}, {8, size},
                      {8, at}, {4, 0x07064b50}, {4, 0}, {8, out.size()}, {4, 1}});
        const std::uint64_t shownCount = declaredCount.value_or(zip64End ? 0xFFFF : count) & 0xFFFF;
        Put(out, {{4, 0x06054b50}, {2, disk}, {2, disk}, {2, shownCount}, {2, shownCount},
                  {4, zip64End ? saturated : size}, {4, zip64End ? saturated : at}, {2, comment.size()}});
        return out + comment;
    }
};

}  // namespace ziptest
