#include "BinaryPatch.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "CString.h"
#include "ZipWriter.h"

namespace {

const char kMagic[8] = {'Q', 'P', 'A', 'T', 'C', 'H', '0', '1'};

std::u16string Num(std::uint64_t v) { return FormatText(u"%llu", {static_cast<unsigned long long>(v)}); }

ZipResult Damaged(std::uint64_t offset, std::u16string message) {
    return ZipResult::Fail(ZipStatus::Damaged, offset, std::move(message));
}

std::uint64_t Get64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void Put64(std::string& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

void PutNumber(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out += static_cast<char>((v & 0x7F) | 0x80);
        v >>= 7;
    }
    out += static_cast<char>(v);
}

// One zlib stream of the patch, inflated from its own range of the patch file
// into a buffer that the caller takes bytes from.
class StreamReader {
public:
    StreamReader(FsReadFile& file, std::uint64_t start, std::uint64_t size, const char16_t* name, std::size_t buffer)
        : m_file(file), m_at(start), m_end(start + size), m_name(name), m_in(buffer), m_out(buffer) {
        if (inflateInit(&m_z) != Z_OK) throw std::bad_alloc();
    }
    ~StreamReader() { inflateEnd(&m_z); }
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    // Up to `want` (> 0) bytes: at least one, or a failure.
    ZipResult Next(std::size_t want, const unsigned char*& data, std::size_t& got) {
        if (m_next == m_filled) {
            if (ZipResult r = Fill(); !r) return r;
        }
        data = m_out.data() + m_next;
        got = std::min(want, m_filled - m_next);
        m_next += got;
        return ZipResult::Success();
    }

    ZipResult Byte(unsigned char& byte) {
        const unsigned char* data = nullptr;
        std::size_t got = 0;
        ZipResult r = Next(1, data, got);
        if (r) byte = *data;
        return r;
    }

    // Every byte has been used and the stream ends exactly where its range does.
    ZipResult Finish() {
        if (m_next == m_filled && !m_ended) {
            ZipResult r = Fill();
            if (!r && !m_ended) return r;
        }
        if (m_next != m_filled) return Damaged(Offset(), std::u16string(m_name) + u" stream holds more than is used");
        if (m_z.avail_in != 0 || m_at != m_end)
            return Damaged(Offset(), u"bytes follow the " + std::u16string(m_name) + u" stream");
        return ZipResult::Success();
    }

private:
    std::uint64_t Offset() const { return m_at - m_z.avail_in; }

    ZipResult Fill() {
        m_next = m_filled = 0;
        while (m_filled == 0) {
            if (m_ended) return Damaged(Offset(), std::u16string(m_name) + u" stream ends early");
            if (m_z.avail_in == 0 && m_at < m_end) {
                const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(m_in.size(), m_end - m_at));
                FsResult read = m_file.ReadAt(m_at, m_in.data(), n);
                if (!read) return ZipResult::Fail(ZipStatus::FileError, m_at, read.message);
                m_at += n;
                m_z.next_in = m_in.data();
                m_z.avail_in = static_cast<uInt>(n);
            }
            m_z.next_out = m_out.data();
            m_z.avail_out = static_cast<uInt>(m_out.size());
            const int ret = inflate(&m_z, Z_NO_FLUSH);
            m_filled = m_out.size() - m_z.avail_out;
            if (ret == Z_STREAM_END) {
                m_ended = true;
            } else if (ret == Z_MEM_ERROR) {
                throw std::bad_alloc();
            } else if (ret == Z_BUF_ERROR && m_z.avail_in == 0) {
                if (m_at == m_end) return Damaged(Offset(), std::u16string(m_name) + u" stream cut short");
            } else if (ret != Z_OK) {
                return Damaged(Offset(), std::u16string(m_name) + u" stream is corrupt");
            }
        }
        return ZipResult::Success();
    }

    FsReadFile& m_file;
    std::uint64_t m_at, m_end;
    const char16_t* m_name;
    z_stream m_z{};
    std::vector<unsigned char> m_in, m_out;
    std::size_t m_next = 0, m_filled = 0;
    bool m_ended = false;
};

