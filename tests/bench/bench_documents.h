// Deterministic XML documents for the parser benchmarks. The same seed gives
// the same bytes on every platform and standard library (the generator uses
// its own pseudo-random sequence, not <random>'s distributions). All output
// is well-formed UTF-8 XML, so every conforming parser must report the same
// elements.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

// An update manifest: a root holding `records` Update elements with the
// seven fields in reading order; UpdateInfo carries Chinese release notes
// with character entities, and some records wrap their notes in CDATA.
// 20,000 records come to about 12.6 MB.
std::string MakeManifest(int records, std::uint64_t seed);

// A general document of at least `targetBytes` bytes: XML declaration,
// DOCTYPE with an internal subset (element, attribute, entity and notation
// declarations, a comment and a processing instruction), attributes in both
// quote kinds (some holding '>' or the other quote), comments, CDATA,
// processing instructions, mixed content, empty elements, and chains of
// several hundred nested levels.
std::string MakeGenericDocument(std::size_t targetBytes, std::uint64_t seed);

}  // namespace bench
