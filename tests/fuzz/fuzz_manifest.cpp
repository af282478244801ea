// Arbitrary file bytes through update-tool's manifest path: decoding, parse,
// element table, ReadManifest, selection, and both renderings. A text that
// does not decode gets a "cannot decode:" message; a record is selected
// whenever there is one; the JSON is strict JSON and both renderings are
// valid UTF-8, whatever the manifest holds.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "ManifestCommand.h"
#include "TextFile.h"

namespace {

// Strict JSON from s[i]: strings without raw control characters and with
// only JSON's escapes, integers without leading zeros.
bool Json(const std::string& s, std::size_t& i, int depth) {
    auto space = [&] {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) ++i;
    };
    auto eat = [&](char c) { return space(), i < s.size() && s[i] == c && ++i; };
    auto string = [&] {
        if (!eat('"')) return false;
        while (i < s.size() && s[i] != '"') {
            const unsigned char c = static_cast<unsigned char>(s[i++]);
            if (c < 0x20 || (c == '\\' && (i >= s.size() || !s[i] || !std::strchr("\"\\/bfnrtu", s[i])))) return false;
            if (c == '\\' && s[i++] == 'u')
                for (int k = 0; k < 4; ++k, ++i)
                    if (i >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i]))) return false;
        }
        return eat('"');
    };
    space();
    if (depth > 8 || i >= s.size()) return false;
    if (s[i] == '"') return string();
    for (const char* word : {"true", "false", "null"})
        if (s.compare(i, std::strlen(word), word) == 0) return (i += std::strlen(word)) != 0;
    const bool array = eat('['), object = !array && eat('{');
    if ((array && eat(']')) || (object && eat('}'))) return true;
    while (array || object) {
        if ((object && (!string() || !eat(':'))) || !Json(s, i, depth + 1)) return false;
        if (!eat(',')) return eat(array ? ']' : '}');
    }
    const std::size_t digits = i += s[i] == '-';
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
    return i > digits && (s[digits] != '0' || i == digits + 1);
}

bool ValidUtf8(const std::string& s) {
    std::u16string ignored;
    std::size_t bad = 0;
    return DecodeUtf8Strict(s, 0, ignored, bad);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string text;
    TextEncoding encoding = TextEncoding::Utf8;
    std::string error;
    if (!DecodeText(std::string(reinterpret_cast<const char*>(data), size), text, encoding, error)) {
        if (error.compare(0, 14, "cannot decode:") != 0) std::abort();
        return 0;
    }
    ManifestOptions options;
    options.elements = options.hasInstalled = true;
    options.installed = u"1.0";
    const ManifestReport report = AnalyseManifest(text, options);
    const std::string json = ManifestJson(report, options);
    std::size_t end = 0;
    const bool strict = Json(json, end, 0) && json.find_first_not_of(" \t\r\n", end) == std::string::npos;
    if ((report.records.GetCount() > 0 && report.selectedIndex < 0) || !strict || !ValidUtf8(json) ||
        !ValidUtf8(ManifestSummary(report, options, "fuzz")))
        std::abort();
    return 0;
}