// The old file, read through a buffer at the cursor.
class OldReader {
public:
    OldReader(FsReadFile& file, std::size_t buffer) : m_file(file), m_buffer(buffer) {}

    // Up to `want` bytes at `at`, which the caller keeps within the file.
    ZipResult At(std::uint64_t at, std::size_t want, const unsigned char*& data, std::size_t& got) {
        if (at < m_start || at >= m_start + m_filled) {
            m_filled = static_cast<std::size_t>(std::min<std::uint64_t>(m_buffer.size(), m_file.Size() - at));
            m_start = at;
            FsResult read = m_file.ReadAt(at, m_buffer.data(), m_filled);
            if (!read) {
                m_filled = 0;
                return ZipResult::Fail(ZipStatus::FileError, 0, read.message);
            }
        }
        const std::size_t offset = static_cast<std::size_t>(at - m_start);
        data = m_buffer.data() + offset;
        got = std::min(want, m_filled - offset);
        return ZipResult::Success();
    }

private:
    FsReadFile& m_file;
    std::vector<unsigned char> m_buffer;
    std::uint64_t m_start = 0;
    std::size_t m_filled = 0;
};

ZipResult ReadNumber(StreamReader& control, std::uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        unsigned char byte = 0;
        if (ZipResult r = control.Byte(byte); !r) return r;
        if (shift == 63 && byte > 1) break;
        value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) return ZipResult::Success();
    }
    return Damaged(kPatchHeaderSize, u"a control number is too large");
}

// The new file on its way to the sink, in pieces of the buffer's size.
class Output {
public:
    Output(ZipSink& sink, std::size_t size) : m_sink(sink), m_buffer(size) {}

    // Room for up to `want` bytes, at least one: `want` says how many.
    unsigned char* Room(std::size_t& want) {
        want = std::min(want, m_buffer.size() - m_used);
        return m_buffer.data() + m_used;
    }
    bool Filled(std::size_t n, ZipResult& result) { return (m_used += n) < m_buffer.size() || Flush(result); }
    bool Flush(ZipResult& result) {
        std::u16string why;
        if (m_used != 0 && !m_sink.Write(m_buffer.data(), m_used, why)) {
            result = ZipResult::Fail(ZipStatus::WriteError, 0, why);
            return false;
        }
        m_used = 0;
        return true;
    }

private:
    ZipSink& m_sink;
    std::vector<unsigned char> m_buffer;
    std::size_t m_used = 0;
};

}  // namespace

ZipResult ReadPatchHeader(const void* bytes, std::size_t size, std::uint64_t patchSize, PatchHeader& header) {
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    if (size < kPatchHeaderSize || patchSize < kPatchHeaderSize || std::memcmp(p, kMagic, sizeof kMagic) != 0)
        return Damaged(0, u"not a patch");
    header.oldSize = Get64(p + 8);
    header.newSize = Get64(p + 16);
    header.controlSize = Get64(p + 24);
    header.diffSize = Get64(p + 32);
    header.extraSize = Get64(p + 40);
    const std::uint64_t room = patchSize - kPatchHeaderSize;
    if (header.controlSize > room || header.diffSize > room - header.controlSize ||
        header.extraSize != room - header.controlSize - header.diffSize)
        return Damaged(24, u"the stream sizes do not add up to the patch's " + Num(patchSize) + u" bytes");
    return ZipResult::Success();
}

