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

// Strict JSON: strings without raw control characters and with only JSON's
// escapes, integers without leading zeros, nothing after the value.
struct JsonCheck {
    const std::string& s;
    std::size_t i = 0;

    void Space() {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) ++i;
    }
    bool Eat(char c) {
        Space();
        return i < s.size() && s[i] == c && ++i;
    }
    bool String() {
        if (!Eat('"')) return false;
        while (i < s.size()) {
            const unsigned char c = static_cast<unsigned char>(s[i++]);
            if (c == '"') return true;
            if (c < 0x20 || (c == '\\' && i >= s.size())) return false;
            if (c != '\\') continue;
            const char escape = s[i++];
            if (escape != 'u' && (escape == 0 || std::strchr("\"\\/bfnrt", escape) == nullptr)) return false;
            for (int k = 0; escape == 'u' && k < 4; ++k)
                if (i >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i++]))) return false;
        }
        return false;
    }
    bool Value(int depth) {
        Space();
        if (depth > 8 || i >= s.size()) return false;
        if (s[i] == '"') return String();
        for (const char* word : {"true", "false", "null"})
            if (s.compare(i, std::strlen(word), word) == 0) return (i += std::strlen(word)) != 0;
        if (Eat('[')) {
            if (Eat(']')) return true;
            do if (!Value(depth + 1)) return false; while (Eat(','));
            return Eat(']');
        }
        if (Eat('{')) {
            if (Eat('}')) return true;
            do if (!String() || !Eat(':') || !Value(depth + 1)) return false; while (Eat(','));
            return Eat('}');
        }
        if (s[i] == '-') ++i;
        const std::size_t digits = i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
        return i > digits && (s[digits] != '0' || i == digits + 1);
    }
};

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
    if (!DecodeText(std::string(reinterpret_cast<const char*>(data), size), text, encoding, error))
        return error.compare(0, 14, "cannot decode:") == 0 ? 0 : (std::abort(), 0);
    ManifestOptions options;
    options.elements = options.hasInstalled = true;
    options.installed = u"1.0";
    const ManifestReport report = AnalyseManifest(text, options);
    const std::string json = ManifestJson(report, options);
    JsonCheck check{json};
    if ((report.records.GetCount() > 0 && report.selectedIndex < 0) || !ValidUtf8(json) || !check.Value(0) ||
        (check.Space(), check.i != json.size()) || !ValidUtf8(ManifestSummary(report, options, "fuzz")))
        std::abort();
    return 0;
}
