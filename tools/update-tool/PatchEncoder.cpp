#include "PatchEncoder.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "BinaryPatch.h"

namespace {

// Matches are compared at most this far: longer ones choose alignments no
// better, and the cap keeps long repeats from costing quadratic time.
constexpr std::size_t kMaxMatch = std::size_t{1} << 16;
// A new alignment is taken when its match is this much longer than what the
// current alignment agrees on over the same bytes.
constexpr std::int64_t kSwitchMargin = 12;
// Agreeing bytes are copied rather than coded as zero differences from runs this long.
constexpr std::size_t kMinCopy = 512;

class SuffixIndex {
public:
    SuffixIndex(const unsigned char* old, std::size_t size) : m_old(old), m_size(size), m_suffixes(size) {
        if (size != 0 && divsufsort(old, m_suffixes.data(), static_cast<saidx_t>(size)) != 0) throw std::bad_alloc();
    }

    // The length of the longest prefix of p[0, n) in the old file; `at` is where.
    std::size_t Longest(const unsigned char* p, std::size_t n, std::size_t& at) const {
        at = 0;
        if (m_size == 0) return 0;
        n = std::min(n, kMaxMatch);
        std::size_t low = 0, high = m_size - 1;
        while (high - low > 1) {
            const std::size_t middle = low + (high - low) / 2;
            const std::size_t start = static_cast<std::size_t>(m_suffixes[middle]);
            const std::size_t k = std::min(n, m_size - start);
            const int order = std::memcmp(m_old + start, p, k);
            if (order < 0 || (order == 0 && k < n)) low = middle;
            else high = middle;
        }
        std::size_t best = 0;
        for (std::size_t i : {low, high}) {
            const std::size_t start = static_cast<std::size_t>(m_suffixes[i]);
            const std::size_t length = Common(m_old + start, m_size - start, p, n);
            if (length > best) best = length, at = start;
        }
        return best;
    }

private:
    static std::size_t Common(const unsigned char* a, std::size_t an, const unsigned char* b, std::size_t bn) {
        const std::size_t n = std::min(an, bn);
        std::size_t i = 0;
        while (i < n && a[i] == b[i]) ++i;
        return i;
    }

    const unsigned char* m_old;
    std::size_t m_size;
    std::vector<saidx_t> m_suffixes;
};

}  // namespace

bool MakePatch(const std::string& oldText, const std::string& nowText, std::string& patch) {
    if (oldText.size() >= 0x7FFFFFFF) return false;
    const auto* old = reinterpret_cast<const unsigned char*>(oldText.data());
    const auto* now = reinterpret_cast<const unsigned char*>(nowText.data());
    const std::size_t n = oldText.size(), m = nowText.size();
    const SuffixIndex index(old, n);
    PatchParts parts;
    parts.oldSize = n;
    parts.newSize = m;
    parts.diff.reserve(m);

    // Whether the byte of the new file at `at` is the old file's byte under `offset`.
    auto agrees = [&](std::size_t at, std::int64_t offset) {
        const std::int64_t o = static_cast<std::int64_t>(at) + offset;
        return o >= 0 && o < static_cast<std::int64_t>(n) && old[o] == now[at];
    };
    std::size_t scan = 0, length = 0, match = 0;
    // The current alignment: where its record starts in the new and the old file.
    std::size_t lastScan = 0, lastMatch = 0;
    std::int64_t lastOffset = 0;
    std::size_t cursor = 0;  // the decoder's cursor after the records so far
    while (scan < m) {
        // Look for the next place where another alignment beats the current one.
        std::int64_t agreed = 0;  // over now[scan, scored): bytes the current alignment matches
        std::size_t scored = scan += length;
        for (; scan < m; ++scan) {
            length = index.Longest(now + scan, m - scan, match);
            for (; scored < scan + length; ++scored) agreed += agrees(scored, lastOffset);
            const std::int64_t found = static_cast<std::int64_t>(length);
            if ((found == agreed && length != 0) || found > agreed + kSwitchMargin) break;
            if (agrees(scan, lastOffset)) --agreed;
        }
        if (static_cast<std::int64_t>(length) == agreed && scan != m) continue;

        // The current alignment stretches forward while more than half its bytes agree...
        std::size_t forward = 0;
        std::int64_t same = 0, best = 0;
        for (std::size_t i = 0; lastScan + i < scan && lastMatch + i < n;) {
            same += old[lastMatch + i] == now[lastScan + i];
            ++i;
            if (2 * same - static_cast<std::int64_t>(i) > 2 * best - static_cast<std::int64_t>(forward))
                best = same, forward = i;
        }
        // ... and the new one back from the match, likewise.
        std::size_t back = 0;
        if (scan < m) {
            same = best = 0;
            for (std::size_t i = 1; scan >= lastScan + i && match >= i; ++i) {
                same += old[match - i] == now[scan - i];
                if (2 * same - static_cast<std::int64_t>(i) > 2 * best - static_cast<std::int64_t>(back))
                    best = same, back = i;
            }
        }
        // Where the two stretches overlap, the split that keeps most agreeing bytes.
        if (lastScan + forward > scan - back) {
            const std::size_t overlap = lastScan + forward - (scan - back);
            std::size_t split = 0;
            same = best = 0;
            for (std::size_t i = 0; i < overlap; ++i) {
                same += now[lastScan + forward - overlap + i] == old[lastMatch + forward - overlap + i];
                same -= now[scan - back + i] == old[match - back + i];
                if (same > best) best = same, split = i + 1;
            }
            forward += split - overlap;
            back -= split;
        }

        const std::size_t extraStart = lastScan + forward, extraEnd = scan - back;
        if (forward != 0 || extraEnd != extraStart) {
            // Long runs where the two agree are copied; the bytes between go with their differences.
            std::int64_t seek = static_cast<std::int64_t>(lastMatch) - static_cast<std::int64_t>(cursor);
            for (std::size_t i = 0, end = 0, first = 1; i < forward || first; i = end, seek = 0, first = 0) {
                std::size_t agreeing = i;
                while (agreeing < forward && now[lastScan + agreeing] == old[lastMatch + agreeing]) ++agreeing;
                const std::size_t copy = agreeing - i >= kMinCopy || agreeing == forward ? agreeing - i : 0;
                std::size_t run = 0;
                for (end = i + copy; end < forward && run < kMinCopy; ++end)
                    run = now[lastScan + end] == old[lastMatch + end] ? run + 1 : 0;
                if (run >= kMinCopy) end -= run;
                parts.AddRecord(seek, copy, end - i - copy, end == forward ? extraEnd - extraStart : 0);
                for (std::size_t k = i + copy; k < end; ++k)
                    parts.diff += static_cast<char>(now[lastScan + k] - old[lastMatch + k]);
            }
            parts.extra.append(nowText, extraStart, extraEnd - extraStart);
            cursor = lastMatch + forward;
        }
        lastScan = scan - back;
        lastMatch = match - back;
        lastOffset = static_cast<std::int64_t>(match) - static_cast<std::int64_t>(scan);
    }
    patch = AssemblePatch(parts);
    return true;
}
