// Any file bytes through update-tool's manifest path: undecodable text gets a "cannot decode:" message; a record is
// selected whenever there is one; the JSON's strings and brackets are well formed; both renderings are valid UTF-8.
// The signature check reads any bytes and gives a reason when it does not find them validly signed.
#include <cstdlib>
#include <cstring>

#include "ManifestCommand.h"
#include "TextFile.h"

namespace {

// Strings without raw control characters and with only JSON's escapes; brackets paired outside them.
bool JsonShape(const std::string& s) {
    std::string open;
    bool inString = false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (inString && c < 0x20) return false;
        if (inString && c == '\\') {
            const std::size_t hex = s[++i] == 'u' ? 4 : 0;
            if (i >= s.size() || !std::strchr("\"\\/bfnrtu", s[i]) || !s[i] ||
                s.find_first_not_of("0123456789abcdefABCDEF", i + 1) < i + 1 + hex)
                return false;
            i += hex;
        } else if (c == '"') {
            inString = !inString;
        } else if (!inString && (c == '{' || c == '[')) {
            open += static_cast<char>(c + 2);
        } else if (!inString && (c == '}' || c == ']')) {
            if (open.empty() || open.back() != static_cast<char>(c)) return false;
            open.pop_back();
        }
    }
    return !inString && open.empty();
}

bool ValidUtf8(const std::string& s) {
    std::u16string ignored;
    std::size_t bad = 0;
    return DecodeUtf8Strict(s, 0, ignored, bad);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::u16string text;
    TextEncoding encoding = TextEncoding::Utf8;
    std::string error;
    if (!DecodeText(bytes, text, encoding, error)) {
        if (error.compare(0, 14, "cannot decode:") != 0) std::abort();
        return 0;
    }
    ManifestOptions options;
    options.elements = options.hasInstalled = true;
    options.installed = u"1.0";
    options.checkSignature = true;
    ManifestReport report = AnalyseManifest(text, options);
    report.signature = CheckManifestSignature(bytes, {EcdsaPublicKey{}}, 1796601600);
    if (report.signature.reason.empty()) std::abort();
    const std::string json = ManifestJson(report, options);
    if ((report.records.GetCount() > 0 && report.selectedIndex < 0) || !JsonShape(json) || !ValidUtf8(json) ||
        !ValidUtf8(ManifestSummary(report, options, "fuzz")))
        std::abort();
    return 0;
}
