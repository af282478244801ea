// Test helper: writes ZIP archives byte by byte, with every field open to
// change, so that tests can make the malformed archives that real tools never
// write (size lies, mismatched headers, overlapping entries, hostile names).
// Header-only; used by the unit tests and never by the program.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace ziptest {

inline void Put16(std::string& out, std::uint32_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}
inline void Put32(std::string& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}
inline void Put64(std::string& out, std::uint64_t v) {
    Put32(out, static_cast<std::uint32_t>(v));
    Put32(out, static_cast<std::uint32_t>(v >> 32));
}
inline void Set16(std::string& s, std::size_t at, std::uint32_t v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
inline void Set32(std::string& s, std::size_t at, std::uint32_t v) {
    Set16(s, at, v & 0xFFFF);
    Set16(s, at + 2, v >> 16);
}
inline std::uint32_t Read32(const std::string& s, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(s[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24;
}

inline std::uint32_t Crc(const std::string& data) {
    return static_cast<std::uint32_t>(
        crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

inline std::string RawDeflate(const std::string& data, int level = 9) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflate");
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 16, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

struct Entry {
    std::string name;  // raw bytes as stored
    std::string data;  // uncompressed content
    std::uint16_t method = 8;
    std::uint16_t flags = 0;
    std::uint16_t madeBy = 0x031E;                   // Unix, version 3.0
    std::uint32_t externalAttributes = 0100644u << 16;
    bool descriptor = false;
    bool descriptorSignature = true;
    bool zip64 = false;  // saturated header fields with ZIP64 extra fields
    std::string centralExtra;
    std::string localExtra;

    // Lies, when set.
    std::optional<std::string> compressed;  // these bytes as the entry data
    std::optional<std::uint32_t> centralCrc, localCrc, descriptorCrc;
    std::optional<std::uint64_t> centralCompressed, centralUncompressed, localCompressed, localUncompressed;
    std::optional<std::uint64_t> localOffset;  // central directory's pointer
    std::optional<std::string> localName;
    std::optional<std::uint16_t> localMethod, localFlags;

    static Entry File(std::string name, std::string data, std::uint16_t method = 8) {
        Entry e;
        e.name = std::move(name);
        e.data = std::move(data);
        e.method = method;
        return e;
    }
    static Entry Folder(std::string name) {
        Entry e;
        e.name = std::move(name);
        e.method = 0;
        e.externalAttributes = (040755u << 16) | 0x10;
        return e;
    }
};

struct Layout {
    std::vector<std::size_t> local;    // offset of each local header
    std::vector<std::size_t> data;     // offset of each entry's data
    std::vector<std::size_t> central;  // offset of each central header
    std::size_t centralStart = 0;
    std::size_t end = 0;  // the classic end record
};

struct Archive {
    std::vector<Entry> entries;
    std::string prefix;    // bytes before the archive (offsets not adjusted)
    std::string comment;
    bool zip64End = false;  // write the ZIP64 end record and locator
    std::optional<std::uint64_t> declaredCount;  // classic end record's count
    std::optional<std::uint64_t> declaredCentralSize, declaredCentralOffset;

    std::string Build(Layout* layout = nullptr) const {
        Layout l;
        std::string out = prefix;
        std::vector<std::string> packed;
        for (const Entry& e : entries) {
            const std::string body = e.compressed ? *e.compressed : e.method == 8 ? RawDeflate(e.data) : e.data;
            packed.push_back(body);
            const std::uint32_t crc = Crc(e.data);
            l.local.push_back(out.size() - prefix.size());
            const std::uint64_t comp = e.localCompressed.value_or(body.size());
            const std::uint64_t uncomp = e.localUncompressed.value_or(e.data.size());
            const std::uint16_t flags = e.localFlags.value_or(static_cast<std::uint16_t>(e.flags | (e.descriptor ? 8 : 0)));
            const std::string name = e.localName.value_or(e.name);
            std::string extra = e.localExtra;
            if (e.zip64) {
                Put16(extra, 1);
                Put16(extra, 16);
                Put64(extra, e.descriptor ? 0 : uncomp);
                Put64(extra, e.descriptor ? 0 : comp);
            }
            Put32(out, 0x04034b50);
            Put16(out, e.zip64 ? 45 : 20);
            Put16(out, flags);
            Put16(out, e.localMethod.value_or(e.method));
            Put16(out, 0x6000);
            Put16(out, 0x58A1);
            const bool zeros = e.descriptor;
            Put32(out, zeros ? e.localCrc.value_or(0) : e.localCrc.value_or(crc));
            Put32(out, e.zip64 ? 0xFFFFFFFF : zeros ? 0 : static_cast<std::uint32_t>(comp));
            Put32(out, e.zip64 ? 0xFFFFFFFF : zeros ? 0 : static_cast<std::uint32_t>(uncomp));
            Put16(out, static_cast<std::uint32_t>(name.size()));
            Put16(out, static_cast<std::uint32_t>(extra.size()));
            out += name;
            out += extra;
            l.data.push_back(out.size() - prefix.size());
            out += body;
            if (e.descriptor) {
                if (e.descriptorSignature) Put32(out, 0x08074b50);
                Put32(out, e.descriptorCrc.value_or(crc));
                if (e.zip64) {
                    Put64(out, body.size());
                    Put64(out, e.data.size());
                } else {
                    Put32(out, static_cast<std::uint32_t>(body.size()));
                    Put32(out, static_cast<std::uint32_t>(e.data.size()));
                }
            }
        }
        l.centralStart = out.size() - prefix.size();
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const Entry& e = entries[i];
            const std::uint64_t comp = e.centralCompressed.value_or(packed[i].size());
            const std::uint64_t uncomp = e.centralUncompressed.value_or(e.data.size());
            const std::uint64_t offset = e.localOffset.value_or(l.local[i]);
            std::string extra;
            if (e.zip64) {
                Put16(extra, 1);
                Put16(extra, 24);
                Put64(extra, uncomp);
                Put64(extra, comp);
                Put64(extra, offset);
            }
            extra += e.centralExtra;
            l.central.push_back(out.size() - prefix.size());
            Put32(out, 0x02014b50);
            Put16(out, e.madeBy);
            Put16(out, e.zip64 ? 45 : 20);
            Put16(out, static_cast<std::uint16_t>(e.flags | (e.descriptor ? 8 : 0)));
            Put16(out, e.method);
            Put16(out, 0x6000);
            Put16(out, 0x58A1);
            Put32(out, e.centralCrc.value_or(Crc(e.data)));
            Put32(out, e.zip64 ? 0xFFFFFFFF : static_cast<std::uint32_t>(comp));
            Put32(out, e.zip64 ? 0xFFFFFFFF : static_cast<std::uint32_t>(uncomp));
            Put16(out, static_cast<std::uint32_t>(e.name.size()));
            Put16(out, static_cast<std::uint32_t>(extra.size()));
            Put16(out, 0);
            Put16(out, 0);
            Put16(out, 0);
            Put32(out, e.externalAttributes);
            Put32(out, e.zip64 ? 0xFFFFFFFF : static_cast<std::uint32_t>(offset));
            out += e.name;
            out += extra;
        }
        const std::uint64_t centralSize = out.size() - prefix.size() - l.centralStart;
        const std::uint64_t count = entries.size();
        if (zip64End) {
            const std::uint64_t recordAt = out.size() - prefix.size();
            Put32(out, 0x06064b50);
            Put64(out, 44);
            Put16(out, 45);
            Put16(out, 45);
            Put32(out, 0);
            Put32(out, 0);
            Put64(out, count);
            Put64(out, count);
            Put64(out, declaredCentralSize.value_or(centralSize));
            Put64(out, declaredCentralOffset.value_or(l.centralStart));
            Put32(out, 0x07064b50);
            Put32(out, 0);
            Put64(out, recordAt);
            Put32(out, 1);
        }
        l.end = out.size() - prefix.size();
        const std::uint64_t shownCount = declaredCount.value_or(zip64End ? 0xFFFF : count);
        Put32(out, 0x06054b50);
        Put16(out, 0);
        Put16(out, 0);
        Put16(out, static_cast<std::uint32_t>(shownCount & 0xFFFF));
        Put16(out, static_cast<std::uint32_t>(shownCount & 0xFFFF));
        Put32(out, zip64End ? 0xFFFFFFFF : static_cast<std::uint32_t>(declaredCentralSize.value_or(centralSize)));
        Put32(out, zip64End ? 0xFFFFFFFF : static_cast<std::uint32_t>(declaredCentralOffset.value_or(l.centralStart)));
        Put16(out, static_cast<std::uint32_t>(comment.size()));
        out += comment;
        if (layout) *layout = l;
        return out;
    }
};

}  // namespace ziptest
