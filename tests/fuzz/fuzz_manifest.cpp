// Arbitrary file bytes through update-tool's manifest path: decoding, parse,
// element table, ReadManifest, selection, and both renderings. The JSON must
// be valid JSON in valid UTF-8, and the summary valid UTF-8.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ManifestCommand.h"
#include "TextFile.h"

namespace {

// A strict JSON syntax check: no raw control characters in strings, only
// the escapes JSON defines, integers without leading zeros.
class JsonCheck {
public:
    explicit JsonCheck(const std::string& s) : m_s(s) {}
    bool Document() {
        if (!Value(0)) return false;
        Space();
        return m_i == m_s.size();
    }

private:
    void Space() {
        while (m_i < m_s.size() && (m_s[m_i] == ' ' || m_s[m_i] == '\n' || m_s[m_i] == '\t' || m_s[m_i] == '\r')) ++m_i;
    }
    bool Eat(char c) {
        Space();
        if (m_i < m_s.size() && m_s[m_i] == c) { ++m_i; return true; }
        return false;
    }
    bool Word(const char* w) {
        for (; *w; ++w, ++m_i)
            if (m_i >= m_s.size() || m_s[m_i] != *w) return false;
        return true;
    }
    bool String() {
        if (!Eat('"')) return false;
        while (m_i < m_s.size()) {
            const unsigned char c = static_cast<unsigned char>(m_s[m_i++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') continue;
            if (m_i >= m_s.size()) return false;
            const char e = m_s[m_i++];
            if (e == 'u') {
                for (int k = 0; k < 4; ++k, ++m_i)
                    if (m_i >= m_s.size() || !std::isxdigit(static_cast<unsigned char>(m_s[m_i]))) return false;
            } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
                return false;
            }
        }
        return false;
    }
    bool Number() {
        if (m_i < m_s.size() && m_s[m_i] == '-') ++m_i;
        if (m_i >= m_s.size() || !std::isdigit(static_cast<unsigned char>(m_s[m_i]))) return false;
        if (m_s[m_i] == '0') { ++m_i; return true; }
        while (m_i < m_s.size() && std::isdigit(static_cast<unsigned char>(m_s[m_i]))) ++m_i;
        return true;
    }
    bool Value(int depth) {
        if (depth > 8) return false;
        Space();
        if (m_i >= m_s.size()) return false;
        const char c = m_s[m_i];
        if (c == '"') return String();
        if (c == 't') return Word("true");
        if (c == 'f') return Word("false");
        if (c == 'n') return Word("null");
        if (c == '[') {
            ++m_i;
            if (Eat(']')) return true;
            do {
                if (!Value(depth + 1)) return false;
            } while (Eat(','));
            return Eat(']');
        }
        if (c == '{') {
            ++m_i;
            if (Eat('}')) return true;
            do {
                if (!String() || !Eat(':') || !Value(depth + 1)) return false;
            } while (Eat(','));
            return Eat('}');
        }
        return Number();
    }

    const std::string& m_s;
    std::size_t m_i = 0;
};

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
    options.elements = true;
    options.hasInstalled = true;
    options.installed = u"1.0";
    const ManifestReport report = AnalyseManifest(text, options);
    if (report.records.GetCount() > 0 && report.selectedIndex < 0) std::abort();
    const std::string json = ManifestJson(report, options);
    if (!ValidUtf8(json) || !JsonCheck(json).Document()) std::abort();
    if (!ValidUtf8(ManifestSummary(report, options, "fuzz"))) std::abort();
    return 0;
}