ZipResult ApplyPatch(FsReadFile& patch, FsReadFile& old, std::uint64_t newSize, ZipSink& out, std::size_t bufferSize) {
    bufferSize = std::clamp<std::size_t>(bufferSize, 4096, std::numeric_limits<uInt>::max() / 2);
    unsigned char head[kPatchHeaderSize];
    PatchHeader header;
    if (patch.Size() < kPatchHeaderSize) return Damaged(0, u"not a patch");
    if (FsResult read = patch.ReadAt(0, head, sizeof head); !read)
        return ZipResult::Fail(ZipStatus::FileError, 0, read.message);
    if (ZipResult r = ReadPatchHeader(head, sizeof head, patch.Size(), header); !r) return r;
    if (header.oldSize != old.Size())
        return Damaged(8, u"made for an old file of " + Num(header.oldSize) + u" bytes, not " + Num(old.Size()));
    if (header.newSize != newSize)
        return Damaged(16, u"makes a file of " + Num(header.newSize) + u" bytes, not " + Num(newSize));

    StreamReader control(patch, kPatchHeaderSize, header.controlSize, u"control", bufferSize);
    StreamReader diff(patch, kPatchHeaderSize + header.controlSize, header.diffSize, u"difference", bufferSize);
    StreamReader extra(patch, kPatchHeaderSize + header.controlSize + header.diffSize, header.extraSize, u"extra",
                       bufferSize);
    OldReader base(old, bufferSize);
    Output output(out, bufferSize);
    const std::uint64_t oldSize = header.oldSize;
    std::uint64_t written = 0, cursor = 0;
    ZipResult r;
    while (written < newSize) {
        std::uint64_t seek = 0, copy = 0, add = 0, fresh = 0;
        if (!(r = ReadNumber(control, seek)) || !(r = ReadNumber(control, copy)) || !(r = ReadNumber(control, add)) ||
            !(r = ReadNumber(control, fresh)))
            return r;
        if (copy == 0 && add == 0 && fresh == 0) return Damaged(kPatchHeaderSize, u"a record makes nothing");
        if (copy > newSize - written || add > newSize - written - copy || fresh > newSize - written - copy - add)
            return Damaged(kPatchHeaderSize, u"a record makes more than the new file's " + Num(newSize) + u" bytes");
        // Zigzag: even values move forward, odd ones back.
        const std::uint64_t distance = (seek >> 1) + (seek & 1);
        if ((seek & 1) ? distance > cursor : distance > oldSize - cursor)
            return Damaged(kPatchHeaderSize, u"a record moves outside the old file");
        cursor = (seek & 1) ? cursor - distance : cursor + distance;
        if (copy > oldSize - cursor || add > oldSize - cursor - copy)
            return Damaged(kPatchHeaderSize, u"a record reads past the old file's end");
        for (std::uint64_t left = copy + add; left != 0;) {
            const unsigned char *from = nullptr, *delta = nullptr;
            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, bufferSize)), m = 0;
            unsigned char* to = output.Room(n);
            if (!(r = base.At(cursor, n, from, n))) return r;
            if (left > add) {
                // Still copying: up to where the differences start.
                m = static_cast<std::size_t>(std::min<std::uint64_t>(n, left - add));
                std::memcpy(to, from, m);
            } else {
                if (!(r = diff.Next(n, delta, m))) return r;
                for (std::size_t i = 0; i < m; ++i) to[i] = static_cast<unsigned char>(from[i] + delta[i]);
            }
            if (!output.Filled(m, r)) return r;
            cursor += m;
            left -= m;
        }
        for (std::uint64_t left = fresh; left != 0;) {
            const unsigned char* data = nullptr;
            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, bufferSize));
            unsigned char* to = output.Room(n);
            if (!(r = extra.Next(n, data, n))) return r;
            std::memcpy(to, data, n);
            if (!output.Filled(n, r)) return r;
            left -= n;
        }
        written += copy + add + fresh;
    }
    if (!(r = control.Finish()) || !(r = diff.Finish()) || !(r = extra.Finish())) return r;
    output.Flush(r);
    return r;
}

void PatchParts::AddRecord(std::int64_t seek, std::uint64_t copy, std::uint64_t add, std::uint64_t extraBytes) {
    PutNumber(control, (static_cast<std::uint64_t>(seek) << 1) ^ static_cast<std::uint64_t>(seek >> 63));
    PutNumber(control, copy);
    PutNumber(control, add);
    PutNumber(control, extraBytes);
}

std::string AssemblePatch(const PatchParts& parts) {
    const std::string control = Deflate(parts.control, true), diff = Deflate(parts.diff, true),
                      extra = Deflate(parts.extra, true);
    std::string out(kMagic, sizeof kMagic);
    for (std::uint64_t v : {parts.oldSize, parts.newSize, std::uint64_t{control.size()}, std::uint64_t{diff.size()},
                            std::uint64_t{extra.size()}})
        Put64(out, v);
    return out + control + diff + extra;
}
